#include "server/ListenerCertificate.h"
#include "server/SyncListener.h"
#include "services/AdminOnlySecurity.h"
#include "services/Alerts.h"
#include "tests/harness/ConsoleFixture.h"
#include "tests/harness/ProjectActions.h"
#include "tests/harness/TestServer.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QSslSocket>
#include <QTcpSocket>
#include <QTest>

#include <memory>

using namespace trevok;
using trevok::test::ConsoleFixture;
using trevok::test::TestServer;

namespace {

// Long enough for a session check and the request behind it on a loaded
// machine; an answer later than this counts as a hang.
constexpr int kAnswerBoundMs = 15000;

struct Answer {
    bool answered = false;
    int status = 0;
    QByteArray head;
    QByteArray body;
};

// A port, and whether it speaks TLS.
struct Port {
    Port(quint16 number, bool encrypted = false)
        : number(number)
        , tls(encrypted) {}
    quint16 number;
    bool tls;
};

// One request, byte for byte as given, on a fresh connection that the
// listener closes after answering.
Answer rawRequest(Port port, const QByteArray& method, const QByteArray& target,
                  const QList<QByteArray>& headerLines, const QByteArray& body = {}) {
    QByteArray bytes = method + ' ' + target + " HTTP/1.1\r\nHost: x\r\nConnection: close\r\n";
    for (const QByteArray& line : headerLines)
        bytes += line + "\r\n";
    if (!body.isEmpty())
        bytes +=
            "Content-Type: application/json\r\nContent-Length: " + QByteArray::number(body.size()) +
            "\r\n";
    bytes += "\r\n" + body;
    QSslSocket socket;
    Answer answer;
    if (port.tls) {
        // What is said inside the connection is on trial here, not its certificate.
        socket.setPeerVerifyMode(QSslSocket::VerifyNone);
        socket.connectToHostEncrypted(QStringLiteral("127.0.0.1"), port.number);
        if (!socket.waitForEncrypted(5000))
            return answer;
    } else {
        socket.connectToHost(QStringLiteral("127.0.0.1"), port.number);
        if (!socket.waitForConnected(5000))
            return answer;
    }
    socket.write(bytes);
    QByteArray received;
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < kAnswerBoundMs && socket.state() == QAbstractSocket::ConnectedState) {
        if (socket.waitForReadyRead(100))
            received += socket.readAll();
    }
    received += socket.readAll();
    const qsizetype end = received.indexOf("\r\n\r\n");
    if (!received.startsWith("HTTP/1.1 ") || end < 0)
        return answer;
    answer.answered = socket.state() != QAbstractSocket::ConnectedState;
    answer.status = received.mid(9, 3).toInt();
    answer.head = received.left(end);
    answer.body = received.mid(end + 4);
    return answer;
}

QByteArray basicCredentials(const QString& user, const QString& password) {
    return (user + QLatin1Char(':') + password).toUtf8().toBase64();
}

QByteArray adminBasic() {
    return basicCredentials(QStringLiteral("admin"), TestServer::adminPassword());
}

// A session cookie ("AuthSession=…") straight from the server.
QByteArray sessionCookie(const QString& user, const QString& password) {
    QTcpSocket socket;
    socket.connectToHost(QStringLiteral("127.0.0.1"), quint16(TestServer::port()));
    if (!socket.waitForConnected(5000))
        return {};
    const QByteArray body =
        "name=" + QUrl::toPercentEncoding(user) + "&password=" + QUrl::toPercentEncoding(password);
    socket.write("POST /_session HTTP/1.1\r\nHost: x\r\nConnection: close\r\n"
                 "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: " +
                 QByteArray::number(body.size()) + "\r\n\r\n" + body);
    QByteArray received;
    while (socket.waitForReadyRead(5000))
        received += socket.readAll();
    for (const QByteArray& line : received.split('\n')) {
        if (line.toLower().startsWith("set-cookie:")) {
            const QByteArray value = line.mid(11).trimmed();
            return value.left(value.indexOf(';'));
        }
    }
    return {};
}

