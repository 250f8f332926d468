#include "server/ServerChoice.h"

namespace trevok {

QUrl bundledServerURL() {
    return QUrl(QStringLiteral("http://127.0.0.1:5984"));
}

QUrl ServerChoice::serverURL() const {
    return isBundled() ? bundledServerURL() : url;
}

QString serverChoiceProblem(const QString& urlText, const QString& admin) {
    const QString text = urlText.trimmed();
    if (text.isEmpty())
        return QStringLiteral("Enter the server's URL, for example https://couch.example.org.");
    const QUrl url(text, QUrl::StrictMode);
    const QString scheme = url.scheme().toLower();
    if (!url.isValid() || (scheme != QStringLiteral("http") && scheme != QStringLiteral("https")))
        return QStringLiteral("The server's URL must begin with http:// or https://.");
    if (url.host().isEmpty())
        return QStringLiteral("The server's URL must name its host.");
    if (!url.userInfo().isEmpty())
        return QStringLiteral("Leave the name and password out of the URL: the name goes in "
                              "its own field, the password is asked at login.");
    if ((!url.path().isEmpty() && url.path() != QStringLiteral("/")) || url.hasQuery() ||
        url.hasFragment())
        return QStringLiteral("The server's URL must be its root, without a path.");
    if (admin.trimmed().isEmpty())
        return QStringLiteral("Enter the name of the server's administrator.");
    return {};
}

QUrl normalizedServerURL(const QString& urlText) {
    QUrl url(urlText.trimmed(), QUrl::StrictMode);
    url.setScheme(url.scheme().toLower());
    url.setPath(QString());
    return url;
}

ServerChoice readServerChoice(const QSettings& settings) {
    ServerChoice choice;
    if (settings.value(QLatin1String(server_choice::kKind)).toString() != QStringLiteral("couchdb"))
        return choice;
    const QString url = settings.value(QLatin1String(server_choice::kURL)).toString();
    const QString admin = settings.value(QLatin1String(server_choice::kAdmin)).toString().trimmed();
    if (!serverChoiceProblem(url, admin.isEmpty() ? QStringLiteral("admin") : admin).isEmpty())
        return choice;
    choice.kind = ServerChoice::Kind::CouchDB;
    choice.url = normalizedServerURL(url);
    if (!admin.isEmpty())
        choice.admin = admin;
    return choice;
}

void writeServerChoice(QSettings& settings, const ServerChoice& choice) {
    settings.setValue(QLatin1String(server_choice::kKind),
                      choice.isBundled() ? QStringLiteral("bundled") : QStringLiteral("couchdb"));
    if (choice.isBundled()) {
        settings.remove(QLatin1String(server_choice::kURL));
        settings.remove(QLatin1String(server_choice::kAdmin));
    } else {
        settings.setValue(QLatin1String(server_choice::kURL), choice.url.toString());
        settings.setValue(QLatin1String(server_choice::kAdmin), choice.admin);
    }
    settings.sync();
}

} // namespace trevok
