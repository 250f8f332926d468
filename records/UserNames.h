#pragma once

#include <QJsonObject>
#include <QString>
#include <QStringList>

// What a user's name gives on the server. These are the only places where the
// names of a user's things are composed.
namespace trevok::users {

// "org.couchdb.user:" + name, the user's document in `_users`.
QString userDocumentID(const QString& userName);
// "trevok_user_db_" + name, the user's private database.
QString userDatabaseName(const QString& userName);
// The filter of the user-to-master replication, "security/user_to_master_filter".
QString userToMasterFilterReference();

// The design document of a user database: its name and members.
inline constexpr const char* kSecurityDesignName = "security";
inline constexpr const char* kValidateViewName = "validate_doc_update";
inline constexpr const char* kUserToMasterFilterName = "user_to_master_filter";
inline constexpr const char* kValidationMemberName = "validate_doc_update";
QString userToMasterFilterSource();
// The validation function of a user database whose user is a member of the
// projects `projectIDs` (in any order; the text is the same for the same set).
QString userAccessValidation(QStringList projectIDs);
// Makes `body` the design document "security" of `userName`'s database with
// the access rule for `projectIDs`, keeping members of its own; whether
// anything changed.
bool applyUserDesign(QJsonObject& body, const QString& userName, const QStringList& projectIDs);
// The map text of the view "validate_doc_update". The name is written as the
// content of a JavaScript string, so that a quote or a backslash in it can
// neither break the function nor add code to it.
QString validateDocUpdateMap(const QString& userName);
// `text` as the content of a double-quoted JavaScript string literal.
QString javaScriptStringContent(const QString& text);

// The `_security` object of a user database: only the user reads it.
QJsonObject userDatabaseSecurity(const QString& userName);

// Whether the server accepts `name` as the name of a database of ours (the
// store's rule, without the server's own "_" names).
bool isValidDatabaseName(const QString& name);

} // namespace trevok::users
