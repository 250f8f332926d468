#include "app/WebRepair.h"

#include "records/MasterModel.h"
#include "records/RecordFields.h"
#include "records/UserNames.h"
#include "services/AdminOnlySecurity.h"
#include "store/CouchDatabase.h"
#include "store/CouchDesignDocument.h"
#include "store/CouchDocument.h"
#include "store/CouchQuery.h"
#include "store/CouchServer.h"
#include "store/DocumentRewrite.h"
#include "store/ReplicationEndpoint.h"
#include "users/UserProvisioning.h"

using namespace trevok::projects;
using trevok::quoted;

namespace {

const QString kUserPrefix = QStringLiteral("org.couchdb.user:");
const QString kUserDatabasePrefix = QStringLiteral("trevok_user_db_");
const QString kProjectDatabasePrefix = QStringLiteral("trevok_project_");

QJsonValue member(const QJsonObject& design, const char* kind, const QString& name) {
    return design.value(QLatin1String(kind)).toObject().value(name);
}

bool holds(const QJsonObject& design, const char* kind, const char* name, const QString& text) {
    const QJsonValue value = member(design, kind, QLatin1String(name));
    return QLatin1String(kind) == QLatin1String("views")
               ? value.toObject().value(QStringLiteral("map")) == QJsonValue(text)
               : value == QJsonValue(text);
}

} // namespace

WebRepair::WebRepair(const trevok::StoreSession& session, QObject* parent)
    : QObject(parent)
    , m_session(session) {}

WebRepair::~WebRepair() = default;

QString WebRepair::mendedText(const QStringList& mended) {
    if (mended.isEmpty())
        return {};
    const QString count = mended.size() == 1 ? QStringLiteral("1 thing")
                                             : QStringLiteral("%1 things").arg(mended.size());
    return QStringLiteral("Mended %1: %2.").arg(count, mended.join(QStringLiteral(", ")));
}

void WebRepair::audit(const QStringList& databases) {
    if (isAuditing())
        return;
    m_databases = QSet<QString>(databases.begin(), databases.end());
    m_userNames.clear();
    m_ownedUsers.clear();
    m_replications.clear();
    m_records.clear();
    m_security.clear();
    m_projectMeta.clear();
    m_masterDesigns.clear();
    m_recordsInDatabase.clear();
    m_users.clear();
    m_projects.clear();
    m_leftovers.clear();
    m_error.clear();
    m_queries.clear();
    m_reads.clear();
    m_secondPass = false;
    readFirstPass();
}

void WebRepair::noteRead(const RESTOperation& read) {
    if (!read.isSuccessful() && m_error.isEmpty())
        m_error = QStringLiteral("%1: %2").arg(read.url().path(QUrl::FullyDecoded), read.error());
}

void WebRepair::done() {
    if (--m_pending > 0)
        return;
    // The queries stay until the next audit: this runs inside one's answer.
    if (m_secondPass) {
        conclude();
        return;
    }
    // Without the records, nothing can be told apart from a leftover.
    if (!m_error.isEmpty()) {
        Q_EMIT audited();
        return;
    }
    readSecondPass();
}

