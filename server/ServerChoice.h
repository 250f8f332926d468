#pragma once

#include <QSettings>
#include <QString>
#include <QUrl>

namespace trevok {

// Which server the console administers, kept in its preferences:
//   "Server/Kind"   "bundled" (the default) or "couchdb"
//   "Server/URL"    the CouchDB server's URL, http or https, its root
//   "Server/Admin"  the name of that server's administrator ("admin")
// With the bundled server the console launches it and talks to it on
// 127.0.0.1:5984; with a server of the administrator's choosing it launches
// none, and every request (the sync listener's upstream included) goes to
// that URL.
struct ServerChoice {
    enum class Kind { Bundled, CouchDB };
    Kind kind = Kind::Bundled;
    QUrl url;
    QString admin = QStringLiteral("admin");

    bool isBundled() const { return kind == Kind::Bundled; }
    // Where the console reaches the server.
    QUrl serverURL() const;
    bool operator==(const ServerChoice&) const = default;
};

namespace server_choice {
inline constexpr const char* kKind = "Server/Kind";
inline constexpr const char* kURL = "Server/URL";
inline constexpr const char* kAdmin = "Server/Admin";
} // namespace server_choice

QUrl bundledServerURL();

// A choice read as it is stored; one that cannot be used (see
// serverChoiceProblem()) falls back to the bundled server, so that a broken
// preference never leaves the console without any server.
ServerChoice readServerChoice(const QSettings& settings);
void writeServerChoice(QSettings& settings, const ServerChoice& choice);

// Why a CouchDB server at `urlText` administered as `admin` cannot be used,
// in a sentence; "" when it can. The URL must be http or https, name a
// host, and be the server's root: no path, query, fragment or credential in
// it (the password is asked at login and never stored there).
QString serverChoiceProblem(const QString& urlText, const QString& admin);
// The URL as the console keeps it (no trailing slash), from text that passed.
QUrl normalizedServerURL(const QString& urlText);

} // namespace trevok
