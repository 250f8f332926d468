#pragma once

#include <QString>

// The fields of the records the console owns (the project records, the master
// record), by one name each. Stored data and sync clients rely on them.
namespace trevok::records {

inline const QString kTitleField = QStringLiteral("title");
inline const QString kServerDBNameField = QStringLiteral("serverDBName");
inline const QString kMembersField = QStringLiteral("members");
inline const QString kArchivedField = QStringLiteral("archived");
inline const QString kProjectIDField = QStringLiteral("projectID");
inline const QString kServerIDField = QStringLiteral("serverID");
inline const QString kOwnerNameField = QStringLiteral("ownerName");

} // namespace trevok::records
