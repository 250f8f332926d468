#include "app/AppDelegate.h"
#include "chrome/PXAppStoreWindow.h"
#include "projects/ProjectProvisioning.h"
#include "records/MasterModel.h"
#include "records/ProjectNames.h"
#include "records/UserNames.h"
#include "services/Alerts.h"
#include "store/CouchDatabase.h"
#include "store/CouchDesignDocument.h"
#include "store/CouchDocument.h"
#include "store/CouchQuery.h"
#include "store/CouchServer.h"
#include "store/RequestTrickle.h"
#include "users/UserAccess.h"

#include <QPointer>

#include <memory>

using trevok::projects::MemberProjects;

namespace {

const QString kUserPrefix = QStringLiteral("org.couchdb.user:");

} // namespace

void AppDelegate::loadMemberProjects() {
    CouchDesignDocument* design = m_trevokMasterDB->designDocumentWithName(
        QLatin1String(trevok::projects::kProjectMetaDesignName));
    design->defineViewNamed(QLatin1String(trevok::projects::kAllProjectsViewName),
                            trevok::kAllProjectsMap);
    std::unique_ptr<CouchQuery> query =
        design->queryViewNamed(QLatin1String(trevok::projects::kAllProjectsViewName));
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
        // A few at a time: what the administrator does meanwhile goes
        // through the same queue.
        RequestTrickle writes{4};
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
        // The pass holds itself only through its requests' answers.
        RequestTrickle& writes = pass->writes;
        writes.add([this, self, weak = std::weak_ptr<Pass>(pass),
                    name](RequestTrickle::Finished finished) {
            std::shared_ptr<Pass> held = weak.lock();
            if (!self || !held || !m_server)
                return;
            trevok::users::grantProjects(
                m_server.get(), name,
                [self, name] {
                    return self ? self->m_memberProjects.projectsOf(name) : QStringList();
                },
                this,
                [self, held, name, finished](Rewrite outcome, const QString& error) {
                    if (outcome == Rewrite::Failed)
                        held->failures.add(QStringLiteral("Writing what %1 may write into “%2”")
                                               .arg(name, trevok::users::userDatabaseName(name)),
                                           error);
                    finished();
                    if (--held->pending == 0 && self)
                        held->failures.tell(self->m_mainWindow,
                                            QStringLiteral("Some users' databases do not yet say "
                                                           "which projects they may write into."));
                });
        });
    }
}

QString AppDelegate::checkProjectDatabase(const ProjectRef& project, QStringList* members) {
    return trevok::projects::checkProjectDatabaseAndWait(session(), project, members);
}
