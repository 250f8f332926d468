#include "records/ServerSettings.h"

#include <initializer_list>

namespace trevok {

namespace {
// The first of the sections that holds the key (CouchDB 2 and later serve
// clients through [chttpd] and keep authentication in [chttpd_auth]; the
// first line has [httpd] and [couch_httpd_auth]).
QString firstOf(const QJsonObject& config, std::initializer_list<const char*> sections,
                const QString& key) {
    for (const char* section : sections) {
        const QJsonObject values = config.value(QLatin1String(section)).toObject();
        if (values.contains(key))
            return values.value(key).toString();
    }
    return {};
}
} // namespace

ServerSettings serverSettingsFromConfig(const QJsonObject& config) {
    const QJsonObject httpd = config.value(QStringLiteral("httpd")).toObject();
    return {firstOf(config, {"chttpd", "httpd"}, QStringLiteral("bind_address")),
            firstOf(config, {"chttpd", "chttpd_auth", "couch_httpd_auth"},
                    QStringLiteral("require_valid_user")),
            httpd.contains(QStringLiteral("WWW-Authenticate")) ? QStringLiteral("Enabled")
                                                               : QStringLiteral("Not enabled")};
}

ServerSettings unknownServerSettings() {
    const QString dash = QStringLiteral("–");
    return {dash, dash, dash};
}

} // namespace trevok
