#include "projects/ProjectProvisioning.h"

#include "projects/DocumentWrites.h"
#include "projects/MembershipHooks.h"
#include "records/ArchiveRules.h"
#include "records/ProjectModel.h"
#include "records/RecordFields.h"
#include "records/UuidText.h"
#include "services/AdminOnlySecurity.h"
#include "store/CouchDatabase.h"
#include "store/CouchDesignDocument.h"
#include "store/CouchDocument.h"
#include "store/CouchPersistentReplication.h"
#include "store/CouchQuery.h"
#include "store/CouchServer.h"
#include "store/DocumentRewrite.h"
#include "users/UserAccess.h"

#include <QJsonArray>

#include <algorithm>
#include <optional>

namespace {
std::function<void()> g_afterStemCheck;
std::function<void()> g_beforeMembersSave;
} // namespace

namespace trevok::projects_for_testing {
void setBeforeMembersSave(std::function<void()> hook) {
    g_beforeMembersSave = std::move(hook);
}
void setAfterStemCheck(std::function<void()> hook) {
    g_afterStemCheck = std::move(hook);
}
} // namespace trevok::projects_for_testing

namespace trevok::projects {

void afterStemCheck() {
    if (g_afterStemCheck)
        g_afterStemCheck();
}

namespace {

const QString kMaster = QStringLiteral("trevok_master");

QStringList stringList(const QJsonValue& value) {
    QStringList list;
    for (const QJsonValue& entry : value.toArray())
        list.append(entry.toString());
    return list;
}

QJsonObject viewOf(const QString& map) {
    return QJsonObject{{QStringLiteral("map"), map}};
}

// Applies `change` to `members` of the record as the server holds it now, so
// that the save never undoes a change made meanwhile by a replication, a
// client or another addition; the project record's save rules apply to what
// is written. `stored` receives the members as the server holds them
// afterwards (as far as this write knows) and the record's revision.
Rewrite writeMembers(CouchDocument* record,
                     const std::function<std::optional<QStringList>(const QStringList&)>& change,
                     QString* error, StoredMembers* stored) {
    std::optional<QStringList> next;
    const Rewrite written = rewriteDocumentAndWait(
        record,
        [&](QJsonObject& body) {
            stored->members = stringList(body.value(trevok::records::kMembersField));
            stored->generation = revisionGeneration(body);
            next = change(stored->members);
            if (!next)
                return false;
            // The record's rules (modification time, server) on the body just
            // read; the model is not the document's, so no autosave follows.
            ProjectModel model(record);
            model.setStringListValue(trevok::records::kMembersField, *next);
            body = model.propertiesToSave();
            if (g_beforeMembersSave)
                g_beforeMembersSave();
            return true;
        },
        error);
    if (written == Rewrite::Written) {
        stored->members = *next;
        stored->generation =
            std::max(stored->generation + 1,
                     revisionGeneration(record->cachedProperties().value_or(QJsonObject())));
    } else if (written == Rewrite::Gone) {
        *error = QStringLiteral("not_found: deleted");
    }
    return written;
}

// The memberships follow the record as just written; then what the member
// may write into his database says so.
void followMembers(const StoreSession& session, MemberProjects& memberships,
                   const QString& projectID, CouchDocument* record, const QStringList& members,
                   const QString& userName, Provisioned& report) {
    const QJsonObject body = record->cachedProperties().value_or(QJsonObject());
    if (MemberProjects::isLiveProjectRecord(body))
        memberships.setMembers(projectID, members);
    else
        memberships.removeProject(projectID);
    QString error;
    // A user without a database writes nothing: there is nothing to limit.
    if (users::grantProjectsAndWait(session.server, userName, memberships.projectsOf(userName),
                                    &error) == Rewrite::Failed)
        report.fail(QStringLiteral("Writing which projects %1 may write into").arg(userName),
                    error);
}

} // namespace

bool isProjectRecordOf(const QJsonObject& body, const QString& stem) {
    const QString id = body.value(QStringLiteral("_id")).toString();
    return body.value(QStringLiteral("type")) == QJsonValue(QStringLiteral("ProjectInfoDoc")) &&
           !id.isEmpty() && body.value(trevok::records::kProjectIDField) == QJsonValue(id) &&
           body.value(trevok::records::kServerDBNameField) == QJsonValue(stem);
}

Provisioned createProjectAndWait(const StoreSession& session, const QString& title,
                                 const QString& serverID, ProjectRef* made, ProjectModel** model) {
    Provisioned report;
    const QString stem = databaseStem(title);
    const QString dbName = projectDatabaseName(stem);
    CouchDatabase* projectDB = session.server->databaseNamed(dbName);
    RESTOperationPtr created = projectDB->create();
    if (!created->wait()) {
        // Nothing goes into, or replicates with, a database that is not there
        // or is not this project's alone.
        report.fail(QStringLiteral("Creating the database %1").arg(quoted(dbName)),
                    created->error());
        return report;
    }
    report.mended.append(QStringLiteral("the database %1").arg(quoted(dbName)));
    if (const QString error = secureForAdministrators(session.server, dbName); !error.isEmpty())
        report.fail(
            QStringLiteral("Restricting the database %1 to the administrator").arg(quoted(dbName)),
            error);

    const ProjectRef project{uuidText(), stem, title};
    if (made)
        *made = project;
    auto* record =
        CouchModel::modelForDocument<ProjectModel>(projectDB->documentWithID(project.projectID));
    if (model)
        *model = record;
    record->setValue(trevok::records::kTitleField, title);
    record->setValue(QStringLiteral("type"), QStringLiteral("ProjectInfoDoc"));
    if (!serverID.isEmpty())
        record->setValue(trevok::records::kServerIDField, serverID);
    record->setValue(trevok::records::kServerDBNameField, stem);
    RESTOperationPtr saved = record->save();
    if (!saved->wait()) {
        report.fail(QStringLiteral("Writing the project record"), saved->error());
        return report;
    }
    report.mended.append(QStringLiteral("the record of %1").arg(quoted(title)));
    report.add(ensureProjectWebAndWait(session, project, {}));
    return report;
}

Provisioned ensureProjectWebAndWait(const StoreSession& session, const ProjectRef& project,
                                    const QStringList& members) {
    Provisioned report;
    const QString dbName = projectDatabaseName(project.stem);
    CouchDatabase* projectDB = session.server->databaseNamed(dbName);
    if (ensureSecurityAndWait(session.server, dbName, adminOnlySecurity(), report) ==
        Ensured::Failed)
        return report; // gone, or unreadable: nothing is built around it
    QJsonObject filters{{QLatin1String(kProjectToMasterFilterName), kProjectToMasterFilter}};
    if (!members.isEmpty())
        filters.insert(QLatin1String(kProjectToUserFilterName), kProjectToUserFilter);
    ensureDesignMembersAndWait(
        projectDB->designDocumentWithName(QLatin1String(kProjectMetaDesignName)),
        QJsonObject{{QLatin1String(kProjectInfoViewName), viewOf(kProjectInfoMap)}}, filters,
        QStringLiteral("the design document “projectmeta” of %1").arg(quoted(dbName)), report);
    ensureDesignMembersAndWait(
        session.trevokMasterDB->designDocumentWithName(project.stem), {},
        QJsonObject{
            {QLatin1String(kMasterToProjectFilterName), masterToProjectFilter(project.projectID)}},
        QStringLiteral("the design document %1 of “trevok_master”").arg(quoted(project.stem)),
        report);
    ensureReplicationAndWait(session, {dbName, kMaster, projectToMasterFilterReference(), true},
                             report);
    ensureReplicationAndWait(
        session, {kMaster, dbName, masterToProjectFilterReference(project.stem), true}, report);
    for (const QString& member : members) {
        ensureReplicationAndWait(
            session, {dbName, userDatabaseName(member), projectToUserFilterReference(), true},
            report);
    }
    return report;
}

Provisioned ensureMemberReplicationAndWait(const StoreSession& session, const QString& stem,
                                           const QString& userName) {
    Provisioned report;
    const QString dbName = projectDatabaseName(stem);
    ensureDesignMembersAndWait(
        session.server->databaseNamed(dbName)->designDocumentWithName(
            QLatin1String(kProjectMetaDesignName)),
        {}, QJsonObject{{QLatin1String(kProjectToUserFilterName), kProjectToUserFilter}},
        QStringLiteral("the filter “project_to_user_filter” of %1").arg(quoted(dbName)), report);
    ensureReplicationAndWait(
        session, {dbName, userDatabaseName(userName), projectToUserFilterReference(), true},
        report);
    return report;
}

Provisioned addMemberAndWait(const StoreSession& session, MemberProjects& memberships,
                             const QString& projectID, const QString& stem, const QString& userName,
                             StoredMembers* stored, bool* changed) {
    Provisioned report;
    CouchDocument* record =
        session.server->databaseNamed(projectDatabaseName(stem))->documentWithID(projectID);
    QString error;
    const Rewrite written = writeMembers(
        record,
        [&userName](const QStringList& members) { return membersAdding(members, userName); },
        &error, stored);
    *changed = written == Rewrite::Written;
    if (written == Rewrite::Failed || written == Rewrite::Gone) {
        report.fail(QStringLiteral("Writing the project's members"), error);
        return report;
    }
    if (*changed)
        report.mended.append(QStringLiteral("the members of the project"));
    // He may write into the project before its documents reach him; adding
    // him again mends what an earlier addition left unwritten.
    followMembers(session, memberships, projectID, record, stored->members, userName, report);
    report.add(ensureMemberReplicationAndWait(session, stem, userName));
    return report;
}

Provisioned removeMemberAndWait(const StoreSession& session, MemberProjects& memberships,
                                const QString& projectID, const QString& stem,
                                const QString& userName, StoredMembers* stored) {
    Provisioned report;
    const QString dbName = projectDatabaseName(stem);
    CouchDocument* record = session.server->databaseNamed(dbName)->documentWithID(projectID);
    QString error;
    const Rewrite written = writeMembers(
        record,
        [&userName](const QStringList& members) -> std::optional<QStringList> {
            QStringList next = membersRemoving(members, userName);
            if (next == members)
                return std::nullopt;
            return next;
        },
        &error, stored);
    if (written == Rewrite::Failed || written == Rewrite::Gone) {
        report.fail(QStringLiteral("Writing the project's members"), error);
    } else {
        // From the moment he is told removed, he writes nothing into it.
        followMembers(session, memberships, projectID, record, stored->members, userName, report);
    }
    // Every replication from the project database into the member's database,
    // and no other, goes (a stray one of an earlier attempt included).
    removeReplicationsFromAndWait(session, dbName, userDatabaseName(userName), report);
    return report;
}

QString checkProjectDatabaseAndWait(const StoreSession& session, const ProjectRef& project,
                                    QStringList* members) {
    const QString dbName = projectDatabaseName(project.stem);
    const QString mismatch =
        QStringLiteral("The database “%1” does not hold the record of “%2”, so it is not that "
                       "project's database. Nothing was changed.")
            .arg(dbName, project.title);
    CouchDatabase* database = session.server->databaseNamed(dbName);
    const StoredProperties record =
        database->documentWithID(project.projectID)->readPropertiesAndWait();
    if (record.found()) {
        const QJsonObject& body = record.body;
        if (body.value(QStringLiteral("type")) != QJsonValue(QStringLiteral("ProjectInfoDoc")) ||
            body.value(trevok::records::kProjectIDField) != QJsonValue(project.projectID) ||
            body.value(trevok::records::kServerDBNameField) != QJsonValue(project.stem))
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
        session.trevokMasterDB->designDocumentWithName(project.stem)->readPropertiesAndWait();
    if (design.status == StoredProperties::Missing)
        return {};
    if (design.status == StoredProperties::Failed)
        return unreadable.arg(QStringLiteral("trevok_master"), design.error);
    const QJsonValue filter = design.body.value(QStringLiteral("filters"))
                                  .toObject()
                                  .value(QLatin1String(kMasterToProjectFilterName));
    if (filter == QJsonValue(masterToProjectFilter(project.projectID)))
        return {};
    return QStringLiteral("The design document “_design/%1” of “trevok_master” belongs to another "
                          "project than “%2”. Nothing was changed.")
        .arg(project.stem, project.title);
}

Provisioned withdrawProjectAndWait(const StoreSession& session, MemberProjects& memberships,
                                   const QString& projectID, const QStringList& members) {
    Provisioned report;
    QStringList everyone = memberships.membersOf(projectID) + members;
    everyone.removeDuplicates();
    memberships.removeProject(projectID);
    for (const QString& user : std::as_const(everyone)) {
        QString error;
        if (users::grantProjectsAndWait(session.server, user, memberships.projectsOf(user),
                                        &error) == Rewrite::Failed)
            report.fail(QStringLiteral("Writing which projects %1 may write into").arg(user),
                        error);
    }
    return report;
}

RESTOperationPtr writeDeletionNoticeAndWait(const StoreSession& session, const QString& stem,
                                            const QString& title, const QString& serverID) {
    RESTOperationPtr written = session.server->databaseNamed(projectDatabaseName(stem))
                                   ->documentWithID(uuidText())
                                   ->putProperties(deletionNoticeBody(title, serverID));
    written->wait();
    return written;
}

std::optional<QStringList> masterDocumentsOfAndWait(const StoreSession& session,
                                                    const ProjectRef& project,
                                                    Provisioned& report) {
    CouchDesignDocument* meta =
        session.trevokMasterDB->designDocumentWithName(QLatin1String(kMetaDesignName));
    meta->defineViewNamed(QLatin1String(kAllMembersViewName), allMembersMap(project.projectID));
    std::unique_ptr<CouchQuery> query = meta->queryViewNamed(QLatin1String(kAllMembersViewName));
    query->setDescending(false);
    const auto rows = query->rowsAndWait();
    if (!rows) {
        report.fail(QStringLiteral("Listing the documents of %1 in “trevok_master”")
                        .arg(quoted(project.title)),
                    query->error());
        return std::nullopt;
    }
    QStringList ids;
    for (const CouchQueryRow& row : *rows) {
        if (row.key().isString() && !row.key().toString().isEmpty())
            ids.append(row.key().toString());
    }
    return ids;
}

void removeMasterDocumentsAndWait(const StoreSession& session, const ProjectRef& project,
                                  Provisioned& report) {
    std::optional<QStringList> ids = masterDocumentsOfAndWait(session, project, report);
    if (!ids)
        return;
    // The record last: while it is there, a login tells what is left.
    ids->append(QStringLiteral("_design/") + project.stem);
    ids->append(project.projectID);
    ids->removeDuplicates();
    for (const QString& id : std::as_const(*ids)) {
        QString error;
        if (deleteByRewrite(session.trevokMasterDB->documentWithID(id), &error) == Rewrite::Failed)
            report.fail(QStringLiteral("Deleting %1 in “trevok_master”").arg(quoted(id)), error);
    }
}

Provisioned emptyProjectAndWait(const StoreSession& session, const ProjectRef& project,
                                const QString& serverID) {
    Provisioned report;
    const QString dbName = projectDatabaseName(project.stem);
    // A project database that is gone takes no notice; the rest still goes.
    RESTOperationPtr notice =
        writeDeletionNoticeAndWait(session, project.stem, project.title, serverID);
    if (!notice->isSuccessful() && notice->httpStatus() != 404)
        report.fail(QStringLiteral("Writing the deletion notice into %1").arg(quoted(dbName)),
                    notice->error());

    const std::optional<QStringList> ids = masterDocumentsOfAndWait(session, project, report);
    if (!ids)
        return report;
    for (const QString& id : *ids) {
        QString error;
        const Rewrite written = rewriteDocumentAndWait(
            session.trevokMasterDB->documentWithID(id),
            [](QJsonObject& body) {
                body = emptiedBody(body);
                return true;
            },
            &error);
        if (written == Rewrite::Failed)
            report.fail(QStringLiteral("Emptying %1 in “trevok_master”").arg(quoted(id)), error);
    }
    return report;
}

Provisioned startArchiveAndWait(const StoreSession& session, const ProjectRef& project,
                                QStringList* marked, CouchPersistentReplication** archive,
                                const std::function<void()>& beforeCopy) {
    Provisioned report;
    *archive = nullptr;
    const QString dbName = projectDatabaseName(project.stem);
    CouchDatabase* projectDB = session.server->databaseNamed(dbName);
    // Every project record of the project database is marked, so that the
    // copy holds the records already marked.
    CouchDesignDocument* projectMeta =
        projectDB->designDocumentWithName(QLatin1String(kProjectMetaDesignName));
    projectMeta->defineViewNamed(QLatin1String(kAllProjectsViewName), kProjectAllProjectsMap);
    std::unique_ptr<CouchQuery> query =
        projectMeta->queryViewNamed(QLatin1String(kAllProjectsViewName));
    if (const auto rows = query->rowsAndWait()) {
        for (const CouchQueryRow& row : *rows) {
            // A record without `projectID` (a deletion notice) names no document.
            if (!row.key().isString() || row.key().toString().isEmpty())
                continue;
            const QString id = row.key().toString();
            QString error;
            const Rewrite written = rewriteDocumentAndWait(
                projectDB->documentWithID(id),
                [](QJsonObject& body) {
                    if (body.value(trevok::records::kArchivedField) == QJsonValue(true))
                        return false;
                    body.insert(trevok::records::kArchivedField, true);
                    return true;
                },
                &error);
            if (written == Rewrite::Written || written == Rewrite::Unchanged)
                marked->append(id);
            else if (written == Rewrite::Failed)
                report.fail(QStringLiteral("Marking the record %1 as archived").arg(quoted(id)),
                            error);
        }
    } else {
        report.fail(QStringLiteral("Listing the project records of %1").arg(quoted(dbName)),
                    query->error());
    }

    const QString archiveName = archiveDatabaseName(project.stem);
    // An archive kept from an earlier archiving takes the copy again.
    if (ensureDatabaseAndWait(session.server, archiveName, report) != Ensured::Failed) {
        if (const QString error = secureForAdministrators(session.server, archiveName);
            !error.isEmpty())
            report.fail(QStringLiteral("Restricting the archive database %1 to the administrator")
                            .arg(quoted(archiveName)),
                        error);
    }
    if (beforeCopy)
        beforeCopy();

    CouchPersistentReplication* replication = projectDB->replicationToDatabaseAtURL(archiveName);
    if (RESTOperationPtr written = replication->start(); !written->wait()) {
        // A copy that never starts never completes: nothing is left to watch.
        report.fail(QStringLiteral("Starting the copy into %1").arg(quoted(archiveName)),
                    written->error());
        return report;
    }
    *archive = replication;
    return report;
}

Provisioned deleteProjectPermanentlyAndWait(const StoreSession& session,
                                            const ProjectRef& project) {
    Provisioned report;
    const QString dbName = projectDatabaseName(project.stem);
    // The replications and the project database go before the documents: a
    // deletion in the master database would otherwise still travel through
    // the project database into the members' databases, which keep what they
    // received. The server stops a replication some time after its document
    // is gone; a database that is gone passes nothing on at once.
    removeDatabaseAndWait(session, dbName, report);
    removeMasterDocumentsAndWait(session, project, report);
    return report;
}

} // namespace trevok::projects
