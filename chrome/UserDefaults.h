#pragma once

#include <QSettings>
#include <QString>

#include <memory>

// The console's user defaults: one INI store per user, shared by every part
// of the program (the window's saved frame, the console's preferences), so
// that a preference written elsewhere is read here. This is the only place
// that says where it is.
inline constexpr QSettings::Format pxUserDefaultsFormat = QSettings::IniFormat;
inline QString pxUserDefaultsOrganization() {
    return QStringLiteral("com.trevokapp");
}
inline QString pxUserDefaultsApplication() {
    return QStringLiteral("TrevokServer");
}

inline QSettings pxUserDefaults() {
    return QSettings(pxUserDefaultsFormat, QSettings::UserScope, pxUserDefaultsOrganization(),
                     pxUserDefaultsApplication());
}

inline std::unique_ptr<QSettings> pxOpenUserDefaults() {
    return std::make_unique<QSettings>(pxUserDefaultsFormat, QSettings::UserScope,
                                       pxUserDefaultsOrganization(), pxUserDefaultsApplication());
}
