// The sync listener's cost: the same document reads through the plain and the
// TLS listener and straight from the server, with a client that keeps its
// connection and with one that connects anew for every request, and the
// latency of one change on a continuous feed. Prints its figures; not a test.
#include "server/ListenerCertificate.h"
#include "server/SyncListener.h"
#include "tests/harness/TestServer.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSslConfiguration>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <vector>

using namespace trevok;
using trevok::test::TestServer;

namespace {

constexpr int kDocuments = 2000;
constexpr int kWarmUpReads = 100;
constexpr int kBlock = 100;
constexpr int kFeedRounds = 5;
const QString kDatabase = QStringLiteral("trevok_user_db_bench");
const QByteArray kAuthorization = "Basic " + QByteArray("bench:pw").toBase64();

bool waitFor(QNetworkReply* reply, int timeoutMs = 30000) {
    QEventLoop loop;
    QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
    if (!reply->isFinished())
        loop.exec();
    return reply->isFinished();
}

// How a client proves who it is on every request: its Basic credentials, or
// the session cookie of one login.
struct Credential {
    QByteArray field;
    QByteArray value;
};
const Credential kBasic{"Authorization", kAuthorization};

// Where the reads go, and how the client connects.
struct Way {
    quint16 port = 0;
    bool tls = false;
    // A new connection (and, with TLS, a new handshake) for every request.
    bool reconnect = false;
};

QNetworkRequest request(const Way& way, const QString& path,
                        const Credential& credential = kBasic) {
    QNetworkRequest req(QUrl(QStringLiteral("%1://127.0.0.1:%2%3")
                                 .arg(way.tls ? QStringLiteral("https") : QStringLiteral("http"))
                                 .arg(way.port)
                                 .arg(path)));
    if (way.tls) {
        // The certificate is the bench's own; what is measured is the cost
        // of the encryption, not of its verification.
        QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
        tls.setPeerVerifyMode(QSslSocket::VerifyNone);
        req.setSslConfiguration(tls);
    }
    if (way.reconnect)
        req.setRawHeader("Connection", "close");
    if (!credential.field.isEmpty())
        req.setRawHeader(credential.field, credential.value);
    req.setAttribute(QNetworkRequest::CookieLoadControlAttribute, QNetworkRequest::Manual);
    req.setAttribute(QNetworkRequest::CookieSaveControlAttribute, QNetworkRequest::Manual);
    return req;
}

// The session cookie of a login on that port.
Credential sessionCookie(QNetworkAccessManager& manager, const Way& way) {
    QNetworkRequest req = request(way, QStringLiteral("/_session"), {});
    req.setHeader(QNetworkRequest::ContentTypeHeader,
                  QByteArrayLiteral("application/x-www-form-urlencoded"));
    req.setAttribute(QNetworkRequest::CookieSaveControlAttribute, QNetworkRequest::Manual);
    QNetworkReply* reply = manager.post(req, "name=bench&password=pw");
    waitFor(reply);
    QByteArray cookie = reply->rawHeader("Set-Cookie");
    reply->deleteLater();
    return {"Cookie", cookie.left(cookie.indexOf(';'))};
}

// Reads the documents one after another, as a client replaying a database does.
double readAll(QNetworkAccessManager& manager, const Way& way, int first, int count, int* failures,
               const Credential& credential = kBasic) {
    QElapsedTimer clock;
    clock.start();
    for (int i = 0; i < count; ++i) {
        QNetworkReply* reply = manager.get(
            request(way, QStringLiteral("/%1/doc%2").arg(kDatabase).arg((first + i) % kDocuments),
                    credential));
        if (!waitFor(reply) ||
            reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt() != 200)
            ++*failures;
        reply->readAll();
        reply->deleteLater();
    }
    return clock.nsecsElapsed() / 1e9;
}

// Milliseconds from a write on the server to its line on a continuous feed.
double changeLatency(QNetworkAccessManager& manager, quint16 port, int round) {
    QNetworkRequest req = request(
        Way{port},
        QStringLiteral("/%1/_changes?feed=continuous&since=now&heartbeat=10000").arg(kDatabase));
    req.setRawHeader("Accept-Encoding", "identity");
    QNetworkReply* feed = manager.get(req);
    QByteArray received;
    QObject::connect(feed, &QNetworkReply::readyRead, feed, [&] { received += feed->readAll(); });
    QEventLoop settle;
    QTimer::singleShot(500, &settle, &QEventLoop::quit);
    settle.exec();

    const QString id = QStringLiteral("change-%1-%2").arg(port).arg(round);
    QElapsedTimer clock;
    clock.start();
    TestServer::putDocument(kDatabase, id, "{}");
    while (!received.contains(id.toUtf8()) && clock.elapsed() < 10000)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 10);
    const double ms = received.contains(id.toUtf8()) ? clock.nsecsElapsed() / 1e6 : -1;
    feed->abort();
    feed->deleteLater();
    return ms;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? -1 : values[values.size() / 2];
}

