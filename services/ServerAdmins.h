#pragma once

#include <QString>

class CouchServer;

// The server's configuration as the console reads and writes it. A server
// of the first line has one, at `/_config`; CouchDB 2 and later keep one per
// node, at `/_node/<node>/_config`, and an administrator exists on the nodes
// whose configuration names it.
namespace trevok {

// The path of the configuration of the node the console talks to.
QString localConfigPath(const CouchServer* server);

// Sets the password of the server administrator `name` (making it when
// missing) on the server, or on every node of its `/_membership`, waiting.
// "" when every node took it; else what failed, naming each node that did
// not (the others keep the new password).
QString setServerAdminAndWait(CouchServer* server, const QString& name, const QString& password);

} // namespace trevok
