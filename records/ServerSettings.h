#pragma once

#include <QJsonObject>
#include <QString>

namespace trevok {

// The three settings of the administered server that the information tab shows.
struct ServerSettings {
    QString bindAddress;
    QString requireValidUser;
    QString wwwAuthenticate; // "Enabled" or "Not enabled"
};

// From the server's configuration: an object of sections of string settings.
// "WWW-Authenticate" counts as enabled whenever it is present, even empty.
ServerSettings serverSettingsFromConfig(const QJsonObject& config);

// What the tab shows when the configuration could not be read.
ServerSettings unknownServerSettings();

} // namespace trevok
