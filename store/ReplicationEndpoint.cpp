#include "store/ReplicationEndpoint.h"

#include "store/CouchServer.h"

namespace {
bool looksLikeURL(const QString& text) {
    return text.startsWith(QStringLiteral("http://"), Qt::CaseInsensitive) ||
           text.startsWith(QStringLiteral("https://"), Qt::CaseInsensitive);
}
} // namespace

ServerGeneration serverGenerationFromWelcome(const QJsonObject& welcome) {
    const QString version = welcome.value(QStringLiteral("version")).toString();
    bool ok = false;
    const int major = version.section(QLatin1Char('.'), 0, 0).toInt(&ok);
    return ok && major >= 2 ? ServerGeneration::Clustered : ServerGeneration::Classic;
}

QJsonValue replicationEndpointValue(ServerGeneration generation, const QUrl& server,
                                    const QString& database, const QString& user,
                                    const QString& password) {
    if (generation == ServerGeneration::Classic)
        return database;
    const QString base = server.toString(QUrl::RemoveUserInfo | QUrl::RemoveQuery |
                                         QUrl::RemoveFragment | QUrl::StripTrailingSlash);
    const QJsonObject basic{{QStringLiteral("username"), user},
                            {QStringLiteral("password"), password}};
    const QJsonObject auth{{QStringLiteral("basic"), basic}};
    return QJsonObject{
        {QStringLiteral("url"), QString(base + QLatin1Char('/') + couchEncodedSegment(database))},
        {QStringLiteral("auth"), auth}};
}

QString replicationEndpointDatabase(const QJsonValue& endpoint) {
    QString text;
    if (endpoint.isString())
        text = endpoint.toString();
    else if (endpoint.isObject())
        text = endpoint.toObject().value(QStringLiteral("url")).toString();
    if (!looksLikeURL(text))
        return endpoint.isString() ? text : QString();
    const QUrl url(text);
    if (!url.isValid())
        return {};
    QString path = url.path(QUrl::FullyEncoded);
    while (path.endsWith(QLatin1Char('/')))
        path.chop(1);
    return QUrl::fromPercentEncoding(path.mid(path.lastIndexOf(QLatin1Char('/')) + 1).toUtf8());
}
