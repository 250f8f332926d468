#include "server/SyncListener.h"
#include "server/SyncRelay.h"
#include "tests/harness/TestServer.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkCookie>
#include <QNetworkReply>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

#include <memory>
#include <vector>

using namespace trevok;
using trevok::test::HttpReply;
using trevok::test::TestServer;

namespace {

struct Reply {
    int status = 0;
    QByteArray body;
    QList<QNetworkReply::RawHeaderPair> headers;
    QJsonObject json() const { return QJsonDocument::fromJson(body).object(); }
};

QByteArray basic(const QString& user, const QString& password) {
    return "Basic " + (user + QLatin1Char(':') + password).toUtf8().toBase64();
}

// One raw exchange on a fresh connection, for what a well-behaved client
// would never send.
QByteArray rawExchange(quint16 port, const QByteArray& bytes) {
    QTcpSocket socket;
    socket.connectToHost(QStringLiteral("127.0.0.1"), port);
    if (!socket.waitForConnected(5000))
        return {};
    socket.write(bytes);
    socket.flush();
    QByteArray answer;
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < 5000 && socket.state() == QAbstractSocket::ConnectedState) {
        if (socket.waitForReadyRead(200))
            answer += socket.readAll();
        if (answer.contains("\r\n\r\n"))
            break;
    }
    return answer + socket.readAll();
}

} // namespace

class TestSyncListener : public QObject {
    Q_OBJECT

    TestServer m_server;
    std::unique_ptr<SyncListener> m_listener;
    QNetworkAccessManager m_manager;

    QUrl listenerUrl(const QString& path) const {
        return QUrl(QStringLiteral("http://127.0.0.1:%1%2").arg(m_listener->port()).arg(path));
    }

    Reply send(const QByteArray& method, const QString& path, const QByteArray& body = {},
               const QByteArray& authorization = {}, const QByteArray& cookie = {},
               const QByteArray& contentType = QByteArrayLiteral("application/json")) {
        QNetworkRequest req(listenerUrl(path));
        req.setHeader(QNetworkRequest::ContentTypeHeader, contentType);
        if (!authorization.isEmpty())
            req.setRawHeader("Authorization", authorization);
        if (!cookie.isEmpty())
            req.setRawHeader("Cookie", cookie);
        // Cookies go exactly as each case gives them.
        req.setAttribute(QNetworkRequest::CookieLoadControlAttribute, QNetworkRequest::Manual);
        req.setAttribute(QNetworkRequest::CookieSaveControlAttribute, QNetworkRequest::Manual);
        QNetworkReply* reply = m_manager.sendCustomRequest(req, method, body);
        QSignalSpy finished(reply, &QNetworkReply::finished);
        finished.wait(20000);
        Reply result;
        result.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        result.body = reply->readAll();
        result.headers = reply->rawHeaderPairs();
        reply->deleteLater();
        return result;
    }

    Reply asAnn(const QByteArray& method, const QString& path, const QByteArray& body = {}) {
        return send(method, path, body, basic(QStringLiteral("ann"), QStringLiteral("pw")));
    }

private Q_SLOTS:
    void initTestCase() {
        QVERIFY(m_server.start());
        QVERIFY(TestServer::createSyncUser(QStringLiteral("ann")));
        QVERIFY(TestServer::createSyncUser(QStringLiteral("bob")));
        m_listener = std::make_unique<SyncListener>(nullptr, QStringLiteral("127.0.0.1"),
                                                    quint16(TestServer::port()));
        QVERIFY(m_listener->start());
        QVERIFY(m_listener->port() != 0);
        QVERIFY(m_listener->port() != TestServer::port());
    }

    void cleanupTestCase() {
        m_listener.reset();
        m_server.stop();
    }

