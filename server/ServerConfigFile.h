#pragma once

#include <QString>

namespace trevok {

// Where the console finds its read-only resources (interface files, images,
// the server installation): the folder named by the environment when set;
// else "resources" beside the executable (a build tree); else the
// installation's <prefix>/share/trevokserver, the executable being in
// <prefix>/bin. When neither exists, the build tree's place, so that the
// error names where the files were expected.
QString locateResources(const QString& fromEnvironment, const QString& executableDir);

// The local.ini that comes with the server installation. Only read: a
// build tree may be shared and an installation is read-only.
QString shippedServerConfig(const QString& serverHome);

// The server's writable configuration, one per person:
// <config home>/com.trevokapp/server-core/local.ini. The console passes it
// to the server as its last configuration file, so it receives the data
// section and everything the server writes (the administrator's password).
QString personalServerConfig(const QString& configHome);
// The same below the XDG configuration home.
QString personalServerConfig();

// At the first start, copies the shipped configuration, byte for byte, to
// the personal one, readable by its owner only (it will hold the
// administrator's password hash). An existing personal file is left as it
// is. Without a shipped file the personal one starts empty. Returns false,
// after logging why, when no personal file exists afterwards.
bool preparePersonalServerConfig(const QString& shipped, const QString& personal);

} // namespace trevok