QJsonObject securityOf(const QString& database) {
    return TestServer::getJson(QLatin1Char('/') + database + QStringLiteral("/_security")).object();
}

// Requests through the listener that succeed only for the administrator.
struct AdminOnlyProbe {
    QByteArray method;
    QByteArray target;
    QByteArray body;
};

const QList<AdminOnlyProbe>& adminOnlyProbes() {
    static const QList<AdminOnlyProbe> probes = {
        // In ann's own database, only the administrator writes a design
        // document or the security object (ann's own security object again,
        // so that a success would change nothing but the answer).
        {"PUT", "/trevok_user_db_ann/_design/planted", R"({"views":{}})"},
        {"PUT", "/trevok_user_db_ann/_security",
         R"({"admins":{"names":[],"roles":[]},"readers":{"names":["ann"],"roles":[]}})"},
        {"GET", "/_session", {}},
    };
    return probes;
}

// Whether the listener let the administrator through with this answer.
bool administratorPassed(const AdminOnlyProbe& probe, const Answer& answer) {
    if (probe.target == "/_session")
        return answer.status == 200 && answer.body.contains("_admin");
    return answer.status / 100 == 2;
}

} // namespace

class TestSecurity : public QObject {
    Q_OBJECT

    TestServer m_server;
    std::unique_ptr<SyncListener> m_listener;
    QByteArray m_adminCookie;
    QByteArray m_annCookie;

    // The port of the current run: every case goes through both listeners.
    Port port() const {
        QFETCH_GLOBAL(bool, tls);
        return tls ? Port(m_listener->tlsPort(), true) : Port(m_listener->port());
    }

    // Sends every probe with the given credential lines; fails the test when
    // one of them passes as the administrator or gets no answer.
    void probeAsAdministrator(const QList<QByteArray>& lines, const QByteArray& label) {
        for (const AdminOnlyProbe& probe : adminOnlyProbes()) {
            const Answer answer = rawRequest(port(), probe.method, probe.target, lines, probe.body);
            QVERIFY2(answer.answered,
                     QByteArray(label + " got no answer on " + probe.target).constData());
            QVERIFY2(!administratorPassed(probe, answer),
                     QByteArray(label + " passed as the administrator: " + probe.method + ' ' +
                                probe.target + " -> " + answer.head.left(12) + ' ' +
                                answer.body.left(200))
                         .constData());
        }
    }

private Q_SLOTS:
    void initTestCase_data() {
        QTest::addColumn<bool>("tls");
        QTest::newRow("plain") << false;
        QTest::newRow("tls") << true;
    }

    void initTestCase() {
        QVERIFY(m_server.start());
        QVERIFY(TestServer::createSyncUser(QStringLiteral("ann")));
        QVERIFY(TestServer::createSyncUser(QStringLiteral("bob")));
        m_listener = std::make_unique<SyncListener>(nullptr, QStringLiteral("127.0.0.1"),
                                                    quint16(TestServer::port()));
        QString why;
        const auto certificate = makeSelfSignedCertificate(QStringLiteral("security"), {}, 1, &why);
        QVERIFY2(certificate, qPrintable(why));
        m_listener->setCertificate(*certificate);
        QVERIFY(m_listener->start());
        QVERIFY(m_listener->tlsPort() != 0);
        m_adminCookie = sessionCookie(QStringLiteral("admin"), TestServer::adminPassword());
        m_annCookie = sessionCookie(QStringLiteral("ann"), QStringLiteral("pw"));
        QVERIFY(m_adminCookie.startsWith("AuthSession="));
        QVERIFY(m_annCookie.startsWith("AuthSession="));
    }

    void cleanupTestCase() {
        // Nothing the probes tried was planted.
        QCOMPARE(TestServer::request("GET", QStringLiteral("/trevok_user_db_ann/_design/planted"))
                     .status,
                 404);
        m_listener.reset();
        m_server.stop();
    }

