#pragma once

#include <QJsonObject>
#include <QString>

class CouchServer;

namespace trevok {

// The security object of the databases only the console and the server's own
// replications use (the master, project and archive databases): members must
// hold the "_admin" role, so that no account but the administrator reads or
// writes them. Sync clients never need them.
QJsonObject adminOnlySecurity();

// Gives the database that security object, unless it has it already, and
// waits. Returns the failure in words, empty on success.
QString secureForAdministrators(CouchServer* server, const QString& databaseName);

} // namespace trevok
