#pragma once

#include <QSettings>

namespace trevok {

// The application's preferences store. Keys are used exactly as the rest of
// the system knows them ("serverID", "TS_CustomizedPassword", ...).
inline QSettings userDefaults() {
    return QSettings(QSettings::IniFormat, QSettings::UserScope, QStringLiteral("com.trevokapp"),
                     QStringLiteral("TrevokServer"));
}

} // namespace trevok