    void theProbesReachTheServer() {
        // The probes are meaningful: sent straight to the server, each of
        // them succeeds for the administrator and fails for ann.
        const QByteArray annBasic =
            "Authorization: Basic " + basicCredentials(QStringLiteral("ann"), QStringLiteral("pw"));
        for (const AdminOnlyProbe& probe : adminOnlyProbes()) {
            const Answer asAnn = rawRequest(quint16(TestServer::port()), probe.method, probe.target,
                                            {annBasic}, probe.body);
            QVERIFY2(!administratorPassed(probe, asAnn), probe.target.constData());
            const Answer asAdmin =
                rawRequest(quint16(TestServer::port()), probe.method, probe.target,
                           {"Authorization: Basic " + adminBasic()}, probe.body);
            QVERIFY2(administratorPassed(probe, asAdmin), probe.target.constData());
        }
        const QString rev =
            TestServer::getJson(QStringLiteral("/trevok_user_db_ann/_design/planted"))
                .object()
                .value(QStringLiteral("_rev"))
                .toString();
        QCOMPARE(TestServer::request(
                     "DELETE", QStringLiteral("/trevok_user_db_ann/_design/planted?rev=") + rev)
                     .status,
                 200);
        // ... and ann gets her own things through the listener.
        const QList<QByteArray> ann = {
            "Authorization: Basic " +
            basicCredentials(QStringLiteral("ann"), QStringLiteral("pw"))};
        QCOMPARE(rawRequest(port(), "GET", "/trevok_user_db_ann/_all_docs", ann).status, 200);
        QCOMPARE(
            rawRequest(port(), "GET", "/trevok_user_db_ann/_all_docs", {"Cookie: " + m_annCookie})
                .status,
            200);
    }

