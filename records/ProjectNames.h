#pragma once

#include <QDateTime>
#include <QJsonObject>
#include <QString>
#include <QStringList>
#include <QVariantMap>

#include <optional>

#include "records/UserNames.h"

// Names, function sources and small rules of projects that need neither a
// window nor a server. The function sources are part of the data layout that
// sync clients rely on: each is kept exactly as the clients expect it.
namespace trevok::projects {

// A title reduced to lower-case ASCII letters and digits: diacritics fold to
// their base letter, everything else without an ASCII letter or digit form
// goes. Computed once, when the project is created; may be empty.
QString databaseStem(const QString& title);

QString projectDatabaseName(const QString& stem);
QString archiveDatabaseName(const QString& stem);
// A member's things are named where every user's are.
using users::userDatabaseName;
using users::userDocumentID;

// Master-side design documents that are not a project's own: a stem equal to
// one of them would make the project's design document one of these.
bool isReservedStem(const QString& stem);

// The design documents of a project and their members, by name.
inline constexpr const char* kProjectMetaDesignName = "projectmeta";
inline constexpr const char* kProjectToMasterFilterName = "project_to_master_filter";
inline constexpr const char* kProjectInfoViewName = "project_info";
inline constexpr const char* kProjectToUserFilterName = "project_to_user_filter";
inline constexpr const char* kAllProjectsViewName = "all_projects";
inline constexpr const char* kMasterToProjectFilterName = "master_to_project_filter";
inline constexpr const char* kMetaDesignName = "meta";
inline constexpr const char* kAllMembersViewName = "all_members";
// The filters of the project's replications, as a replication names them.
QString projectToMasterFilterReference();
QString projectToUserFilterReference();
QString masterToProjectFilterReference(const QString& stem);

// In the project database's design document "projectmeta".
extern const QString kProjectToMasterFilter;
extern const QString kProjectInfoMap;
extern const QString kProjectToUserFilter;
extern const QString kProjectAllProjectsMap;
// In the master database's design document named by the stem.
QString masterToProjectFilter(const QString& projectID);
// In the master database's design document "meta".
QString allMembersMap(const QString& projectID);

// The project record's save rule: fills in what is missing, marks the change
// time when the record has changes to save (counting the ones made here).
QJsonObject projectPropertiesToSave(QJsonObject body, bool hasChanges, const QDateTime& now,
                                    const QString& serverID, const QString& documentID);

// `members` with `userName` appended, unless it is in there already
// (exact comparison); std::nullopt then.
std::optional<QStringList> membersAdding(const QStringList& members, const QString& userName);
// `members` without any entry equal to `userName`, in their order.
QStringList membersRemoving(const QStringList& members, const QString& userName);

// A member entry of the full-name list: "FirstName" and "LastName" keys as
// present (no key at all without a first name).
// The generation of a document's revision (the number before the dash of
// its `_rev`), 0 when it has none. Replication keeps revisions, so copies of
// one record in two databases compare by it.
int revisionGeneration(const QJsonObject& body);

// A project's members as the server holds them, and the record's revision.
struct StoredMembers {
    QStringList members;
    int generation = 0;
};

QVariantMap memberFullNameEntry(const QJsonValue& firstName, const QJsonValue& lastName);

// The project list filter "key == NO" (or YES): a record passes when the
// field is absent or false (resp. true). Other predicates pass everything.
bool passesListPredicate(const QString& predicate, const QJsonObject& record);

} // namespace trevok::projects