bool prepare() {
    const QByteArray user = R"({"name":"bench","password":"pw","roles":[],"type":"user"})";
    if (!TestServer::putDocument(QStringLiteral("_users"), QStringLiteral("org.couchdb.user:bench"),
                                 user) ||
        !TestServer::createDatabase(kDatabase))
        return false;
    const QByteArray security =
        R"({"admins":{"names":[],"roles":[]},"readers":{"names":["bench"],"roles":[]}})";
    if (TestServer::request("PUT", QLatin1Char('/') + kDatabase + QStringLiteral("/_security"),
                            security)
            .status != 200)
        return false;
    QJsonArray docs;
    for (int i = 0; i < kDocuments; ++i) {
        docs.append(QJsonObject{{QStringLiteral("_id"), QStringLiteral("doc%1").arg(i)},
                                {QStringLiteral("title"), QStringLiteral("Document %1").arg(i)},
                                {QStringLiteral("body"), QString(200, QLatin1Char('x'))}});
    }
    const QByteArray bulk = QJsonDocument(QJsonObject{{QStringLiteral("docs"), docs}}).toJson();
    return TestServer::request("POST", QLatin1Char('/') + kDatabase + QStringLiteral("/_bulk_docs"),
                               bulk)
               .status == 201;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    TestServer server;
    if (!server.start()) {
        std::fprintf(stderr, "bench_listener: the bundled server did not start\n");
        return 1;
    }
    if (!prepare()) {
        std::fprintf(stderr, "bench_listener: cannot prepare the bench database\n");
        return 1;
    }
    SyncListener listener(nullptr, QStringLiteral("127.0.0.1"), quint16(TestServer::port()));
    QString why;
    const auto certificate =
        makeSelfSignedCertificate(QStringLiteral("bench"), {QStringLiteral("localhost")}, 1, &why);
    if (!certificate) {
        std::fprintf(stderr, "bench_listener: %s\n", qUtf8Printable(why));
        return 1;
    }
    listener.setCertificate(*certificate);
    if (!listener.start() || !listener.tlsPort())
        return 1;
    const quint16 direct = quint16(TestServer::port());
    const quint16 relayed = listener.port();
    // Keep-alive clients, then clients that connect for every request.
    const Way ways[] = {{direct},
                        {relayed},
                        {listener.tlsPort(), true},
                        {direct, false, true},
                        {relayed, false, true},
                        {listener.tlsPort(), true, true}};
    constexpr int kKeepAliveWays = 3;
    constexpr int kWays = int(std::size(ways));

    QNetworkAccessManager manager;
    int failures = 0;
    Credential cookies[kKeepAliveWays];
    for (int w = 0; w < kKeepAliveWays; ++w) {
        cookies[w] = sessionCookie(manager, ways[w]);
        if (cookies[w].value.isEmpty()) {
            std::fprintf(stderr, "bench_listener: no session cookie\n");
            return 1;
        }
    }
    for (int w = 0; w < kWays; ++w) {
        readAll(manager, ways[w], 0, kWarmUpReads, &failures);
        if (w < kKeepAliveWays)
            readAll(manager, ways[w], 0, kWarmUpReads, &failures, cookies[w]);
    }
    // The ways alternate in blocks, so that a change of the machine's load
    // during the run weighs on all alike.
    double basicTime[kWays] = {};
    double cookieTime[kKeepAliveWays] = {};
    for (int done = 0; done < kDocuments; done += kBlock) {
        for (int w = 0; w < kWays; ++w) {
            basicTime[w] += readAll(manager, ways[w], done, kBlock, &failures);
            if (w < kKeepAliveWays)
                cookieTime[w] += readAll(manager, ways[w], done, kBlock, &failures, cookies[w]);
        }
    }

    std::vector<double> directLatency, relayedLatency;
    for (int round = 0; round < kFeedRounds; ++round) {
        directLatency.push_back(changeLatency(manager, direct, round));
        relayedLatency.push_back(changeLatency(manager, relayed, round));
    }

    // The goals are for kept-alive clients; a reconnecting one pays for its
    // connections, which the figures show.
    const auto report = [&](const char* how, const double* seconds, bool keptAlive) {
        const char* plainGoal = keptAlive ? " (goal: at most 1.2)" : "";
        const char* tlsGoal = keptAlive ? " (goal: at most 1.3)" : "";
        std::printf("document reads: %d, one at a time, %s\n", kDocuments, how);
        const char* names[] = {"direct      ", "listener    ", "TLS listener"};
        const quint16 ports[] = {direct, relayed, listener.tlsPort()};
        for (int w = 0; w < 3; ++w)
            std::printf("  %s (port %u): %.3f s  (%.3f ms per read)\n", names[w],
                        unsigned(ports[w]), seconds[w], seconds[w] * 1000 / kDocuments);
        std::printf("  ratio listener/direct: %.3f%s\n", seconds[1] / seconds[0], plainGoal);
        std::printf("  ratio TLS listener/direct: %.3f%s\n", seconds[2] / seconds[0], tlsGoal);
        std::printf("  ratio TLS listener/listener: %.3f\n", seconds[2] / seconds[1]);
    };
    report("session cookie of one login, kept-alive connection", cookieTime, true);
    report("Basic credentials on every request, kept-alive connection", basicTime, true);
    report("Basic credentials, a new connection for every request", basicTime + kKeepAliveWays,
           false);
    // What connecting costs a TLS client on every request: the handshake (a
    // resumed session where the client offers one) and the connection.
    const double tlsReconnect = basicTime[kKeepAliveWays + 2];
    std::printf("  share of connecting and the TLS handshake in a reconnecting TLS read: %.0f %%\n",
                100 * (tlsReconnect - basicTime[2]) / tlsReconnect);
    std::printf(
        "change latency on a continuous feed, median of %d: direct %.1f ms, listener %.1f ms\n",
        kFeedRounds, median(directLatency), median(relayedLatency));
    if (failures)
        std::printf("failed reads: %d\n", failures);
    return failures ? 1 : 0;
}