    void ownDatabaseReachableWithOwnPassword() {
        Reply r = asAnn("GET", QStringLiteral("/trevok_user_db_ann"));
        QCOMPARE(r.status, 200);
        QCOMPARE(r.json().value(QStringLiteral("db_name")).toString(),
                 QStringLiteral("trevok_user_db_ann"));

        r = asAnn("PUT", QStringLiteral("/trevok_user_db_ann/note1"), "{\"text\":\"hello\"}");
        QCOMPARE(r.status, 201);
        r = asAnn("GET", QStringLiteral("/trevok_user_db_ann/note1"));
        QCOMPARE(r.status, 200);
        QCOMPARE(r.json().value(QStringLiteral("text")).toString(), QStringLiteral("hello"));
        // What the server really holds.
        QCOMPARE(TestServer::getJson(QStringLiteral("/trevok_user_db_ann/note1"))
                     .object()
                     .value(QStringLiteral("text"))
                     .toString(),
                 QStringLiteral("hello"));

        QCOMPARE(asAnn("GET", QStringLiteral("/")).status, 200);
        QCOMPARE(asAnn("GET", QStringLiteral("/_uuids?count=3"))
                     .json()
                     .value(QStringLiteral("uuids"))
                     .toArray()
                     .size(),
                 3);
        r = asAnn("GET", QStringLiteral("/_session"));
        QCOMPARE(r.status, 200);
        QCOMPARE(r.json()
                     .value(QStringLiteral("userCtx"))
                     .toObject()
                     .value(QStringLiteral("name"))
                     .toString(),
                 QStringLiteral("ann"));
        r = asAnn("GET", QStringLiteral("/_users/org.couchdb.user:ann"));
        QCOMPARE(r.status, 200);
        QCOMPARE(r.json().value(QStringLiteral("name")).toString(), QStringLiteral("ann"));
    }

    void largeBodiesStreamBothWays() {
        // Several relay pieces in each direction.
        QByteArray payload(3 * int(listener_limits::kRelayChunkBytes) + 123, '\0');
        for (int i = 0; i < payload.size(); ++i)
            payload[i] = char('a' + i % 26);
        const QByteArray doc = "{\"blob\":\"" + payload + "\"}";
        Reply r = asAnn("PUT", QStringLiteral("/trevok_user_db_ann/big"), doc);
        QCOMPARE(r.status, 201);
        r = asAnn("GET", QStringLiteral("/trevok_user_db_ann/big"));
        QCOMPARE(r.status, 200);
        QCOMPARE(r.json().value(QStringLiteral("blob")).toString().toLatin1(), payload);
    }

    void headThenGetOnOneConnection() {
        QCOMPARE(asAnn("HEAD", QStringLiteral("/trevok_user_db_ann/note1")).status, 200);
        QCOMPARE(asAnn("GET", QStringLiteral("/trevok_user_db_ann/note1")).status, 200);
    }

    void refusedResources_data() {
        QTest::addColumn<QByteArray>("method");
        QTest::addColumn<QString>("path");
        QTest::newRow("config") << QByteArray("GET") << QStringLiteral("/_config");
        QTest::newRow("config admin")
            << QByteArray("PUT") << QStringLiteral("/_config/admins/admin");
        QTest::newRow("all dbs") << QByteArray("GET") << QStringLiteral("/_all_dbs");
        QTest::newRow("replicator")
            << QByteArray("GET") << QStringLiteral("/_replicator/_all_docs");
        QTest::newRow("master") << QByteArray("GET") << QStringLiteral("/trevok_master");
        QTest::newRow("users list") << QByteArray("GET") << QStringLiteral("/_users/_all_docs");
        QTest::newRow("other user doc")
            << QByteArray("GET") << QStringLiteral("/_users/org.couchdb.user:bob");
        QTest::newRow("encoded escape")
            << QByteArray("GET") << QStringLiteral("/trevok_user_db_ann%2F..%2F_config");
        QTest::newRow("create database") << QByteArray("PUT") << QStringLiteral("/some_db");
    }
    void refusedResources() {
        QFETCH(QByteArray, method);
        QFETCH(QString, path);
        const Reply r = asAnn(method, path);
        QCOMPARE(r.status, 403);
        QCOMPARE(r.json().value(QStringLiteral("error")).toString(), QStringLiteral("forbidden"));
        QVERIFY(!r.json().value(QStringLiteral("reason")).toString().isEmpty());
    }

    void otherUsersDatabaseRefused() {
        const Reply r = asAnn("GET", QStringLiteral("/trevok_user_db_bob/_all_docs"));
        QVERIFY2(r.status == 401 || r.status == 403, r.body.constData());
        QCOMPARE(asAnn("PUT", QStringLiteral("/trevok_user_db_bob/intruder"), "{}").status / 100,
                 4);
        QVERIFY(TestServer::request("GET", QStringLiteral("/trevok_user_db_bob/intruder")).status ==
                404);
    }

