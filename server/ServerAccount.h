#pragma once

#include <QString>

#include <optional>

namespace trevok {

// An account the console makes on the server for work of its own (daily
// backups, replications): a server administrator whose password is
// generated, never shown, and kept in the console's configuration folder,
// readable by its owner only, like the server's own configuration beside it.
// The sync listener refuses every administrator, these included.
struct ServerAccount {
    QString user;
    QString password;
};

// <config home>/com.trevokapp/<fileName>
QString consoleConfigFile(const QString& configHome, const QString& fileName);
QString consoleConfigFile(const QString& fileName);

std::optional<ServerAccount> readServerAccount(const QString& file);
// Written whole or not at all, mode 0600. Returns "" or why not.
QString writeServerAccount(const QString& file, const ServerAccount& account);
// 32 random bytes from the system's generator, as URL-safe base64.
QString generateAccountPassword();

} // namespace trevok