    void administratorCredentialsInDisguise_data() {
        QTest::addColumn<QList<QByteArray>>("lines");
        // Whether the listener itself refuses the request: with a session of
        // ann's beside it, the server reads the administrator's Basic
        // credentials as ann (the session wins), and ann is let through.
        QTest::addColumn<bool>("refused");
        const QByteArray b64 = adminBasic();
        for (const char stray : {'.', '=', '-', '~', '_', '+', '/'}) {
            QTest::addRow("basic, trailing %c", stray)
                << QList<QByteArray>{"Authorization: Basic " + b64 + stray} << true;
            QByteArray inside = b64;
            inside.insert(4, stray);
            QTest::addRow("basic, %c inside", stray)
                << QList<QByteArray>{"Authorization: Basic " + inside} << true;
        }
        QByteArray unpadded = b64;
        while (unpadded.endsWith('='))
            unpadded.chop(1);
        QTest::newRow("basic, unpadded")
            << QList<QByteArray>{"Authorization: Basic " + unpadded} << true;
        QTest::newRow("basic, url alphabet")
            << QList<QByteArray>{"Authorization: Basic " +
                                 QByteArray(b64).replace('+', '-').replace('/', '_')}
            << true;
        for (const QByteArray scheme : {"basic", "BASIC", "bAsIc"})
            QTest::addRow("scheme %s", scheme.constData())
                << QList<QByteArray>{"Authorization: " + scheme + ' ' + b64} << true;
        QTest::newRow("two blanks") << QList<QByteArray>{"Authorization: Basic  " + b64} << true;
        QTest::newRow("tab") << QList<QByteArray>{"Authorization: Basic\t" + b64} << true;
        QTest::newRow("trailing blank")
            << QList<QByteArray>{"Authorization: Basic " + b64 + "  "} << true;
        QTest::newRow("field name case")
            << QList<QByteArray>{"aUTHORIZATION: Basic " + b64} << true;
        const QByteArray ann =
            "Authorization: Basic " + basicCredentials(QStringLiteral("ann"), QStringLiteral("pw"));
        QTest::newRow("duplicate authorization, admin first")
            << QList<QByteArray>{"Authorization: Basic " + b64, ann} << true;
        QTest::newRow("duplicate authorization, admin last")
            << QList<QByteArray>{ann, "Authorization: Basic " + b64} << true;
        QTest::newRow("duplicate authorization, other case")
            << QList<QByteArray>{ann, "authorization: Basic " + b64} << true;

        const QByteArray session = m_adminCookie.mid(int(qstrlen("AuthSession=")));
        QTest::newRow("cookie") << QList<QByteArray>{"Cookie: " + m_adminCookie} << true;
        QTest::newRow("cookie, blank before =")
            << QList<QByteArray>{"Cookie: AuthSession =" + session} << true;
        QTest::newRow("cookie, tab before =")
            << QList<QByteArray>{"Cookie: AuthSession\t=" + session} << true;
        QTest::newRow("cookie, blank after =")
            << QList<QByteArray>{"Cookie: AuthSession= " + session} << true;
        QTest::newRow("cookie, quoted")
            << QList<QByteArray>{"Cookie: AuthSession=\"" + session + '"'} << true;
        QTest::newRow("cookie, lower-case name")
            << QList<QByteArray>{"Cookie: authsession=" + session} << true;
        QTest::newRow("cookie behind the user's")
            << QList<QByteArray>{"Cookie: " + m_annCookie + "; " + m_adminCookie} << true;
        QTest::newRow("cookie before the user's")
            << QList<QByteArray>{"Cookie: " + m_adminCookie + "; " + m_annCookie} << true;
        QTest::newRow("two cookie fields")
            << QList<QByteArray>{"Cookie: " + m_annCookie, "Cookie: " + m_adminCookie} << true;
        QTest::newRow("cookie with the user's basic")
            << QList<QByteArray>{ann, "Cookie: " + m_adminCookie} << true;
        QTest::newRow("basic with the user's cookie")
            << QList<QByteArray>{"Authorization: Basic " + b64, "Cookie: " + m_annCookie} << false;
        QTest::newRow("cookie among others")
            << QList<QByteArray>{"Cookie: theme=dark; " + m_adminCookie + "; x=1"} << true;
    }
    void administratorCredentialsInDisguise() {
        QFETCH(QList<QByteArray>, lines);
        QFETCH(bool, refused);
        probeAsAdministrator(lines, QTest::currentDataTag());
        if (!refused)
            return;
        // And the answer is the listener's refusal.
        const Answer answer = rawRequest(port(), "GET", "/trevok_user_db_ann/_all_docs", lines);
        QVERIFY2(answer.status == 400 || answer.status == 401 || answer.status == 403,
                 answer.head.constData());
        QVERIFY(QJsonDocument::fromJson(answer.body).object().contains(QStringLiteral("error")));
    }

    void administratorLoginRefused_data() {
        QTest::addColumn<QByteArray>("contentType");
        QTest::addColumn<QByteArray>("body");
        const QByteArray pw = QUrl::toPercentEncoding(TestServer::adminPassword());
        QTest::newRow("form") << QByteArray("application/x-www-form-urlencoded")
                              << "name=admin&password=" + pw;
        QTest::newRow("form, encoded name")
            << QByteArray("application/x-www-form-urlencoded") << "name=%61dmin&password=" + pw;
        QTest::newRow("json") << QByteArray("application/json")
                              << "{\"name\":\"admin\",\"password\":\"" +
                                     TestServer::adminPassword().toUtf8() + "\"}";
        QTest::newRow("json, escaped name") << QByteArray("application/json")
                                            << "{\"name\":\"\\u0061dmin\",\"password\":\"" +
                                                   TestServer::adminPassword().toUtf8() + "\"}";
        QTest::newRow("json, name twice")
            << QByteArray("application/json")
            << "{\"name\":\"ann\",\"name\":\"admin\",\"password\":\"" +
                   TestServer::adminPassword().toUtf8() + "\"}";
    }
    void administratorLoginRefused() {
        QFETCH(QByteArray, contentType);
        QFETCH(QByteArray, body);
        const Answer answer =
            rawRequest(port(), "POST", "/_session", {"Content-Type: " + contentType}, body);
        QVERIFY(answer.answered);
        QVERIFY2(answer.status / 100 == 4, answer.head.constData());
        QVERIFY(!answer.head.toLower().contains("set-cookie: authsession="));
        // A user's login still works, and hands out the user's own session.
        const Answer ann =
            rawRequest(port(), "POST", "/_session",
                       {"Content-Type: application/x-www-form-urlencoded"}, "name=ann&password=pw");
        QCOMPARE(ann.status, 200);
        QVERIFY(ann.head.contains("AuthSession="));
    }

