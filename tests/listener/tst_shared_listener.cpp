// What one account can do to the others through the sync listener they
// share, and what the listener's answers tell about what is behind it;
// against the real server and the real listener.

#include "server/SyncListener.h"
#include "server/SyncRelay.h"
#include "tests/harness/TestServer.h"

#include <QElapsedTimer>
#include <QJsonObject>
#include <QTcpSocket>
#include <QTest>

#include <functional>
#include <memory>
#include <vector>

using namespace trevok;
using trevok::test::TestServer;

namespace {

QByteArray basic(const QString& user, const QString& password) {
    return "Basic " + (user + QLatin1Char(':') + password).toUtf8().toBase64();
}

std::unique_ptr<SyncListener> startListener(const ListenerLimits& limits) {
    auto listener = std::make_unique<SyncListener>(nullptr, QStringLiteral("127.0.0.1"),
                                                   quint16(TestServer::port()));
    listener->setLimits(limits);
    if (!listener->start())
        return nullptr;
    return listener;
}

// A request on a connection of its own, its answer read up to the end of the
// head (and what came with it).
struct Exchange {
    std::unique_ptr<QTcpSocket> socket = std::make_unique<QTcpSocket>();
    QByteArray received;

    bool send(quint16 port, const QByteArray& bytes) {
        socket->connectToHost(QStringLiteral("127.0.0.1"), port);
        if (!socket->waitForConnected(5000))
            return false;
        socket->write(bytes);
        socket->flush();
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < 10000 && !received.contains("\r\n\r\n") &&
               socket->state() == QAbstractSocket::ConnectedState) {
            if (socket->waitForReadyRead(100))
                received += socket->readAll();
        }
        received += socket->readAll();
        return received.contains("\r\n\r\n");
    }
    QByteArray statusLine() const { return received.left(received.indexOf("\r\n")); }
    // The value of a header field, or a null array when absent.
    QByteArray field(const QByteArray& name) const {
        const QByteArray head = received.left(received.indexOf("\r\n\r\n"));
        for (const QByteArray& line : head.split('\n')) {
            const qsizetype colon = line.indexOf(':');
            if (colon > 0 && line.left(colon).trimmed().toLower() == name.toLower())
                return line.mid(colon + 1).trimmed();
        }
        return {};
    }
    // Waits until the listener closes the connection; the time it took, or -1.
    qint64 msUntilClosed(int timeoutMs) {
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < timeoutMs) {
            if (socket->state() != QAbstractSocket::ConnectedState)
                return clock.elapsed();
            if (socket->waitForReadyRead(50))
                received += socket->readAll();
        }
        return -1;
    }
};

QByteArray request(const QByteArray& method, const QByteArray& target, const QByteArray& auth,
                   const QByteArray& body = {},
                   const QByteArray& type = QByteArrayLiteral("application/json")) {
    QByteArray bytes = method + ' ' + target + " HTTP/1.1\r\nHost: listener.example\r\n";
    if (!auth.isEmpty())
        bytes += "Authorization: " + auth + "\r\n";
    if (!body.isEmpty() || method == "PUT" || method == "POST")
        bytes += "Content-Type: " + type +
                 "\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\n";
    return bytes + "\r\n" + body;
}

QByteArray feedRequest(const QString& user, const QString& password) {
    return request("GET",
                   "/trevok_user_db_" + user.toUtf8() +
                       "/_changes?feed=continuous&since=now&heartbeat=500",
                   basic(user, password));
}

QJsonObject userDocument(const QString& name) {
    return TestServer::getJson(QStringLiteral("/_users/org.couchdb.user:") + name).object();
}

bool putUserDocument(const QJsonObject& doc) {
    return TestServer::putDocument(QStringLiteral("_users"),
                                   doc.value(QStringLiteral("_id")).toString(),
                                   QJsonDocument(doc).toJson(QJsonDocument::Compact));
}

using AccountChange = std::function<bool(const QString& name)>;

bool changePassword(const QString& name) {
    QJsonObject doc = userDocument(name);
    doc.insert(QStringLiteral("password"), QStringLiteral("changed"));
    return putUserDocument(doc);
}

