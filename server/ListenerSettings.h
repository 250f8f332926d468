#pragma once

#include "server/SyncRelay.h"

#include <QSettings>
#include <QString>
#include <QStringList>

#include <optional>

namespace trevok {

// The listener's limits as settings in the console's preferences, each with
// its default when absent or not a positive whole number:
//   "SyncListener/MaxConnections"            256
//   "SyncListener/MaxConnectionsPerAddress"  32
//   "SyncListener/MaxConnectionsPerAccount"  32
//   "SyncListener/RequestHeadTimeout"        10 (seconds)
//   "SyncListener/MaxRequestBodyBytes"       the server's document size limit
//   "SyncListener/CredentialCacheSeconds"    10
//   "SyncListener/LastSeenWriteSeconds"      600
// The document size limit is `[couchdb] max_document_size` of the server's
// configuration files (the last file that names it wins), else 8 MB.
namespace listener_settings {
inline constexpr const char* kMaxConnections = "SyncListener/MaxConnections";
inline constexpr const char* kMaxConnectionsPerAddress = "SyncListener/MaxConnectionsPerAddress";
inline constexpr const char* kMaxConnectionsPerAccount = "SyncListener/MaxConnectionsPerAccount";
inline constexpr const char* kRequestHeadTimeout = "SyncListener/RequestHeadTimeout";
inline constexpr const char* kMaxRequestBodyBytes = "SyncListener/MaxRequestBodyBytes";
inline constexpr const char* kCredentialCacheSeconds = "SyncListener/CredentialCacheSeconds";
inline constexpr const char* kLastSeenWriteSeconds = "SyncListener/LastSeenWriteSeconds";
inline constexpr int kDefaultLastSeenWriteSeconds = 600;
// Whether plain HTTP is served beside TLS: "true"/"false", absent is true.
inline constexpr const char* kAllowPlain = "SyncListener/AllowPlain";
} // namespace listener_settings

// "SyncListener/AllowPlain": on unless set to false, so that the clients
// which know only plain HTTP keep working until the administrator decides.
bool allowsPlainFromSettings(const QSettings& settings);

ListenerLimits listenerLimitsFromSettings(const QSettings& settings,
                                          const QStringList& serverConfigFiles);

// How often at most a user's record gets the time the user was last seen
// through the listener, in seconds.
int lastSeenWriteSecondsFromSettings(const QSettings& settings);

// `[section] key` of an INI text, as the server reads it; nullopt when absent.
std::optional<QString> iniValue(const QString& text, const QString& section, const QString& key);

} // namespace trevok
