#pragma once

#include "server/ServerAccount.h"

#include <QString>

#include <optional>

namespace trevok::backup {

// The account daily backups read with, so that a backup due while nobody
// is logged in (the console serving from the desktop login on) still runs.
using BackupAccount = ServerAccount;

inline const QString kBackupAccountName = QStringLiteral("trevok-backup");

// <config home>/com.trevokapp/backup-account.json
inline QString backupAccountFile(const QString& configHome) {
    return consoleConfigFile(configHome, QStringLiteral("backup-account.json"));
}
inline QString backupAccountFile() {
    return consoleConfigFile(QStringLiteral("backup-account.json"));
}

inline std::optional<BackupAccount> readBackupAccount(const QString& file) {
    return readServerAccount(file);
}
inline QString writeBackupAccount(const QString& file, const BackupAccount& account) {
    return writeServerAccount(file, account);
}
inline QString generateBackupPassword() {
    return generateAccountPassword();
}

} // namespace trevok::backup
