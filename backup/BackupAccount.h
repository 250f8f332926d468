#pragma once

#include <QString>

#include <optional>

namespace trevok::backup {

// The account daily backups read with: a server administrator the console
// makes for them, so that a backup due while nobody is logged in (the
// console serving from the desktop login on) still runs. Its password is
// generated, never shown, and kept in the console's configuration folder,
// readable by its owner only, like the server's own configuration beside it.
// The sync listener refuses every administrator, this one included.
struct BackupAccount {
    QString user;
    QString password;
};

inline const QString kBackupAccountName = QStringLiteral("trevok-backup");

// <config home>/com.trevokapp/backup-account.json
QString backupAccountFile(const QString& configHome);
QString backupAccountFile();

std::optional<BackupAccount> readBackupAccount(const QString& file);
// Written whole or not at all, mode 0600. Returns "" or why not.
QString writeBackupAccount(const QString& file, const BackupAccount& account);
// 32 random bytes from the system's generator, as URL-safe base64.
QString generateBackupPassword();

} // namespace trevok::backup
