#pragma once

#include "records/MemberProjects.h"
#include "records/ProjectNames.h"
#include "services/WebSteps.h"

#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

class ProjectModel;

// What a project is on the server, made and unmade without widgets or
// settings: its database with the record, the design documents that filter
// its replications, the pair with "trevok_master" and one replication per
// member. Each operation takes plain values and the session and makes sure
// it is so: run again after it stopped anywhere, it completes.
namespace trevok::projects {

struct ProjectRef {
    QString projectID;
    QString stem;
    QString title;
};

// The database (which must be new: one that exists belongs to something
// else), restricted to the administrator; then the record, the document
// every login makes the rest from; then the project's web. `made` receives
// the project, `model` the record's model. `serverID`: the installation's.
Provisioned createProjectAndWait(const StoreSession& session, const QString& title,
                                 const QString& serverID, ProjectRef* made,
                                 ProjectModel** model = nullptr);

// Everything of a project whose record is in its database: who may read the
// database, the design documents "projectmeta" and the master's one named by
// the stem, the pair of replications, and for each of `members` (users who
// exist) the member replication. A database that is gone is not made again:
// its project is being removed.
Provisioned ensureProjectWebAndWait(const StoreSession& session, const ProjectRef& project,
                                    const QStringList& members);

// The filter "project_to_user_filter" and the replication from the project
// database into the member's database.
Provisioned ensureMemberReplicationAndWait(const StoreSession& session, const QString& stem,
                                           const QString& userName);

// Adding or removing a member: the record's `members` as the server holds
// it now, then what the member may write (`memberships` follows the
// record), then his replication. `stored` receives the members and the
// record's revision as written; `changed` whether the record changed.
Provisioned addMemberAndWait(const StoreSession& session, MemberProjects& memberships,
                             const QString& projectID, const QString& stem, const QString& userName,
                             StoredMembers* stored, bool* changed);
Provisioned removeMemberAndWait(const StoreSession& session, MemberProjects& memberships,
                                const QString& projectID, const QString& stem,
                                const QString& userName, StoredMembers* stored);

// Whether the project database the record names is that project's own (it
// holds that record), or is gone while nothing of another project carries
// the stem; "" or the mismatch in words. `members`: its record's members.
QString checkProjectDatabaseAndWait(const StoreSession& session, const ProjectRef& project,
                                    QStringList* members);

// The project's members lose it from what they may write, before it is
// torn down; `memberships` follows.
Provisioned withdrawProjectAndWait(const StoreSession& session, MemberProjects& memberships,
                                   const QString& projectID, const QStringList& members);

// A deletion notice in the project database (a new one at every emptying).
RESTOperationPtr writeDeletionNoticeAndWait(const StoreSession& session, const QString& stem,
                                            const QString& title, const QString& serverID);

// The emptying step: a deletion notice, then every document of the project
// in the master database deleted and its records marked. Running it again
// marks again and writes another notice.
Provisioned emptyProjectAndWait(const StoreSession& session, const ProjectRef& project,
                                const QString& serverID);

// Archiving up to the copy: every record of the project database marked
// archived (`marked`: their IDs), the archive database made and restricted,
// and the one-shot replication into it started (`archive`: its handle,
// nullptr when it could not be started). `beforeCopy` runs between the
// database and the copy.
Provisioned startArchiveAndWait(const StoreSession& session, const ProjectRef& project,
                                QStringList* marked, CouchPersistentReplication** archive,
                                const std::function<void()>& beforeCopy = {});

// Permanent deletion: the replications from and into the project database,
// the database, the project's documents in the master database, its master
// design document and its record. Whatever is gone already counts as done.
Provisioned deleteProjectPermanentlyAndWait(const StoreSession& session, const ProjectRef& project);

// The ids of the project's documents in "trevok_master" by its members'
// view; nullopt, with the failure in `report`, when they cannot be listed.
std::optional<QStringList> masterDocumentsOfAndWait(const StoreSession& session,
                                                    const ProjectRef& project, Provisioned& report);
// Those documents, its filter and its record (last) deleted. None is when
// they cannot be listed, so that the record stays to tell what is left.
void removeMasterDocumentsAndWait(const StoreSession& session, const ProjectRef& project,
                                  Provisioned& report);

// The project's record as its database holds it ({} when it holds none).
// A record is a project-type document whose `projectID` is its own ID and
// whose `serverDBName` is the stem.
bool isProjectRecordOf(const QJsonObject& body, const QString& stem);

} // namespace trevok::projects
