#pragma once

#include <QString>

namespace trevok {

// The section appended once to the server's local.ini so that databases and
// view indexes both live in the console's data folder.
QString dataSectionFor(const QString& dataFolder);

// Whether the configuration text already names the folder. A plain substring
// search on purpose: a path mentioned only in a comment counts, so the file is
// never appended to twice for the same folder.
bool configNamesFolder(const QString& configText, const QString& dataFolder);

// The per-user data folder: the XDG data home followed by the console's own
// component. Created with its parents when missing.
QString applicationSupportFolder();

// Makes sure the data folder exists and that the configuration file points the
// server at it. Returns false (after logging why) when the file could not be
// read or written; the caller goes on regardless, as the server then runs with
// whatever configuration it has.
bool maybeSetDataDirs(const QString& configFile, const QString& dataFolder);

} // namespace trevok
