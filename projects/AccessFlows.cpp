#include "app/AppDelegate.h"
#include "chrome/PXAppStoreWindow.h"
#include "records/MasterModel.h"
#include "records/ProjectNames.h"
#include "records/UserNames.h"
#include "services/Alerts.h"
#include "store/CouchDatabase.h"
#include "store/CouchDesignDocument.h"
#include "store/CouchDocument.h"
#include "store/CouchQuery.h"
#include "store/CouchServer.h"
#include "users/UserAccess.h"

#include <QPointer>

#include <memory>

using trevok::projects::MemberProjects;

namespace {

const QString kUserPrefix = QStringLiteral("org.couchdb.user:");

} // namespace

void AppDelegate::loadMemberProjects() {
    CouchDesignDocument* design =
        m_trevokMasterDB->designDocumentWithName(QStringLiteral("projectmeta"));
    design->defineViewNamed(QStringLiteral("all_projects"), trevok::kAllProjectsMap);
    std::unique_ptr<CouchQuery> query = design->queryViewNamed(QStringLiteral("all_projects"));
    QList<QJsonObject> records;
    if (const auto rows = query->rowsAndWait()) {
        for (const CouchQueryRow& row : *rows)
            records.append(row.value().toObject());
    } else {
        trevok::FailureReport failure;
        failure.add(QStringLiteral("Listing the projects in “trevok_master”"), query->error());
        failure.tell(m_mainWindow,
                     QStringLiteral("What each user may write could not be brought up to date."));
    }
    m_memberProjects = MemberProjects::fromRecords(records);
}

void AppDelegate::mendUserAccess() {
    std::unique_ptr<CouchQuery> query = m_userDatabase->getAllDocuments();
    query->setStartKey(kUserPrefix);
    query->setEndKey(QString(kUserPrefix + QChar(0xfff0)));
    const auto rows = query->rowsAndWait();
    if (!rows) {
        trevok::FailureReport failure;
        failure.add(QStringLiteral("Listing the users"), query->error());
        failure.tell(m_mainWindow,
                     QStringLiteral("What each user may write could not be brought up to date."));
        return;
    }
    // Each rule is read and written only where it differs; the window does
    // not wait for the pass, and a membership changed meanwhile is what the
    // write carries (the set is taken at each read).
    struct Pass {
        int pending = 0;
        trevok::FailureReport failures;
    };
    auto pass = std::make_shared<Pass>();
    QStringList names;
    for (const CouchQueryRow& row : *rows) {
        const QString id = row.key().toString();
        if (id.startsWith(kUserPrefix))
            names.append(id.mid(kUserPrefix.size()));
    }
    pass->pending = static_cast<int>(names.size());
    const QPointer<AppDelegate> self(this);
    for (const QString& name : names) {
        trevok::users::grantProjects(
            m_server.get(), name,
            [self, name] { return self ? self->m_memberProjects.projectsOf(name) : QStringList(); },
            this,
            [self, pass, name](Rewrite outcome, const QString& error) {
                if (outcome == Rewrite::Failed)
                    pass->failures.add(QStringLiteral("Writing what %1 may write into “%2”")
                                           .arg(name, trevok::users::userDatabaseName(name)),
                                       error);
                if (--pass->pending == 0 && self)
                    pass->failures.tell(self->m_mainWindow,
                                        QStringLiteral("Some users' databases do not yet say "
                                                       "which projects they may write into."));
            });
    }
}

void AppDelegate::grantAccess(const QStringList& users, trevok::FailureReport& failures) {
    for (const QString& user : users) {
        QString error;
        // A user without a database writes nothing: there is nothing to limit.
        if (trevok::users::grantProjectsAndWait(
                m_server.get(), user, m_memberProjects.projectsOf(user), &error) == Rewrite::Failed)
            failures.add(QStringLiteral("Writing which projects %1 may write into").arg(user),
                         error);
    }
}

void AppDelegate::withdrawProject(const QString& projectID, const QStringList& members,
                                  trevok::FailureReport& failures) {
    QStringList everyone = m_memberProjects.membersOf(projectID) + members;
    everyone.removeDuplicates();
    m_memberProjects.removeProject(projectID);
    grantAccess(everyone, failures);
}

QString AppDelegate::checkProjectDatabase(const ProjectRef& project, QStringList* members) {
    using namespace trevok::projects;
    const QString dbName = projectDatabaseName(project.stem);
    const QString mismatch =
        QStringLiteral("The database “%1” does not hold the record of “%2”, so it is not that "
                       "project's database. Nothing was changed.")
            .arg(dbName, project.title);
    CouchDatabase* database = m_server->databaseNamed(dbName);
    const StoredProperties record =
        database->documentWithID(project.projectID)->readPropertiesAndWait();
    if (record.found()) {
        const QJsonObject& body = record.body;
        if (body.value(QStringLiteral("type")) != QJsonValue(QStringLiteral("ProjectInfoDoc")) ||
            body.value(QStringLiteral("projectID")) != QJsonValue(project.projectID) ||
            body.value(QStringLiteral("serverDBName")) != QJsonValue(project.stem))
            return mismatch;
        *members = MemberProjects::membersIn(body);
        return {};
    }
    const QString unreadable = QStringLiteral("The database “%1” could not be read: %2");
    if (record.status == StoredProperties::Failed)
        return unreadable.arg(dbName, record.error);
    RESTOperationPtr info = database->GET();
    if (info->wait())
        return mismatch;
    if (info->httpStatus() != 404)
        return unreadable.arg(dbName, info->error());
    // The database is gone (an earlier deletion stopped half-way): what is
    // left may go, unless the stem's filter is another project's.
    const StoredProperties design =
        m_trevokMasterDB->designDocumentWithName(project.stem)->readPropertiesAndWait();
    if (design.status == StoredProperties::Missing)
        return {};
    if (design.status == StoredProperties::Failed)
        return unreadable.arg(QStringLiteral("trevok_master"), design.error);
    const QJsonValue filter = design.body.value(QStringLiteral("filters"))
                                  .toObject()
                                  .value(QStringLiteral("master_to_project_filter"));
    if (filter == QJsonValue(masterToProjectFilter(project.projectID)))
        return {};
    return QStringLiteral("The design document “_design/%1” of “trevok_master” belongs to another "
                          "project than “%2”. Nothing was changed.")
        .arg(project.stem, project.title);
}