void WebRepair::readFirstPass() {
    // The reads are issued together and answered in turn; the window does
    // not wait for them.
    m_pending = 3;
    std::unique_ptr<CouchQuery> users = m_session.userDatabase->getAllDocuments();
    users->setStartKey(kUserPrefix);
    users->setEndKey(QString(kUserPrefix + QChar(0xfff0)));
    users->setPrefetch(true);
    CouchQuery* usersQuery = users.get();
    usersQuery->start()->onCompletion(this, [this, usersQuery](RESTOperation& read) {
        noteRead(read);
        for (const CouchQueryRow& row : usersQuery->currentRows()) {
            const QString id = row.key().toString();
            if (!id.startsWith(kUserPrefix))
                continue;
            m_userNames.append(id.mid(kUserPrefix.size()));
            // The console's own users carry their owner; an account another
            // program made is left as that program made it.
            if (row.documentProperties()
                    .value_or(QJsonObject())
                    .value(QStringLiteral("owner"))
                    .isString())
                m_ownedUsers.append(id.mid(kUserPrefix.size()));
        }
        done();
    });

    std::unique_ptr<CouchQuery> replications = m_session.replicationDatabase->getAllDocuments();
    replications->setPrefetch(true);
    CouchQuery* replicationsQuery = replications.get();
    replicationsQuery->start()->onCompletion(this, [this, replicationsQuery](RESTOperation& read) {
        noteRead(read);
        for (const CouchQueryRow& row : replicationsQuery->currentRows()) {
            if (row.documentID().startsWith(QLatin1String("_design/")))
                continue;
            const QJsonObject body = row.documentProperties().value_or(QJsonObject());
            const QJsonValue source = body.value(QStringLiteral("source"));
            const QJsonValue target = body.value(QStringLiteral("target"));
            Replication replication{row.documentID(), replicationEndpointDatabase(source),
                                    replicationEndpointDatabase(target),
                                    body.value(QStringLiteral("filter")).toString(),
                                    body.value(QStringLiteral("continuous")).toBool()};
            // Ends that carry an account other than the console's (its
            // password was made anew) are mended like any other difference.
            replication.endsCurrent =
                source == m_session.server->replicationEndpoint(replication.source) &&
                target == m_session.server->replicationEndpoint(replication.target);
            replication.stopped = trevok::replicationStopped(body);
            m_replications.append(replication);
        }
        done();
    });

    std::unique_ptr<CouchQuery> projects =
        m_session.trevokMasterDB->designDocumentWithName(QLatin1String(kProjectMetaDesignName))
            ->queryViewNamed(QLatin1String(kAllProjectsViewName));
    CouchQuery* projectsQuery = projects.get();
    projectsQuery->start()->onCompletion(this, [this, projectsQuery](RESTOperation& read) {
        noteRead(read);
        QSet<QString> seen;
        for (const CouchQueryRow& row : projectsQuery->currentRows()) {
            const QJsonObject record = row.value().toObject();
            const ProjectRef ref{record.value(trevok::records::kProjectIDField).toString(),
                                 record.value(trevok::records::kServerDBNameField).toString(),
                                 record.value(trevok::records::kTitleField).toString()};
            if (ref.projectID.isEmpty() || ref.stem.isEmpty() || seen.contains(ref.projectID))
                continue;
            seen.insert(ref.projectID);
            m_records.append({ref, MemberProjects::membersIn(record),
                              record.value(QStringLiteral("wasDeleted")) != QJsonValue(true)});
        }
        done();
    });
    m_queries.push_back(std::move(users));
    m_queries.push_back(std::move(replications));
    m_queries.push_back(std::move(projects));
}