bool deleteUser(const QString& name) {
    const QString rev = userDocument(name).value(QStringLiteral("_rev")).toString();
    return TestServer::request("DELETE",
                               QStringLiteral("/_users/org.couchdb.user:%1?rev=%2").arg(name, rev))
               .status == 200;
}

// A server administrator of the same name and password: the server then
// takes the account's credentials for an administrator's.
bool makeAdministrator(const QString& name) {
    return TestServer::request("PUT", QStringLiteral("/_config/admins/") + name, "\"pw\"").status ==
           200;
}

} // namespace

Q_DECLARE_METATYPE(AccountChange)

class TestSharedListener : public QObject {
    Q_OBJECT

    TestServer m_server;
    int m_nextUser = 0;

    // A fresh account for each case: the cases end accounts.
    QString freshUser() {
        const QString name = QStringLiteral("acct%1").arg(++m_nextUser);
        return TestServer::createSyncUser(name) ? name : QString();
    }

    // A listener checking credentials every `lifetime`, and a fresh
    // account's continuous feed open through it.
    struct OpenFeed {
        std::unique_ptr<SyncListener> listener;
        QString name;
        Exchange feed;
    };
    bool openFeed(std::chrono::seconds lifetime, OpenFeed* open) {
        ListenerLimits limits;
        limits.identityLifetime = lifetime;
        open->listener = startListener(limits);
        open->name = freshUser();
        return open->listener && !open->name.isEmpty() &&
               open->feed.send(open->listener->port(),
                               feedRequest(open->name, QStringLiteral("pw"))) &&
               open->feed.statusLine().contains(" 200 ");
    }

    void changes_data() {
        QTest::addColumn<AccountChange>("change");
        QTest::newRow("password changed") << AccountChange(changePassword);
        QTest::newRow("user deleted") << AccountChange(deleteUser);
        QTest::newRow("made administrator") << AccountChange(makeAdministrator);
    }

private Q_SLOTS:
    void initTestCase() {
        QVERIFY(m_server.start());
        QVERIFY(TestServer::createSyncUser(QStringLiteral("ann")));
    }

    void cleanupTestCase() { m_server.stop(); }

    void answersNameNoInternals_data() {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QByteArray>("status");
        const QByteArray ann = basic(QStringLiteral("ann"), QStringLiteral("pw"));
        QTest::newRow("welcome") << request("GET", "/", ann) << QByteArray("200");
        QTest::newRow("a document written")
            << request("PUT", "/trevok_user_db_ann/located", ann, "{}") << QByteArray("201");
        QTest::newRow("a login with a next page")
            << request("POST", "/_session?next=/trevok_user_db_ann", {}, "name=ann&password=pw",
                       "application/x-www-form-urlencoded")
            << QByteArray("302");
        QTest::newRow("a refusal of the listener's own")
            << request("GET", "/_config", ann) << QByteArray("403");
        QTest::newRow("a refusal of the server's")
            << request("GET", "/trevok_user_db_ann/nothing", ann) << QByteArray("404");
    }
    void answersNameNoInternals() {
        QFETCH(QByteArray, bytes);
        QFETCH(QByteArray, status);
        const auto listener = startListener({});
        QVERIFY(listener);
        Exchange exchange;
        QVERIFY(exchange.send(listener->port(), bytes));
        QVERIFY2(exchange.statusLine().contains(QByteArray(" " + status + " ")),
                 exchange.received.constData());
        QCOMPARE(exchange.field("Server"), QByteArray("TrevokServer"));
        QVERIFY(exchange.field("X-Powered-By").isNull());
        const QByteArray port = QByteArray(":") + QByteArray::number(TestServer::port());
        for (const QByteArray& name : {QByteArray("Location"), QByteArray("Content-Location")}) {
            const QByteArray value = exchange.field(name);
            QVERIFY2(!value.contains(port) && !value.contains("127.0.0.1"), value.constData());
        }
        if (status == "201" || status == "302")
            QVERIFY2(exchange.field("Location").startsWith("/trevok_user_db_ann/") ||
                         exchange.field("Location") == "/trevok_user_db_ann",
                     exchange.received.constData());
    }

