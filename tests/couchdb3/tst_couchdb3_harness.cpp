#include "tests/harness/CouchDb3.h"

#include <QFileInfo>
#include <QJsonArray>
#include <QJsonObject>
#include <QTest>

using trevok::test::CouchDb3;
using trevok::test::HttpReply;

namespace {

bool written(const HttpReply& reply) {
    return reply.status == 201 || reply.status == 202;
}

QString text(const HttpReply& reply) {
    return reply.json().object().value(QStringLiteral("text")).toString();
}

} // namespace

// The suites that administer a real CouchDB 3 stand on this harness: what
// they write through one node must be there through another, a cluster must
// go on with a node down, and CouchDB must reach itself by the address the
// console uses, as replication documents name it.
class CouchDb3HarnessTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void servesDocumentsAcrossNodes_data() {
        QTest::addColumn<int>("nodes");
        QTest::newRow("one node") << 1;
        QTest::newRow("cluster of three") << 3;
    }

    void servesDocumentsAcrossNodes() {
        TREVOK_REQUIRE_COUCHDB3();
        QFETCH(int, nodes);
        CouchDb3 couch(nodes);
        const QString failure = couch.start();
        QVERIFY2(failure.isEmpty(), qPrintable(failure));

        const QJsonArray members = couch.request("GET", QStringLiteral("/_membership"))
                                       .json()
                                       .object()
                                       .value(QStringLiteral("cluster_nodes"))
                                       .toArray();
        QCOMPARE(members.size(), nodes);

        QVERIFY(written(couch.request("PUT", QStringLiteral("/notes"))));
        QVERIFY(written(couch.request("PUT", QStringLiteral("/notes/first"),
                                      QByteArrayLiteral("{\"text\":\"through node 1\"}"))));
        const HttpReply first = couch.nodeRequest(nodes, "GET", QStringLiteral("/notes/first"));
        QCOMPARE(first.status, 200);
        QCOMPARE(text(first), QStringLiteral("through node 1"));

        // CouchDB 3 takes no local endpoints: the source and target are
        // named by the URL the console is given, and followed from inside.
        const QString auth = QStringLiteral(",\"auth\":{\"basic\":{\"username\":\"%1\","
                                            "\"password\":\"%2\"}}}")
                                 .arg(CouchDb3::adminName(), CouchDb3::adminPassword());
        const QByteArray replicate =
            QStringLiteral("{\"source\":{\"url\":\"%1/notes\"%2,\"target\":{\"url\":\"%1/copy\"%2,"
                           "\"create_target\":true}")
                .arg(couch.url(), auth)
                .toUtf8();
        const HttpReply replicated =
            couch.request("POST", QStringLiteral("/_replicate"), replicate);
        QVERIFY2(replicated.status == 200, replicated.body.constData());
        QCOMPARE(text(couch.nodeRequest(nodes, "GET", QStringLiteral("/copy/first"))),
                 QStringLiteral("through node 1"));

        if (nodes == 3) {
            QVERIFY(couch.stopNode(2));
            QCOMPARE(couch.nodeRequest(2, "GET", QStringLiteral("/_up")).status, 0);
            QVERIFY(written(couch.request("PUT", QStringLiteral("/notes/second"),
                                          QByteArrayLiteral("{\"text\":\"node 2 down\"}"))));
            QCOMPARE(text(couch.request("GET", QStringLiteral("/notes/second"))),
                     QStringLiteral("node 2 down"));
            QCOMPARE(couch.request("GET", QStringLiteral("/notes/first")).status, 200);

            QVERIFY(couch.startNode(2));
            QCOMPARE(text(couch.nodeRequest(2, "GET", QStringLiteral("/notes/second"))),
                     QStringLiteral("node 2 down"));
        }

        // Its address is routed nowhere once the namespace is gone, so no
        // request tells; the namespace's name does.
        const QString ns = QStringLiteral("/run/netns/") + couch.networkNamespace();
        QVERIFY(QFileInfo::exists(ns));
        couch.stop();
        QVERIFY(!QFileInfo::exists(ns));
    }
};

QTEST_GUILESS_MAIN(CouchDb3HarnessTest)
#include "tst_couchdb3_harness.moc"