void WebRepair::readSecondPass() {
    m_secondPass = true;
    m_pending = 1; // released below, once every read is issued
    // A few at a time: what the administrator does meanwhile goes through
    // the same queue.
    const auto readSecurity = [this](const QString& database) {
        ++m_pending;
        m_reads.add([this, database](RequestTrickle::Finished finished) {
            m_session.server->databaseNamed(database)->security()->onCompletion(
                this, [this, database, finished](RESTOperation& read) {
                    if (read.isSuccessful())
                        m_security.insert(database, read.responseBody().toObject());
                    finished();
                    done();
                });
        });
    };
    const auto readDesign = [this](CouchDocument* design, QHash<QString, QJsonObject>* into,
                                   const QString& key) {
        ++m_pending;
        m_reads.add([this, design, into, key](RequestTrickle::Finished finished) {
            design->readProperties(this,
                                   [this, into, key, finished](const StoredProperties& stored) {
                                       if (stored.found())
                                           into->insert(key, stored.body);
                                       finished();
                                       done();
                                   });
        });
    };
    for (const QString& name : std::as_const(m_ownedUsers)) {
        if (m_databases.contains(trevok::users::userDatabaseName(name)))
            readSecurity(trevok::users::userDatabaseName(name));
    }
    QSet<QString> recorded;
    for (const Project& project : std::as_const(m_records)) {
        const QString database = projectDatabaseName(project.ref.stem);
        recorded.insert(database);
        if (!project.live || !m_databases.contains(database))
            continue;
        readSecurity(database);
        readDesign(m_session.server->databaseNamed(database)->designDocumentWithName(
                       QLatin1String(kProjectMetaDesignName)),
                   &m_projectMeta, project.ref.stem);
        readDesign(m_session.trevokMasterDB->designDocumentWithName(project.ref.stem),
                   &m_masterDesigns, project.ref.stem);
    }
    // A project database the master database knows nothing of: its record
    // may not have travelled there yet.
    for (const QString& database : std::as_const(m_databases)) {
        if (!database.startsWith(kProjectDatabasePrefix) || recorded.contains(database))
            continue;
        ++m_pending;
        std::unique_ptr<CouchQuery> all =
            m_session.server->databaseNamed(database)->getAllDocuments();
        all->setPrefetch(true);
        CouchQuery* query = all.get();
        query->start()->onCompletion(this, [this, query, database](RESTOperation& read) {
            QList<QJsonObject>& records = m_recordsInDatabase[database];
            const QString stem = database.mid(kProjectDatabasePrefix.size());
            if (!read.isSuccessful())
                records.append(QJsonObject{{QStringLiteral("unreadable"), true}});
            for (const CouchQueryRow& row : query->currentRows()) {
                const QJsonObject body = row.documentProperties().value_or(QJsonObject());
                if (isProjectRecordOf(body, stem))
                    records.append(body);
            }
            done();
        });
        m_queries.push_back(std::move(all));
    }
    done();
}

bool WebRepair::hasReplication(const QString& source, const QString& target,
                               const QString& filter) const {
    for (const Replication& replication : m_replications) {
        if (replication.source == source && replication.target == target &&
            replication.filter == filter && replication.continuous && replication.endsCurrent &&
            !replication.stopped)
            return true;
    }
    return false;
}