    void aUserReachesOnlyHisOwnThings_data() {
        QTest::addColumn<QByteArray>("method");
        QTest::addColumn<QByteArray>("target");
        QTest::addColumn<QByteArray>("body");
        QTest::newRow("other's db")
            << QByteArray("GET") << QByteArray("/trevok_user_db_bob") << QByteArray();
        QTest::newRow("other's docs")
            << QByteArray("GET") << QByteArray("/trevok_user_db_bob/_all_docs") << QByteArray();
        QTest::newRow("write into other's db")
            << QByteArray("PUT") << QByteArray("/trevok_user_db_bob/intruder") << QByteArray("{}");
        QTest::newRow("other's changes")
            << QByteArray("GET") << QByteArray("/trevok_user_db_bob/_changes") << QByteArray();
        QTest::newRow("other's user doc")
            << QByteArray("GET") << QByteArray("/_users/org.couchdb.user:bob") << QByteArray();
        QTest::newRow("rewrite other's user doc")
            << QByteArray("PUT") << QByteArray("/_users/org.couchdb.user:bob")
            << QByteArray(R"({"name":"bob","type":"user","roles":[],"password":"x"})");
        QTest::newRow("admin's user doc")
            << QByteArray("GET") << QByteArray("/_users/org.couchdb.user:admin") << QByteArray();
        QTest::newRow("users list")
            << QByteArray("GET") << QByteArray("/_users/_all_docs") << QByteArray();
        QTest::newRow("master") << QByteArray("GET") << QByteArray("/trevok_master")
                                << QByteArray();
        QTest::newRow("master docs")
            << QByteArray("GET") << QByteArray("/trevok_master/_all_docs") << QByteArray();
        QTest::newRow("project db")
            << QByteArray("GET") << QByteArray("/trevok_project_x/_all_docs") << QByteArray();
        QTest::newRow("archive db")
            << QByteArray("GET") << QByteArray("/archived_trevok_project_x") << QByteArray();
        QTest::newRow("replicator")
            << QByteArray("GET") << QByteArray("/_replicator/_all_docs") << QByteArray();
        QTest::newRow("replicator write")
            << QByteArray("POST") << QByteArray("/_replicator")
            << QByteArray(R"({"source":"trevok_user_db_bob","target":"trevok_user_db_ann"})");
        QTest::newRow("replicate")
            << QByteArray("POST") << QByteArray("/_replicate")
            << QByteArray(R"({"source":"_users","target":"trevok_user_db_ann"})");
        QTest::newRow("all dbs") << QByteArray("GET") << QByteArray("/_all_dbs") << QByteArray();
        QTest::newRow("all dbs, encoded")
            << QByteArray("GET") << QByteArray("/%5Fall%5Fdbs") << QByteArray();
        QTest::newRow("config") << QByteArray("GET") << QByteArray("/_config") << QByteArray();
        QTest::newRow("active tasks")
            << QByteArray("GET") << QByteArray("/_active_tasks") << QByteArray();
        QTest::newRow("own security")
            << QByteArray("PUT") << QByteArray("/trevok_user_db_ann/_security")
            << QByteArray(R"({"admins":{"names":["ann"]}})");
        QTest::newRow("own design doc")
            << QByteArray("PUT") << QByteArray("/trevok_user_db_ann/_design/planted")
            << QByteArray(R"({"views":{}})");
        QTest::newRow("delete own db")
            << QByteArray("DELETE") << QByteArray("/trevok_user_db_ann") << QByteArray();
        QTest::newRow("prefix look-alike")
            << QByteArray("GET") << QByteArray("/trevok_user_db_an") << QByteArray();
        QTest::newRow("own name as prefix")
            << QByteArray("GET") << QByteArray("/trevok_user_db_annb") << QByteArray();
        QTest::newRow("encoded slash")
            << QByteArray("GET") << QByteArray("/trevok_user_db_ann%2F..%2Ftrevok_user_db_bob")
            << QByteArray();
        QTest::newRow("dot dot") << QByteArray("GET")
                                 << QByteArray("/trevok_user_db_ann/../trevok_user_db_bob")
                                 << QByteArray();
        QTest::newRow("encoded dot dot")
            << QByteArray("GET") << QByteArray("/trevok_user_db_ann/%2e%2e/trevok_user_db_bob")
            << QByteArray();
        QTest::newRow("double encoding")
            << QByteArray("GET") << QByteArray("/trevok_user_db_ann%252F..%252Ftrevok_user_db_bob")
            << QByteArray();
        QTest::newRow("double slash")
            << QByteArray("GET") << QByteArray("//trevok_user_db_bob") << QByteArray();
        QTest::newRow("backslash")
            << QByteArray("GET") << QByteArray("/trevok_user_db_ann\\..\\trevok_user_db_bob")
            << QByteArray();
        QTest::newRow("nul") << QByteArray("GET") << QByteArray("/trevok_user_db_ann%00/../_config")
                             << QByteArray();
        QTest::newRow("trailing dot")
            << QByteArray("GET") << QByteArray("/trevok_user_db_bob.") << QByteArray();
        QTest::newRow("upper case")
            << QByteArray("GET") << QByteArray("/TREVOK_USER_DB_BOB") << QByteArray();
        QTest::newRow("absolute form")
            << QByteArray("GET") << QByteArray("http://127.0.0.1:5984/trevok_user_db_bob")
            << QByteArray();
        QTest::newRow("own user doc, other by encoding")
            << QByteArray("GET") << QByteArray("/_users/org.couchdb.user%3Abob") << QByteArray();
        QTest::newRow("user doc, other by case")
            << QByteArray("GET") << QByteArray("/_users/org.couchdb.user:Ann") << QByteArray();
    }
    void aUserReachesOnlyHisOwnThings() {
        QFETCH(QByteArray, method);
        QFETCH(QByteArray, target);
        QFETCH(QByteArray, body);
        const QByteArray basic =
            "Authorization: Basic " + basicCredentials(QStringLiteral("ann"), QStringLiteral("pw"));
        for (const QList<QByteArray>& lines :
             {QList<QByteArray>{basic}, QList<QByteArray>{"Cookie: " + m_annCookie}}) {
            const Answer answer = rawRequest(port(), method, target, lines, body);
            QVERIFY2(answer.answered, "no answer");
            QVERIFY2(answer.status / 100 == 4,
                     QByteArray(answer.head.left(40) + ' ' + answer.body.left(200)).constData());
        }
        // Nothing of it happened on the server.
        QCOMPARE(TestServer::request("GET", QStringLiteral("/trevok_user_db_bob/intruder")).status,
                 404);
        QCOMPARE(TestServer::request("GET", QStringLiteral("/trevok_user_db_ann")).status, 200);
        QCOMPARE(TestServer::getJson(QStringLiteral("/_users/org.couchdb.user:bob"))
                     .object()
                     .contains(QStringLiteral("password")),
                 false);
    }

