#pragma once

#include <QSettings>
#include <QString>

#include <memory>

// The console's user defaults: one INI store per user, shared by every part
// of the program, so that a preference written elsewhere is read here.
inline std::unique_ptr<QSettings> pxOpenUserDefaults() {
    return std::make_unique<QSettings>(QSettings::IniFormat, QSettings::UserScope,
                                       QStringLiteral("com.trevokapp"),
                                       QStringLiteral("TrevokServer"));
}