void WebRepair::conclude() {
    const QString master = trevok::masterDatabaseName();
    const QSet<QString> users(m_userNames.begin(), m_userNames.end());
    QSet<QString> madeDatabases;
    for (const QString& name : std::as_const(m_ownedUsers)) {
        const QString database = trevok::users::userDatabaseName(name);
        const bool whole =
            m_databases.contains(database) &&
            m_security.value(database) == trevok::users::userDatabaseSecurity(name) &&
            hasReplication(database, master, trevok::users::userToMasterFilterReference());
        if (!m_databases.contains(database))
            madeDatabases.insert(database);
        if (!whole)
            m_users.append(name);
    }

    QList<Project> projects = m_records;
    for (auto it = m_recordsInDatabase.cbegin(); it != m_recordsInDatabase.cend(); ++it) {
        const QList<QJsonObject>& records = it.value();
        if (records.size() == 1 && records.first().contains(QStringLiteral("unreadable")))
            continue; // not known: neither mended nor offered for removal
        if (records.isEmpty()) {
            m_leftovers.append(
                {Leftover::Database,
                 it.key(),
                 {},
                 QStringLiteral("The database %1 holds no project record.").arg(quoted(it.key()))});
            continue;
        }
        const QJsonObject& record = records.first();
        projects.append({{record.value(trevok::records::kProjectIDField).toString(),
                          it.key().mid(kProjectDatabasePrefix.size()),
                          record.value(trevok::records::kTitleField).toString()},
                         MemberProjects::membersIn(record),
                         record.value(QStringLiteral("wasDeleted")) != QJsonValue(true)});
    }
    for (const Project& project : std::as_const(projects)) {
        if (!project.live)
            continue;
        const QString database = projectDatabaseName(project.ref.stem);
        if (!m_databases.contains(database)) {
            m_leftovers.append(
                {Leftover::RecordWithoutDatabase, database, project.ref,
                 QStringLiteral("The project %1 has a record but no database %2 any more.")
                     .arg(quoted(project.ref.title), quoted(database))});
            continue;
        }
        QStringList members;
        for (const QString& name : project.members) {
            if (users.contains(name))
                members.append(name);
        }
        const QJsonObject meta = m_projectMeta.value(project.ref.stem);
        bool whole =
            m_security.value(database) == trevok::adminOnlySecurity() &&
            holds(meta, "filters", kProjectToMasterFilterName, kProjectToMasterFilter) &&
            holds(meta, "views", kProjectInfoViewName, kProjectInfoMap) &&
            (members.isEmpty() ||
             holds(meta, "filters", kProjectToUserFilterName, kProjectToUserFilter)) &&
            holds(m_masterDesigns.value(project.ref.stem), "filters", kMasterToProjectFilterName,
                  masterToProjectFilter(project.ref.projectID)) &&
            hasReplication(database, master, projectToMasterFilterReference()) &&
            hasReplication(master, database, masterToProjectFilterReference(project.ref.stem));
        for (const QString& name : std::as_const(members))
            whole = whole && hasReplication(database, trevok::users::userDatabaseName(name),
                                            projectToUserFilterReference());
        if (!whole)
            m_projects.append({project.ref, members, true});
    }

    for (const QString& database : std::as_const(m_databases)) {
        if (database.startsWith(kUserDatabasePrefix) &&
            !users.contains(database.mid(kUserDatabasePrefix.size())))
            m_leftovers.append(
                {Leftover::Database,
                 database,
                 {},
                 QStringLiteral("The database %1 belongs to no user.").arg(quoted(database))});
    }
    for (const Replication& replication : std::as_const(m_replications)) {
        QStringList missing;
        for (const QString& end : {replication.source, replication.target}) {
            // Ends named by URL are another server's business.
            if (end.isEmpty() || end.contains(QLatin1String("://")))
                continue;
            if (!m_databases.contains(end) && !madeDatabases.contains(end))
                missing.append(quoted(end));
        }
        if (missing.isEmpty())
            continue;
        m_leftovers.append(
            {Leftover::Replication,
             replication.id,
             {},
             QStringLiteral("The replication from %1 to %2 (%3): %4 does not exist.")
                 .arg(quoted(replication.source), quoted(replication.target),
                      quoted(replication.id), missing.join(QStringLiteral(" and ")))});
    }
    Q_EMIT audited();
}

trevok::Provisioned WebRepair::mendAndWait(const MemberProjects& memberships) {
    trevok::Provisioned report;
    // The users first: a member's replication needs his database.
    const QStringList users = std::exchange(m_users, {});
    for (const QString& name : users)
        report.add(
            trevok::users::ensureUserWebAndWait(m_session, name, memberships.projectsOf(name)));
    const QList<Project> projects = std::exchange(m_projects, {});
    for (const Project& project : projects)
        report.add(ensureProjectWebAndWait(m_session, project.ref, project.members));
    return report;
}

trevok::Provisioned WebRepair::removeAndWait(const Leftover& leftover) {
    trevok::Provisioned report;
    switch (leftover.kind) {
    case Leftover::Database:
        trevok::removeDatabaseAndWait(m_session, leftover.name, report);
        break;
    case Leftover::Replication: {
        QString error;
        if (deleteDocumentAndWait(m_session.replicationDatabase->documentWithID(leftover.name),
                                  &error) == Rewrite::Failed)
            report.fail(QStringLiteral("Removing the replication %1").arg(quoted(leftover.name)),
                        error);
        break;
    }
    case Leftover::RecordWithoutDatabase: {
        // What a permanent deletion that stopped half-way left: the
        // replications, the master's documents of the project, its filter.
        trevok::removeReplicationsFromAndWait(m_session, leftover.name, {}, report);
        trevok::removeReplicationsIntoAndWait(m_session, leftover.name, report);
        removeMasterDocumentsAndWait(m_session, leftover.project, report);
        break;
    }
    }
    return report;
}