    void credentialsTheServerRefuses_data() {
        QTest::addColumn<QList<QByteArray>>("lines");
        QTest::newRow("wrong password")
            << QList<QByteArray>{"Authorization: Basic " +
                                 basicCredentials(QStringLiteral("ann"), QStringLiteral("no"))};
        QTest::newRow("unknown user")
            << QList<QByteArray>{"Authorization: Basic " +
                                 basicCredentials(QStringLiteral("zed"), QStringLiteral("pw"))};
        QTest::newRow("not base64") << QList<QByteArray>{"Authorization: Basic ????"};
        QTest::newRow("bearer") << QList<QByteArray>{"Authorization: Bearer abc"};
        QTest::newRow("forged cookie")
            << QList<QByteArray>{"Cookie: AuthSession=YWRtaW46NjU0MzIxOmZvcmdlZA"};
    }
    void credentialsTheServerRefuses() {
        QFETCH(QList<QByteArray>, lines);
        const Answer answer = rawRequest(port(), "GET", "/trevok_user_db_ann", lines);
        QVERIFY(answer.answered);
        QVERIFY2(answer.status == 401 || answer.status == 403, answer.head.constData());
        QVERIFY(!QJsonDocument::fromJson(answer.body)
                     .object()
                     .value(QStringLiteral("reason"))
                     .toString()
                     .isEmpty());
    }

