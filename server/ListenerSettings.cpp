#include "server/ListenerSettings.h"

#include <QFile>

#include <algorithm>

namespace trevok {

namespace {

std::optional<qint64> positiveNumber(const QVariant& value) {
    bool ok = false;
    const qint64 n = value.toString().trimmed().toLongLong(&ok);
    if (!ok || n <= 0)
        return std::nullopt;
    return n;
}

std::optional<qint64> serverDocumentSizeLimit(const QStringList& files) {
    std::optional<qint64> limit;
    for (const QString& path : files) {
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly))
            continue;
        const auto value = iniValue(QString::fromUtf8(file.readAll()), QStringLiteral("couchdb"),
                                    QStringLiteral("max_document_size"));
        if (value) {
            if (const auto n = positiveNumber(*value))
                limit = n;
        }
    }
    return limit;
}

} // namespace

std::optional<QString> iniValue(const QString& text, const QString& section, const QString& key) {
    std::optional<QString> found;
    QString current;
    for (QString line : text.split(QLatin1Char('\n'))) {
        line = line.trimmed();
        if (line.isEmpty() || line.startsWith(QLatin1Char(';')) ||
            line.startsWith(QLatin1Char('#')))
            continue;
        if (line.startsWith(QLatin1Char('[')) && line.endsWith(QLatin1Char(']'))) {
            current = line.mid(1, line.size() - 2).trimmed();
            continue;
        }
        const qsizetype eq = line.indexOf(QLatin1Char('='));
        if (eq < 0 || current != section || line.left(eq).trimmed() != key)
            continue;
        QString value = line.mid(eq + 1);
        // A comment after the value, as the server's reader allows.
        if (const qsizetype comment = value.indexOf(QStringLiteral(" ;")); comment >= 0)
            value.truncate(comment);
        found = value.trimmed();
    }
    return found;
}

int lastSeenWriteSecondsFromSettings(const QSettings& settings) {
    using namespace listener_settings;
    if (const auto n = positiveNumber(settings.value(QLatin1String(kLastSeenWriteSeconds))))
        return int(std::min<qint64>(*n, 7 * 24 * 3600));
    return kDefaultLastSeenWriteSeconds;
}

bool allowsPlainFromSettings(const QSettings& settings) {
    return settings.value(QLatin1String(listener_settings::kAllowPlain), true).toBool();
}

ListenerLimits listenerLimitsFromSettings(const QSettings& settings,
                                          const QStringList& serverConfigFiles) {
    using namespace listener_settings;
    ListenerLimits limits;
    const auto setting = [&](const char* key) {
        return positiveNumber(settings.value(QLatin1String(key)));
    };
    if (const auto n = setting(kMaxConnections))
        limits.maxConnections = int(std::min<qint64>(*n, 65535));
    if (const auto n = setting(kMaxConnectionsPerAddress))
        limits.maxConnectionsPerAddress = int(std::min<qint64>(*n, 65535));
    if (const auto n = setting(kMaxConnectionsPerAccount))
        limits.maxConnectionsPerAccount = int(std::min<qint64>(*n, 65535));
    if (const auto n = setting(kRequestHeadTimeout))
        limits.headTimeout = std::chrono::seconds(std::min<qint64>(*n, 3600));
    if (const auto n = setting(kCredentialCacheSeconds))
        limits.identityLifetime = std::chrono::seconds(std::min<qint64>(*n, 3600));
    if (const auto n = setting(kMaxRequestBodyBytes))
        limits.maxBodyBytes = std::uint64_t(*n);
    else if (const auto server = serverDocumentSizeLimit(serverConfigFiles))
        limits.maxBodyBytes = std::uint64_t(*server);
    return limits;
}

} // namespace trevok
