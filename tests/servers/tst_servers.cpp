// The same console on every server it administers: the bundled one, a
// CouchDB 3 node and a CouchDB 3 cluster of three. The real binary builds
// the web with its own flows; real sync clients write through its listener
// and read each other's documents; a write into another project is
// refused; on the cluster one node stops and the web goes on through the
// other two.

#include "server/ServerProcess.h"
#include "tests/harness/ConsoleProcess.h"
#include "tests/harness/CouchDb3.h"
#include "tests/harness/SyncClient.h"
#include "tests/harness/TestServer.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

using trevok::test::ConsoleProcess;
using trevok::test::CouchDb3;
using trevok::test::SyncClient;

namespace {
const QString kTitle = QStringLiteral("Apollo");

QJsonObject note(const QString& id, const QString& project) {
    return {{QStringLiteral("_id"), id},
            {QStringLiteral("projectID"), project},
            {QStringLiteral("type"), QStringLiteral("Note")},
            {QStringLiteral("text"), QStringLiteral("written by a member")}};
}
} // namespace

class TestServers : public QObject {
    Q_OBJECT

    // Requests to whichever server the row uses, as its administrator.
    QString m_url;
    QString m_password;
    QJsonObject get(const QString& path) const {
        return trevok::test::httpRequest("GET", m_url + path, {}, QStringLiteral("admin"),
                                         m_password)
            .json()
            .object();
    }
    QString projectID() const {
        for (const QJsonValue row :
             get(QStringLiteral("/trevok_master/_all_docs?include_docs=true"))
                 .value(QStringLiteral("rows"))
                 .toArray()) {
            const QJsonObject doc = row.toObject().value(QStringLiteral("doc")).toObject();
            if (doc.value(QStringLiteral("title")).toString() == kTitle)
                return doc.value(QStringLiteral("projectID")).toString();
        }
        return {};
    }

private Q_SLOTS:
    void theWebWorksOnEveryServer_data() {
        QTest::addColumn<int>("nodes");
        QTest::newRow("bundled server") << 0;
        QTest::newRow("CouchDB 3, one node") << 1;
        QTest::newRow("CouchDB 3, cluster of three") << 3;
    }