    void anonymousCallersReachOnlyTheOpenRoutes() {
        QCOMPARE(rawRequest(port(), "GET", "/_uuids", {}).status / 100, 4); // the server's own rule
        for (const QByteArray target : {"/trevok_user_db_ann", "/_users/org.couchdb.user:ann",
                                        "/trevok_master", "/_all_dbs"}) {
            const Answer answer = rawRequest(port(), "GET", target, {});
            QVERIFY2(answer.status == 401 || answer.status == 403, target.constData());
        }
    }

    // Random damage to the administrator's real credentials: nothing of it
    // may ever pass as the administrator, and every request is answered.
    void fuzzedAdministratorCredentials() {
        QRandomGenerator random(20261208);
        const QByteArray b64 = adminBasic();
        const QByteArray session = m_adminCookie.mid(int(qstrlen("AuthSession=")));
        const QByteArray blanks[] = {" ", "\t", "  ", "\v", "\f"};
        const auto randomCase = [&](QByteArray text) {
            for (char& c : text)
                if (random.bounded(2))
                    c = char(std::isupper(uchar(c)) ? std::tolower(uchar(c))
                                                    : std::toupper(uchar(c)));
            return text;
        };
        const auto damage = [&](QByteArray text) {
            const int edits = 1 + int(random.bounded(3));
            for (int i = 0; i < edits; ++i) {
                const int at = int(random.bounded(text.size() + 1));
                switch (random.bounded(5)) {
                case 0: // a character the server's decoder might skip
                    text.insert(at, ".=-~_+/"[random.bounded(7)]);
                    break;
                case 1:
                    text.insert(at, blanks[random.bounded(5)]);
                    break;
                case 2: // any byte but the ones that end the line
                {
                    char byte = char(1 + random.bounded(255));
                    if (byte == '\r' || byte == '\n')
                        byte = '%';
                    text.insert(at, byte);
                    break;
                }
                case 3:
                    text.append(QByteArray(int(random.bounded(4)), '='));
                    break;
                default:
                    if (!text.isEmpty())
                        text.remove(int(random.bounded(text.size())), 1);
                }
            }
            return text;
        };
        constexpr int kRounds = 300;
        for (int round = 0; round < kRounds; ++round) {
            QList<QByteArray> lines;
            switch (random.bounded(4)) {
            case 0:
                lines = {randomCase("Authorization") + ": " + randomCase("Basic") +
                         blanks[random.bounded(2) ? 0 : random.bounded(5)] + damage(b64)};
                break;
            case 1:
                lines = {"Cookie: " + damage(randomCase("AuthSession") +
                                             (random.bounded(2) ? QByteArray("=")
                                                                : blanks[random.bounded(5)] + '=') +
                                             session)};
                break;
            case 2:
                lines = {"Cookie: " + damage(m_annCookie + "; " + m_adminCookie)};
                break;
            default:
                lines = {"Authorization: Basic " + damage(b64), "Cookie: " + damage(m_adminCookie)};
            }
            const QByteArray label = "round " + QByteArray::number(round) + " (" +
                                     lines.join(" | ").toPercentEncoding(" :=;|") + ")";
            probeAsAdministrator(lines, label);
            if (QTest::currentTestFailed())
                return;
        }
    }