    void administratorCredentialsRefused_data() {
        QTest::addColumn<QString>("path");
        QTest::newRow("root") << QStringLiteral("/");
        QTest::newRow("session") << QStringLiteral("/_session");
        QTest::newRow("user db") << QStringLiteral("/trevok_user_db_ann");
        QTest::newRow("admin's user doc") << QStringLiteral("/_users/org.couchdb.user:admin");
    }
    void administratorCredentialsRefused() {
        QFETCH(QString, path);
        const Reply r =
            send("GET", path, {}, basic(QStringLiteral("admin"), TestServer::adminPassword()));
        QCOMPARE(r.status, 403);
        QCOMPARE(r.json().value(QStringLiteral("error")).toString(), QStringLiteral("forbidden"));
    }

    void administratorLoginRefused_data() {
        QTest::addColumn<QByteArray>("contentType");
        QTest::addColumn<QByteArray>("body");
        QTest::newRow("form") << QByteArray("application/x-www-form-urlencoded")
                              << "name=admin&password=" + TestServer::adminPassword().toUtf8();
        QTest::newRow("json") << QByteArray("application/json")
                              << "{\"name\":\"admin\",\"password\":\"" +
                                     TestServer::adminPassword().toUtf8() + "\"}";
    }
    void administratorLoginRefused() {
        QFETCH(QByteArray, contentType);
        QFETCH(QByteArray, body);
        const Reply r = send("POST", QStringLiteral("/_session"), body, {}, {}, contentType);
        QCOMPARE(r.status, 403);
        for (const auto& [name, value] : r.headers)
            QVERIFY(name.compare("Set-Cookie", Qt::CaseInsensitive) != 0);
    }

    void cookieSessions() {
        // A user's own session: the user's own document, nobody else's.
        Reply login = send("POST", QStringLiteral("/_session"), "name=ann&password=pw", {}, {},
                           "application/x-www-form-urlencoded");
        QCOMPARE(login.status, 200);
        QByteArray annCookie;
        for (const auto& [name, value] : login.headers) {
            if (name.compare("Set-Cookie", Qt::CaseInsensitive) == 0)
                annCookie = value.left(value.indexOf(';'));
        }
        if (annCookie.isEmpty())
            QSKIP("The server gives no session cookie");
        QCOMPARE(
            send("GET", QStringLiteral("/_users/org.couchdb.user:ann"), {}, {}, annCookie).status,
            200);
        QCOMPARE(
            send("GET", QStringLiteral("/_users/org.couchdb.user:bob"), {}, {}, annCookie).status,
            403);
        QCOMPARE(send("GET", QStringLiteral("/trevok_user_db_ann"), {}, {}, annCookie).status, 200);
        // The right name with a session of someone else.
        QCOMPARE(send("GET", QStringLiteral("/_users/org.couchdb.user:bob"), {},
                      basic(QStringLiteral("bob"), QStringLiteral("pw")), annCookie)
                     .status,
                 403);

        // The administrator's session, taken directly from the server.
        QNetworkRequest req(QUrl(TestServer::url() + QStringLiteral("/_session")));
        req.setHeader(QNetworkRequest::ContentTypeHeader,
                      QByteArrayLiteral("application/x-www-form-urlencoded"));
        QNetworkAccessManager direct;
        QNetworkReply* reply =
            direct.post(req, "name=admin&password=" + TestServer::adminPassword().toUtf8());
        QSignalSpy done(reply, &QNetworkReply::finished);
        QVERIFY(done.wait(10000));
        QByteArray adminCookie = reply->rawHeader("Set-Cookie");
        adminCookie = adminCookie.left(adminCookie.indexOf(';'));
        reply->deleteLater();
        QVERIFY(!adminCookie.isEmpty());
        const Reply r = send("GET", QStringLiteral("/trevok_user_db_ann"), {}, {}, adminCookie);
        QCOMPARE(r.status, 403);
        // Smuggling the administrator's session behind the user's.
        QCOMPARE(send("GET", QStringLiteral("/trevok_user_db_ann"), {}, {},
                      annCookie + "; " + adminCookie)
                     .status,
                 401);
        QCOMPARE(send("GET", QStringLiteral("/_users/org.couchdb.user:admin"), {}, {}, adminCookie)
                     .status,
                 403);
    }

