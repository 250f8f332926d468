#pragma once

#include <QString>

namespace trevok {

// The command-line switch of a console started at login: no window, serving
// at once.
inline constexpr char kHiddenSwitch[] = "--hidden";

// The person's autostart entry for the console
// ($XDG_CONFIG_HOME/autostart/com.trevokapp.TrevokServer.desktop).
QString autostartEntryPath();

// The entry that starts `executable` hidden at login.
QString autostartEntryText(const QString& executable);

// One argument of a desktop entry's Exec key, quoted and escaped as desktop
// entries require (a path with blanks, quotes or `$`).
QString desktopExecArgument(const QString& argument);

bool startsAtLogin();
// Writes or removes the entry for this executable; false with the reason in
// words when the file could not be written or removed.
bool setStartsAtLogin(bool starts, const QString& executable, QString* problem);

} // namespace trevok