    // The listener's own checks at its interval: the feed ends within it
    // (and a second), although the client keeps it open.
    void feedEndsWithItsCredentials_data() { changes_data(); }
    void feedEndsWithItsCredentials() {
        QFETCH(AccountChange, change);
        OpenFeed open;
        QVERIFY2(openFeed(std::chrono::seconds(2), &open), open.feed.received.constData());
        const QString& name = open.name;
        Exchange& feed = open.feed;
        // Open past one check, which must let it be.
        QCOMPARE(feed.msUntilClosed(2500), qint64(-1));
        QVERIFY(change(name));
        const qint64 ms = feed.msUntilClosed(3000 + 500);
        QVERIFY2(ms >= 0 && ms <= 3000, qPrintable(QString::number(ms)));
        // Nor does a new one open.
        Exchange again;
        QVERIFY(again.send(open.listener->port(), feedRequest(name, QStringLiteral("pw"))));
        QVERIFY2(!again.statusLine().contains(" 200 "), again.received.constData());
    }

    // The console's own changes end the feed at once, whatever the interval.
    void consoleChangesEndFeedsAtOnce_data() { changes_data(); }
    void consoleChangesEndFeedsAtOnce() {
        QFETCH(AccountChange, change);
        OpenFeed open;
        QVERIFY2(openFeed(std::chrono::seconds(120), &open), open.feed.received.constData());
        QVERIFY(change(open.name));
        open.listener->recheckAccount(open.name);
        const qint64 ms = open.feed.msUntilClosed(2000);
        QVERIFY2(ms >= 0 && ms <= 1000, qPrintable(QString::number(ms)));
    }

    void oneAccountAtItsCapLocksOutNoOne_data() {
        QTest::addColumn<int>("perAccount");
        QTest::addColumn<int>("total");
        QTest::addColumn<int>("cap");
        QTest::newRow("its own cap") << 3 << 16 << 3;
        QTest::newRow("the total less a reserve") << 32 << 4 << 3;
    }
    void oneAccountAtItsCapLocksOutNoOne() {
        QFETCH(int, perAccount);
        QFETCH(int, total);
        QFETCH(int, cap);
        ListenerLimits limits;
        limits.maxConnectionsPerAccount = perAccount;
        limits.maxConnections = total;
        QCOMPARE(accountConnectionCap(limits), cap);
        const auto listener = startListener(limits);
        QVERIFY(listener);
        const QString hog = freshUser();
        const QString other = freshUser();
        QVERIFY(!hog.isEmpty() && !other.isEmpty());
        std::vector<std::unique_ptr<Exchange>> feeds;
        for (int i = 0; i < cap; ++i) {
            feeds.push_back(std::make_unique<Exchange>());
            QVERIFY(feeds.back()->send(listener->port(), feedRequest(hog, QStringLiteral("pw"))));
            QVERIFY2(feeds.back()->statusLine().contains(" 200 "),
                     feeds.back()->received.constData());
        }
        Exchange refused;
        QVERIFY(refused.send(listener->port(), feedRequest(hog, QStringLiteral("pw"))));
        QVERIFY2(refused.statusLine().contains(" 429 "), refused.received.constData());
        QVERIFY(refused.msUntilClosed(3000) >= 0);
        Exchange admitted;
        QVERIFY(admitted.send(listener->port(), feedRequest(other, QStringLiteral("pw"))));
        QVERIFY2(admitted.statusLine().contains(" 200 "), admitted.received.constData());
        // A slot given back is the account's again, once the listener has
        // seen the client go (at the feed's next heartbeat, later on a
        // loaded machine).
        // Each try takes a slot while it lasts, so the answer is latched: the
        // try macros evaluate their expression again after it first holds.
        feeds.pop_back();
        bool admittedAgain = false;
        const auto tryAgain = [&] {
            Exchange retry;
            admittedAgain = admittedAgain ||
                            (retry.send(listener->port(), feedRequest(hog, QStringLiteral("pw"))) &&
                             retry.statusLine().contains(" 200 "));
            return admittedAgain;
        };
        QTRY_VERIFY_WITH_TIMEOUT(tryAgain(), 20000);
    }
};

QTEST_GUILESS_MAIN(TestSharedListener)
#include "tst_shared_listener.moc"