    void continuousFeedDeliversChangeWithinOneSecond() {
        QNetworkRequest req(listenerUrl(QStringLiteral(
            "/trevok_user_db_ann/_changes?feed=continuous&since=now&heartbeat=5000")));
        req.setRawHeader("Authorization", basic(QStringLiteral("ann"), QStringLiteral("pw")));
        // A compressed feed is held back by the server's compressor; sync
        // clients ask for the plain one.
        req.setRawHeader("Accept-Encoding", "identity");
        QNetworkReply* feed = m_manager.get(req);
        QByteArray received;
        connect(feed, &QNetworkReply::readyRead, this, [&] { received += feed->readAll(); });
        // The server sends the feed's header with its first line, so there is
        // nothing to wait for but the feed's start on the server.
        QTest::qWait(500);

        QElapsedTimer clock;
        clock.start();
        QVERIFY(TestServer::putDocument(QStringLiteral("trevok_user_db_ann"),
                                        QStringLiteral("fresh"), "{\"n\":1}"));
        QTRY_VERIFY_WITH_TIMEOUT(received.contains("\"fresh\""), 5000);
        const qint64 latency = clock.elapsed();
        qInfo("change seen through the listener after %lld ms", latency);
        QVERIFY2(latency < 1000, qPrintable(QString::number(latency)));
        QCOMPARE(feed->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), 200);
        feed->abort();
        feed->deleteLater();
    }

    void malformedRequestsDoNotHurt_data() {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QByteArray>("statusLine");
        QTest::newRow("garbage") << QByteArray("GARBAGE\r\n\r\n") << QByteArray("HTTP/1.1 400");
        QTest::newRow("bad version")
            << QByteArray("GET / HTTP/9\r\n\r\n") << QByteArray("HTTP/1.1 400");
        QTest::newRow("bad content length")
            << QByteArray("PUT /trevok_user_db_ann/x HTTP/1.1\r\nContent-Length: -3\r\n\r\n")
            << QByteArray("HTTP/1.1 400");
        QTest::newRow("absolute target")
            << QByteArray("GET http://127.0.0.1:5984/_config HTTP/1.1\r\nHost: x\r\n\r\n")
            << QByteArray("HTTP/1.1 400");
        QTest::newRow("length and chunked")
            << QByteArray("PUT /trevok_user_db_ann/x HTTP/1.1\r\nHost: x\r\nContent-Length: 4\r\n"
                          "Transfer-Encoding: chunked\r\n\r\n0\r\n\r\n")
            << QByteArray("HTTP/1.1 400");
        QTest::newRow("unknown transfer coding")
            << QByteArray("PUT /trevok_user_db_ann/x HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: "
                          "gzip\r\n\r\n")
            << QByteArray("HTTP/1.1 400");
        QTest::newRow("upgrade")
            << QByteArray("GET /trevok_user_db_ann HTTP/1.1\r\nHost: x\r\nConnection: Upgrade\r\n"
                          "Upgrade: websocket\r\n\r\n")
            << QByteArray("HTTP/1.1 400");
        QTest::newRow("oversized header")
            << QByteArray("GET / HTTP/1.1\r\nHost: x\r\nX-Filler: " +
                          QByteArray(int(listener_limits::kMaxHeaderBytes) + 1000, 'a') +
                          "\r\n\r\n")
            << QByteArray("HTTP/1.1 431");
        QTest::newRow("binary") << QByteArray("\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03", 11)
                                << QByteArray("HTTP/1.1 400");
    }
    void malformedRequestsDoNotHurt() {
        QFETCH(QByteArray, bytes);
        QFETCH(QByteArray, statusLine);
        const QByteArray answer = rawExchange(m_listener->port(), bytes);
        QVERIFY2(answer.startsWith(statusLine), answer.left(200).constData());
        QVERIFY(answer.contains("\"error\""));
        QCOMPARE(asAnn("GET", QStringLiteral("/trevok_user_db_ann")).status, 200);
    }

    void pipelinedAndChunkedRequests() {
        const QByteArray auth =
            "Authorization: " + basic(QStringLiteral("ann"), QStringLiteral("pw")) + "\r\n";
        const QByteArray bytes =
            "PUT /trevok_user_db_ann/chunked HTTP/1.1\r\nHost: x\r\n" + auth +
            "Content-Type: application/json\r\nTransfer-Encoding: chunked\r\n\r\n"
            "5\r\n{\"a\":\r\n3\r\n42}\r\n0\r\n\r\n"
            "GET /trevok_user_db_ann/chunked HTTP/1.1\r\nHost: x\r\n" +
            auth +
            "\r\n"
            "GET /_config HTTP/1.1\r\nHost: x\r\n" +
            auth + "Connection: close\r\n\r\n";
        QTcpSocket socket;
        socket.connectToHost(QStringLiteral("127.0.0.1"), m_listener->port());
        QVERIFY(socket.waitForConnected(5000));
        socket.write(bytes);
        QByteArray answer;
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < 10000 && socket.state() == QAbstractSocket::ConnectedState) {
            if (socket.waitForReadyRead(200))
                answer += socket.readAll();
        }
        answer += socket.readAll();
        // Answered in order, and the connection closed as the last one asked.
        QCOMPARE(socket.state(), QAbstractSocket::UnconnectedState);
        const qsizetype created = answer.indexOf("HTTP/1.1 201");
        const qsizetype read = answer.indexOf("HTTP/1.1 200");
        const qsizetype refused = answer.indexOf("HTTP/1.1 403");
        QVERIFY2(created >= 0 && read > created && refused > read, answer.constData());
        QVERIFY(answer.contains("\"a\":42"));
    }

    void idleConnectionIsClosed() {
        // Half a request header, then silence.
        QTcpSocket socket;
        socket.connectToHost(QStringLiteral("127.0.0.1"), m_listener->port());
        QVERIFY(socket.waitForConnected(5000));
        socket.write("GET /trevok_user_db_ann HTTP/1.1\r\nHost: x\r\n");
        QVERIFY(socket.waitForBytesWritten(1000));
        QElapsedTimer clock;
        clock.start();
        const int limitMs = int(m_listener->limits().headTimeout.count());
        QTRY_COMPARE_WITH_TIMEOUT(socket.state(), QAbstractSocket::UnconnectedState,
                                  limitMs + 5000);
        QVERIFY(clock.elapsed() >= limitMs - 1000);
    }

    void halfSentRequestsFromOneAddressLockOutNobody() {
        // 300 connections from 127.0.0.2, each with half a request head.
        const int perAddress = m_listener->limits().maxConnectionsPerAddress;
        QVERIFY(perAddress < m_listener->limits().maxConnections);
        // The suite's own kept-alive connections come from 127.0.0.1.
        const int before = m_listener->activeConnections();
        std::vector<std::unique_ptr<QTcpSocket>> stalled;
        for (int i = 0; i < 300; ++i) {
            auto s = std::make_unique<QTcpSocket>();
            QVERIFY(s->bind(QHostAddress(QStringLiteral("127.0.0.2"))));
            s->connectToHost(QStringLiteral("127.0.0.1"), m_listener->port());
            QVERIFY(s->waitForConnected(5000));
            s->write("GET /trevok_user_db_ann HTTP/1.1\r\nHost: x\r\n");
            s->flush();
            stalled.push_back(std::move(s));
        }
        QTRY_VERIFY(m_listener->activeConnections() >= perAddress);
        QVERIFY(m_listener->activeConnections() <= before + perAddress);
        // Another address is served at once, on a fresh connection.
        const QByteArray answer = rawExchange(
            m_listener->port(), "GET /trevok_user_db_ann HTTP/1.1\r\nHost: x\r\nAuthorization: " +
                                    basic(QStringLiteral("ann"), QStringLiteral("pw")) +
                                    "\r\nConnection: close\r\n\r\n");
        QVERIFY2(answer.startsWith("HTTP/1.1 200"), answer.left(200).constData());
        QCOMPARE(asAnn("GET", QStringLiteral("/trevok_user_db_ann")).status, 200);
        stalled.clear();
        QTRY_VERIFY_WITH_TIMEOUT(m_listener->activeConnections() <= before + 1, 5000);
    }

    void connectionLimits() {
        ListenerLimits limits;
        limits.maxConnections = 6;
        limits.maxConnectionsPerAddress = 3;
        SyncListener small(nullptr, QStringLiteral("127.0.0.1"), quint16(TestServer::port()));
        small.setLimits(limits);
        QVERIFY(small.start());
        const auto open = [&](const char* from) {
            auto s = std::make_unique<QTcpSocket>();
            s->bind(QHostAddress(QString::fromLatin1(from)));
            s->connectToHost(QStringLiteral("127.0.0.1"), small.port());
            s->waitForConnected(5000);
            return s;
        };
        std::vector<std::unique_ptr<QTcpSocket>> held;
        for (int i = 0; i < 3; ++i)
            held.push_back(open("127.0.0.2"));
        QTRY_COMPARE(small.activeConnections(), 3);
        // The address's share is taken: its next connection is closed at once.
        auto refusedSameAddress = open("127.0.0.2");
        QTRY_COMPARE_WITH_TIMEOUT(refusedSameAddress->state(), QAbstractSocket::UnconnectedState,
                                  5000);
        for (int i = 0; i < 3; ++i)
            held.push_back(open("127.0.0.3"));
        QTRY_COMPARE(small.activeConnections(), 6);
        // All slots are taken: a third address waits its turn.
        auto refusedTotal = open("127.0.0.4");
        QTRY_COMPARE_WITH_TIMEOUT(refusedTotal->state(), QAbstractSocket::UnconnectedState, 5000);
        held.clear();
        QTRY_COMPARE(small.activeConnections(), 0);
        auto served = open("127.0.0.4");
        served->write("GET /trevok_user_db_ann HTTP/1.1\r\nHost: x\r\nAuthorization: " +
                      basic(QStringLiteral("ann"), QStringLiteral("pw")) +
                      "\r\nConnection: close\r\n\r\n");
        QTRY_VERIFY_WITH_TIMEOUT(served->bytesAvailable() > 0 ||
                                     served->state() == QAbstractSocket::UnconnectedState,
                                 5000);
        QVERIFY(served->readAll().startsWith("HTTP/1.1 200"));
    }

    void requestBodiesAreBounded() {
        ListenerLimits limits;
        limits.maxBodyBytes = 1000;
        SyncListener small(nullptr, QStringLiteral("127.0.0.1"), quint16(TestServer::port()));
        small.setLimits(limits);
        QVERIFY(small.start());
        const QByteArray head = "PUT /trevok_user_db_ann/bounded HTTP/1.1\r\nHost: x\r\n"
                                "Content-Type: application/json\r\nAuthorization: " +
                                basic(QStringLiteral("ann"), QStringLiteral("pw")) + "\r\n";
        const QByteArray big = "{\"a\":\"" + QByteArray(1200, 'x') + "\"}";
        // Announced too large: refused before anything goes upstream.
        QByteArray answer =
            rawExchange(small.port(), head + "Content-Length: " + QByteArray::number(big.size()) +
                                          "\r\n\r\n" + big);
        QVERIFY2(answer.startsWith("HTTP/1.1 413"), answer.left(200).constData());
        QVERIFY(answer.contains("\"too_large\""));
        // Found too large on the way: the upstream never sees the end of it.
        answer = rawExchange(small.port(), head + "Transfer-Encoding: chunked\r\n\r\n" +
                                               QByteArray::number(big.size(), 16) + "\r\n" + big +
                                               "\r\n0\r\n\r\n");
        QVERIFY2(answer.startsWith("HTTP/1.1 413"), answer.left(200).constData());
        QCOMPARE(TestServer::request("GET", QStringLiteral("/trevok_user_db_ann/bounded")).status,
                 404);
        // Within the limit, as before.
        const QByteArray fits = "{\"a\":1}";
        answer =
            rawExchange(small.port(), head + "Content-Length: " + QByteArray::number(fits.size()) +
                                          "\r\nConnection: close\r\n\r\n" + fits);
        QVERIFY2(answer.startsWith("HTTP/1.1 201"), answer.left(200).constData());
    }

    void unreachableUpstreamGivesBadGateway() {
        QTcpServer placeholder;
        QVERIFY(placeholder.listen(QHostAddress::LocalHost));
        const quint16 closedPort = placeholder.serverPort();
        placeholder.close();
        SyncListener orphan(nullptr, QStringLiteral("127.0.0.1"), closedPort);
        QVERIFY(orphan.start());
        QNetworkRequest req(QUrl(QStringLiteral("http://127.0.0.1:%1/").arg(orphan.port())));
        QNetworkReply* reply = m_manager.get(req);
        QSignalSpy done(reply, &QNetworkReply::finished);
        QVERIFY(done.wait(10000));
        QCOMPARE(reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), 502);
        const QJsonObject error = QJsonDocument::fromJson(reply->readAll()).object();
        QCOMPARE(error.value(QStringLiteral("error")).toString(), QStringLiteral("bad_gateway"));
        reply->deleteLater();
    }
};

QTEST_GUILESS_MAIN(TestSyncListener)
#include "tst_sync_listener.moc"
