// Times the users live list against the bundled server: how long a user
// document written by another client takes to reach the list's entries, next
// to the time of the same query fetched raw over HTTP, at 1,000 and 10,000
// user documents. Prints one line per size. Port: TREVOK_TEST_PORT or 5984.

#include "lists/UserQuery.h"
#include "store/CouchDatabase.h"
#include "store/CouchDocument.h"
#include "store/CouchModel.h"
#include "store/CouchQuery.h"
#include "store/CouchServer.h"
#include "tests/harness/TestServer.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonObject>
#include <QTest>

#include <algorithm>
#include <cstdio>

using trevok::test::TestServer;

namespace {

constexpr int kSamples = 7;
constexpr int kBatch = 500;

double median(QList<double> values) {
    std::sort(values.begin(), values.end());
    return values.isEmpty() ? 0 : values[values.size() / 2];
}

long residentKiB() {
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLong();
    }
    return -1;
}

QJsonObject userDocument(const QString& name) {
    return {{QStringLiteral("_id"), QString(QStringLiteral("org.couchdb.user:") + name)},
            {QStringLiteral("name"), name},
            {QStringLiteral("type"), QStringLiteral("user")},
            {QStringLiteral("roles"), QJsonArray()},
            {QStringLiteral("lastName"), QStringLiteral("Bench")}};
}

// Adds users numbered [from, to) with bulk writes.
bool addUsers(int from, int to) {
    for (int start = from; start < to; start += kBatch) {
        QJsonArray docs;
        for (int i = start; i < std::min(to, start + kBatch); ++i)
            docs.append(userDocument(QStringLiteral("bench%1").arg(i, 5, 10, QLatin1Char('0'))));
        const auto reply =
            TestServer::request("POST", QStringLiteral("/_users/_bulk_docs"),
                                QJsonDocument(QJsonObject{{QStringLiteral("docs"), docs}})
                                    .toJson(QJsonDocument::Compact));
        if (reply.status != 201 && reply.status != 200)
            return false;
    }
    return true;
}

bool listed(const UserQuery& list, const QString& id) {
    const QList<CouchModel*>& entries = list.entries();
    return std::any_of(entries.cbegin(), entries.cend(), [&](CouchModel* model) {
        return model->document() && model->document()->documentID() == id;
    });
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    TestServer server;
    if (!server.start()) {
        std::fprintf(stderr, "the bundled server did not start\n");
        return 1;
    }
    CouchServer couch(QUrl(TestServer::url()));
    couch.setCredential(QStringLiteral("admin"), TestServer::adminPassword());

    int written = 0;
    int outside = 0;
    for (const int size : {1000, 10000}) {
        if (!addUsers(written, size)) {
            std::fprintf(stderr, "writing the user documents failed\n");
            return 1;
        }
        written = size;

        std::unique_ptr<CouchQuery> query =
            couch.databaseNamed(QStringLiteral("_users"))->getAllDocuments();
        query->setDescending(true);
        UserQuery list(std::move(query));
        QElapsedTimer firstLoad;
        firstLoad.start();
        if (!QTest::qWaitFor([&] { return list.countOfEntries() >= size; }, 120000)) {
            std::fprintf(stderr, "the list did not load\n");
            return 1;
        }
        const double firstLoadMs = double(firstLoad.nsecsElapsed()) / 1e6;
        QTest::qWait(200);

        QList<double> follow;
        for (int sample = 0; sample < kSamples; ++sample) {
            const QString name = QStringLiteral("outside%1").arg(outside++);
            const QString id = QStringLiteral("org.couchdb.user:") + name;
            const QByteArray body =
                QJsonDocument(userDocument(name)).toJson(QJsonDocument::Compact);
            const auto reply = TestServer::request(
                "PUT", QStringLiteral("/_users/") + trevok::test::segment(id), body);
            QElapsedTimer timer;
            timer.start();
            if (reply.status != 201 || !QTest::qWaitFor([&] { return listed(list, id); }, 30000)) {
                std::fprintf(stderr, "an outside write did not reach the list\n");
                return 1;
            }
            follow.append(double(timer.nsecsElapsed()) / 1e6);
            QTest::qWait(50);
        }

        QList<double> raw;
        for (int sample = 0; sample < kSamples; ++sample) {
            QElapsedTimer timer;
            timer.start();
            const auto reply = TestServer::request(
                "GET", QStringLiteral("/_users/_all_docs?descending=true&include_docs=true"));
            raw.append(double(timer.nsecsElapsed()) / 1e6);
            if (reply.status != 200)
                return 1;
        }
        const double followMs = median(follow);
        const double rawMs = median(raw);
        std::printf("users=%d first_load_ms=%.1f outside_write_to_entries_ms=%.1f "
                    "raw_query_ms=%.1f ratio=%.2f rss_kib=%ld\n",
                    size, firstLoadMs, followMs, rawMs, rawMs > 0 ? followMs / rawMs : 0.0,
                    residentKiB());
        std::fflush(stdout);
    }
    return 0;
}
