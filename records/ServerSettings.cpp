#include "records/ServerSettings.h"

namespace trevok {

ServerSettings serverSettingsFromConfig(const QJsonObject& config) {
    const QJsonObject httpd = config.value(QStringLiteral("httpd")).toObject();
    const QJsonObject auth = config.value(QStringLiteral("couch_httpd_auth")).toObject();
    return {httpd.value(QStringLiteral("bind_address")).toString(),
            auth.value(QStringLiteral("require_valid_user")).toString(),
            httpd.contains(QStringLiteral("WWW-Authenticate")) ? QStringLiteral("Enabled")
                                                               : QStringLiteral("Not enabled")};
}

ServerSettings unknownServerSettings() {
    const QString dash = QStringLiteral("–");
    return {dash, dash, dash};
}

} // namespace trevok
