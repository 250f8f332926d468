// The store's own cost per request: 500 sequential document writes and 500
// reads through the store, against the same 1,000 requests sent by one curl
// process over one keep-alive connection, in the same run on the same server.

#include "store/Couch.h"
#include "tests/harness/TestServer.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryFile>
#include <QTextStream>

#include <cstdio>

using trevok::test::TestServer;

namespace {

constexpr int kWrites = 500;
constexpr int kReads = 500;

QString docID(const QString& prefix, int i) {
    return prefix + QString::number(i);
}

// Returns the elapsed milliseconds, or -1 when a request failed.
qint64 runStore(CouchDatabase* db, const QString& prefix) {
    QElapsedTimer clock;
    clock.start();
    for (int i = 0; i < kWrites; ++i) {
        if (!db->documentWithID(docID(prefix, i))
                 ->putProperties(QJsonObject{{QStringLiteral("n"), i}})
                 ->wait())
            return -1;
    }
    for (int i = 0; i < kReads; ++i) {
        if (!db->documentWithID(docID(prefix, i % kWrites))->reload()->wait())
            return -1;
    }
    return clock.elapsed();
}

qint64 runCurl(const QString& dbUrl, const QString& prefix) {
    QTemporaryFile config;
    if (!config.open())
        return -1;
    QTextStream out(&config);
    const QString user = QStringLiteral("admin:") + TestServer::adminPassword();
    auto common = [&] {
        out << "user = \"" << user << "\"\n"
            << "output = \"/dev/null\"\n"
            << "silent\n"
            << "fail\n"
            << "write-out = \"%{http_code}\\n\"\n";
    };
    bool first = true;
    for (int i = 0; i < kWrites; ++i) {
        if (!first)
            out << "next\n";
        first = false;
        out << "url = \"" << dbUrl << '/' << docID(prefix, i) << "\"\n"
            << "request = \"PUT\"\n"
            << "header = \"Content-Type: application/json\"\n"
            << "data = \"{\\\"n\\\":" << i << "}\"\n";
        common();
    }
    for (int i = 0; i < kReads; ++i) {
        out << "next\n"
            << "url = \"" << dbUrl << '/' << docID(prefix, i % kWrites) << "\"\n";
        common();
    }
    out.flush();
    config.close();

    QProcess curl;
    QElapsedTimer clock;
    clock.start();
    curl.start(QStringLiteral("curl"), {QStringLiteral("--config"), config.fileName()});
    if (!curl.waitForFinished(300000) || curl.exitCode() != 0)
        return -1;
    const qint64 elapsed = clock.elapsed();
    const QList<QByteArray> codes = curl.readAllStandardOutput().split('\n');
    int ok = 0;
    for (const QByteArray& code : codes)
        ok += code.startsWith('2') ? 1 : 0;
    return ok == kWrites + kReads ? elapsed : -1;
}

// Milliseconds from an outside write until a live query over `count`
// prefetched documents lists it, or -1.
qint64 liveQueryLatency(CouchServer& store, int count) {
    CouchDatabase* db = store.databaseNamed(QStringLiteral("bench_live"));
    db->DELETE()->wait();
    if (!db->create()->wait())
        return -1;
    for (int start = 0; start < count; start += 1000) {
        QJsonArray docs;
        for (int i = start; i < std::min(count, start + 1000); ++i)
            docs.append(QJsonObject{
                {QStringLiteral("_id"),
                 QStringLiteral("org.couchdb.user:u%1").arg(i, 5, 10, QLatin1Char('0'))},
                {QStringLiteral("name"), QStringLiteral("u%1").arg(i)}});
        if (!store.childWithPath(QStringLiteral("bench_live/_bulk_docs"))
                 ->POSTJSON(QJsonObject{{QStringLiteral("docs"), docs}})
                 ->wait())
            return -1;
    }
    auto query = db->getAllDocuments();
    query->setDescending(true);
    auto live = query->asLiveQuery();
    live->setPrefetch(true);
    live->start();
    live->rowsAndWait(); // the first load
    const QString id = QStringLiteral("org.couchdb.user:zz_outside");
    QElapsedTimer clock;
    clock.start();
    TestServer::putDocument(QStringLiteral("bench_live"), id, "{\"name\":\"outside\"}");
    while (clock.elapsed() < 10000) {
        const QList<CouchQueryRow> rows = live->currentRows();
        if (!rows.isEmpty() && rows.first().documentID() == id)
            return clock.elapsed();
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
    }
    return -1;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    TestServer server;
    if (!server.start()) {
        std::fprintf(stderr, "store_overhead: the bundled server did not start\n");
        return 1;
    }
    CouchServer store{QUrl(TestServer::url())};
    store.setCredential(QStringLiteral("admin"), TestServer::adminPassword());
    CouchDatabase* db = store.databaseNamed(QStringLiteral("bench"));
    db->DELETE()->wait();
    if (!db->create()->wait()) {
        std::fprintf(stderr, "store_overhead: cannot create the database\n");
        return 1;
    }
    // Warm both paths (connections, the server's caches) before timing.
    if (runStore(db, QStringLiteral("warm_s")) < 0 ||
        runCurl(db->url().toString(), QStringLiteral("warm_c")) < 0) {
        std::fprintf(stderr, "store_overhead: a warm-up request failed\n");
        return 1;
    }
    const qint64 storeMs = runStore(db, QStringLiteral("s"));
    const qint64 curlMs = runCurl(db->url().toString(), QStringLiteral("c"));
    if (storeMs < 0 || curlMs < 0) {
        std::fprintf(stderr, "store_overhead: a request failed\n");
        return 1;
    }
    const double ratio = curlMs > 0 ? double(storeMs) / double(curlMs) : 0.0;
    std::printf("store: %d writes + %d reads in %lld ms\n", kWrites, kReads,
                static_cast<long long>(storeMs));
    std::printf("curl:  %d writes + %d reads in %lld ms (one process, one keep-alive connection)\n",
                kWrites, kReads, static_cast<long long>(curlMs));
    std::printf("ratio store/curl: %.2f (goal: at most 1.30)\n", ratio);
    const qint64 latency = liveQueryLatency(store, 10000);
    std::printf("live query over 10000 prefetched documents: outside write listed after %lld ms "
                "(goal: at most 250)\n",
                static_cast<long long>(latency));
    return 0;
}