    void theWebWorksOnEveryServer() {
        QFETCH(int, nodes);
        std::unique_ptr<CouchDb3> couch;
        QTemporaryDir home;
        QVERIFY(home.isValid());
        const QString resources = home.path() + QStringLiteral("/resources");
        QVERIFY(QDir().mkpath(resources));
        QVERIFY(trevok::test::copyResources(trevok::resourcesFolder(), resources));
        if (nodes > 0) {
            TREVOK_REQUIRE_COUCHDB3();
            couch = std::make_unique<CouchDb3>(nodes);
            const QString why = couch->start();
            QVERIFY2(why.isEmpty(), qPrintable(why));
            m_url = couch->url();
            m_password = CouchDb3::adminPassword();
            QSettings settings(home.path() +
                                   QStringLiteral("/config/com.trevokapp/TrevokServer.ini"),
                               QSettings::IniFormat);
            settings.setValue(QStringLiteral("Server/Kind"), QStringLiteral("couchdb"));
            settings.setValue(QStringLiteral("Server/URL"), m_url);
            settings.setValue(QStringLiteral("Server/Admin"), CouchDb3::adminName());
            settings.sync();
        } else {
            m_url = trevok::test::TestServer::url();
            m_password = trevok::test::kInitialAdminPassword;
        }

        ConsoleProcess console(QStringLiteral(TREVOK_CONSOLE_BINARY), home.path(), resources);
        const auto stopBundled = qScopeGuard([&] {
            if (nodes == 0)
                trevok::ServerProcess(resources + QStringLiteral("/server-core"),
                                      trevok::test::consoleDataFolder(home.path()))
                    .kill();
        });
        QVERIFY(nodes == 0 ? console.up() : console.connect());
        QVERIFY(console.run(QStringLiteral("login ") + m_password));
        // With a server of its own choosing the console starts none.
        if (nodes > 0)
            QCOMPARE(console.state().value(QStringLiteral("serverPid")).toInteger(), 0);
        QVERIFY(console.run(QStringLiteral("createUser ann Ann A ann-pw")));
        QVERIFY(console.run(QStringLiteral("createUser ben Ben B ben-pw")));
        QVERIFY(console.run(QStringLiteral("createProject ") + kTitle));
        QVERIFY(console.waitFor(
            [&](const QJsonObject&) {
                return console.run(QStringLiteral("selectProject ") + kTitle);
            },
            15000));
        QVERIFY(console.run(QStringLiteral("doubleClickUser ann")));
        QVERIFY(console.run(QStringLiteral("doubleClickUser ben")));
        const QString project = projectID();
        QVERIFY(!project.isEmpty());

        // Every replication the console wrote is one the server took.
        const QJsonArray replications =
            get(QStringLiteral("/_replicator/_all_docs?include_docs=true"))
                .value(QStringLiteral("rows"))
                .toArray();
        int written = 0;
        for (const QJsonValue row : replications) {
            const QJsonObject doc = row.toObject().value(QStringLiteral("doc")).toObject();
            if (doc.value(QStringLiteral("_id")).toString().startsWith(QLatin1String("_design/")))
                continue;
            ++written;
            QVERIFY2(doc.value(QStringLiteral("source")).isObject() == (nodes > 0),
                     "replication ends are full URLs exactly where the server wants them");
        }
        QVERIFY2(written >= 4, qPrintable(QString::number(written)));

        const QString listener =
            QStringLiteral("http://127.0.0.1:%1")
                .arg(console.state().value(QStringLiteral("listenerPort")).toInt());
        SyncClient ann(listener, QStringLiteral("ann"), QStringLiteral("ann-pw"));
        SyncClient ben(listener, QStringLiteral("ben"), QStringLiteral("ben-pw"));
        QVERIFY(ann.isReady() && ben.isReady());

        QVERIFY(ann.put(note(QStringLiteral("note-ann"), project))
                    .value(QStringLiteral("ok"))
                    .toBool());
        QVERIFY2(ben.waitFor(QStringLiteral("note-ann"), false, 60000),
                 "a member's document reaches the other member");
        QVERIFY(ben.put(note(QStringLiteral("note-ben"), project))
                    .value(QStringLiteral("ok"))
                    .toBool());
        QVERIFY(ann.waitFor(QStringLiteral("note-ben"), false, 60000));

        // A write into a project the user is not a member of, sent as a
        // replication writes it, is refused by the server and stays out.
        const trevok::test::HttpReply hostile = trevok::test::httpRequest(
            "PUT", listener + QStringLiteral("/trevok_user_db_ann/note-elsewhere?new_edits=false"),
            QJsonDocument(QJsonObject{{QStringLiteral("_rev"), QStringLiteral("1-abc")},
                                      {QStringLiteral("projectID"), QStringLiteral("not-mine")}})
                .toJson(),
            QStringLiteral("ann"), QStringLiteral("ann-pw"));
        QVERIFY2(hostile.status == 403, hostile.body.constData());
        QVERIFY(get(QStringLiteral("/trevok_user_db_ann/note-elsewhere"))
                    .contains(QStringLiteral("error")));

        if (nodes == 3) {
            // One node goes: the web keeps working through the other two.
            QVERIFY(couch->stopNode(2));
            QVERIFY(ann.put(note(QStringLiteral("note-after-stop"), project))
                        .value(QStringLiteral("ok"))
                        .toBool());
            QVERIFY2(ben.waitFor(QStringLiteral("note-after-stop"), false, 120000),
                     "a document travels with one node of three stopped");
            QVERIFY(couch->startNode(2));
        }

        console.run(QStringLiteral("quit"));
        console.finished(15000);
    }
};

QTEST_GUILESS_MAIN(TestServers)
#include "tst_servers.moc"
