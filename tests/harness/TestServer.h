#pragma once

#include <QByteArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QList>
#include <QProcess>
#include <QString>
#include <QTemporaryDir>

#include <memory>

namespace trevok::test {

// One reply of a plain HTTP request made outside the store, so that tests can
// check what is really on the server.
struct HttpReply {
    int status = 0; // 0: no reply
    QByteArray body;
    QJsonDocument json() const { return QJsonDocument::fromJson(body); }
};

// A synchronous request to any server, with basic credentials unless the
// user is empty; no proxy, since test servers are always on this machine.
HttpReply httpRequest(const QByteArray& method, const QString& url, const QByteArray& body = {},
                      const QString& user = {}, const QString& password = {});

// The bundled server, started for a test suite on 127.0.0.1:5984 with a fresh
// data folder and a known administrator password, and stopped when the suite
// ends. Suites that use it hold the CTest resource lock "couchdb5984".
class TestServer {
public:
    // 5984 unless TREVOK_TEST_PORT says otherwise (lets suites of the store
    // layer run beside a console that holds 5984 while developing).
    static int port();
    static QString adminPassword() { return QStringLiteral("trevok-test-admin"); }
    static QString url();

    TestServer();
    ~TestServer();

    // Starts the server and waits until it answers. Fails the calling test
    // (returns false) when it does not within the start timeout.
    bool start();
    void stop();
    bool restart();

    QString dataFolder() const;
    QString configFile() const;

    // Synchronous requests with the administrator's (or the given) credentials.
    static HttpReply request(const QByteArray& method, const QString& path,
                             const QByteArray& body = {},
                             const QString& user = QStringLiteral("admin"),
                             const QString& password = adminPassword());
    static HttpReply anonymous(const QByteArray& method, const QString& path,
                               const QByteArray& body = {});

    // Test helpers that name what they do.
    static bool createDatabase(const QString& name);
    static bool putDocument(const QString& db, const QString& id, const QByteArray& json);
    static QJsonDocument getJson(const QString& path);
    // A sync client's account as the console lays it out: the `_users`
    // document (password "pw") and its user database readable by it alone.
    static bool createSyncUser(const QString& name);
    // Every document of a database, design documents left out.
    static QList<QJsonObject> documents(const QString& database);

private:
    static QString serverHome();
    bool waitUntilAnswering(int timeoutMs);

    QTemporaryDir m_dir;
    std::unique_ptr<QProcess> m_process;
};

// Percent-encodes one path segment (names in tests hold "/", "+" and the like).
QString segment(const QString& name);

} // namespace trevok::test