    // The console's own databases admit the administrator only, and the
    // console and the server's replications keep working with them.
    void consoleDatabasesAdmitTheAdministratorOnly() {
        QFETCH_GLOBAL(bool, tls);
        if (tls)
            QSKIP("the console's own databases are not reached through the listener");
        ConsoleFixture::clearUserDefaults();
        alerts_for_testing::shownFailures().clear();
        // An installation from before the rule: master and project databases
        // without security objects.
        QVERIFY(TestServer::createDatabase(QStringLiteral("trevok_master")));
        QVERIFY(TestServer::createDatabase(QStringLiteral("trevok_project_old")));
        QVERIFY(TestServer::createDatabase(QStringLiteral("archived_trevok_project_older")));
        const auto annReads = [](const QString& database) {
            return TestServer::request("GET",
                                       QLatin1Char('/') + database + QStringLiteral("/_all_docs"),
                                       {}, QStringLiteral("ann"), QStringLiteral("pw"))
                .status;
        };
        // Unsecured, they are already the administrator's on the server's
        // own default; the console then writes their security objects.
        QCOMPARE(annReads(QStringLiteral("trevok_project_old")), 403);

        ConsoleFixture console;
        console.startUp();
        QVERIFY(console.logIn());
        for (const QString& db :
             {QStringLiteral("trevok_master"), QStringLiteral("trevok_project_old"),
              QStringLiteral("archived_trevok_project_older")}) {
            QCOMPARE(securityOf(db), adminOnlySecurity());
            QCOMPARE(annReads(db), 403);
        }
        QVERIFY(alerts_for_testing::shownFailures().isEmpty());

        // A new project's database, and its record reaching the master database
        // (and so the projects table) through the server's replications.
        const QString id = test::createListedProject(console.app(), QStringLiteral("Sec Test"));
        QVERIFY(!id.isEmpty());
        QCOMPARE(securityOf(QStringLiteral("trevok_project_sectest")), adminOnlySecurity());
        QCOMPARE(annReads(QStringLiteral("trevok_project_sectest")), 403);
        QCOMPARE(TestServer::request("GET", QStringLiteral("/trevok_master/_all_docs"), {},
                                     QStringLiteral("bob"), QStringLiteral("pw"))
                     .status,
                 403);

        // Its archive: the copy completes, and the archive admits the administrator only.
        QVERIFY(test::selectProject(console.app(), id));
        alerts_for_testing::answerNextAlerts(1);
        console.app().archiveProject();
        QCOMPARE(securityOf(QStringLiteral("archived_trevok_project_sectest")),
                 adminOnlySecurity());
        QCOMPARE(annReads(QStringLiteral("archived_trevok_project_sectest")), 403);
        QTRY_VERIFY_WITH_TIMEOUT(
            TestServer::getJson(QStringLiteral("/archived_trevok_project_sectest/") + id)
                .object()
                .value(QStringLiteral("archived"))
                .toBool(),
            30000);
        QVERIFY2(alerts_for_testing::shownFailures().isEmpty(),
                 qPrintable(alerts_for_testing::shownFailures().join(QLatin1Char('\n'))));
    }
};

QTEST_MAIN(TestSecurity)
#include "tst_security.moc"
