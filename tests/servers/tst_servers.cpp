// The same console on every server it administers: the bundled one, a
// CouchDB 3 node and a CouchDB 3 cluster of three. The real binary builds
// the web with its own flows; real sync clients write through its listener
// and read each other's documents; a write into another project is
// refused; on the cluster one node stops and the web goes on through the
// other two. A member's database removed behind the console's back shows on
// sync health and is made whole at the next login; then the project is
// archived and a user deleted, each leaving exactly what it should.

#include "server/ServerProcess.h"
#include "store/ReplicationEndpoint.h"
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
#include <optional>

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
    int status(const QString& path) const {
        return trevok::test::httpRequest("GET", m_url + path, {}, QStringLiteral("admin"),
                                         m_password)
            .status;
    }
    QJsonObject projectRecord() const {
        for (const QJsonValue row :
             get(QStringLiteral("/trevok_master/_all_docs?include_docs=true"))
                 .value(QStringLiteral("rows"))
                 .toArray()) {
            const QJsonObject doc = row.toObject().value(QStringLiteral("doc")).toObject();
            if (doc.value(QStringLiteral("title")).toString() == kTitle)
                return doc;
        }
        return {};
    }
    // The replication documents, each as "source>target" of the databases
    // it joins, in either form of its ends.
    QStringList replicationPairs() const {
        QStringList pairs;
        for (const QJsonValue row : get(QStringLiteral("/_replicator/_all_docs?include_docs=true"))
                                        .value(QStringLiteral("rows"))
                                        .toArray()) {
            const QJsonObject doc = row.toObject().value(QStringLiteral("doc")).toObject();
            if (doc.value(QStringLiteral("_id")).toString().startsWith(QLatin1String("_design/")))
                continue;
            pairs.append(replicationEndpointDatabase(doc.value(QStringLiteral("source"))) +
                         QLatin1Char('>') +
                         replicationEndpointDatabase(doc.value(QStringLiteral("target"))));
        }
        return pairs;
    }
    static bool healthy(const QJsonObject& state) {
        return state.value(QStringLiteral("replicationsRunning")).toInt() > 0 &&
               state.value(QStringLiteral("replicationsInError")).toInt() == 0;
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

        // Quit and started again half-way: one process after the other.
        std::optional<ConsoleProcess> running;
        running.emplace(QStringLiteral(TREVOK_CONSOLE_BINARY), home.path(), resources);
        ConsoleProcess* console = &*running;
        const auto stopBundled = qScopeGuard([&] {
            if (nodes == 0)
                trevok::ServerProcess(resources + QStringLiteral("/server-core"),
                                      trevok::test::consoleDataFolder(home.path()))
                    .kill();
        });
        QVERIFY(nodes == 0 ? console->up() : console->connect());
        QVERIFY(console->run(QStringLiteral("login ") + m_password));
        // With a server of its own choosing the console starts none.
        if (nodes > 0)
            QCOMPARE(console->state().value(QStringLiteral("serverPid")).toInteger(), 0);
        QVERIFY(console->run(QStringLiteral("createUser ann Ann A ann-pw")));
        QVERIFY(console->run(QStringLiteral("createUser ben Ben B ben-pw")));
        QVERIFY(console->run(QStringLiteral("createProject ") + kTitle));
        QVERIFY(console->waitFor(
            [&](const QJsonObject&) {
                return console->run(QStringLiteral("selectProject ") + kTitle);
            },
            15000));
        QVERIFY(console->run(QStringLiteral("doubleClickUser ann")));
        QVERIFY(console->run(QStringLiteral("doubleClickUser ben")));
        const QJsonObject record = projectRecord();
        const QString project = record.value(QStringLiteral("projectID")).toString();
        const QString projectDb = QStringLiteral("trevok_project_") +
                                  record.value(QStringLiteral("serverDBName")).toString();
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

        // The members' devices, through the listener of the console running.
        std::optional<SyncClient> ann;
        std::optional<SyncClient> ben;
        QString listener;
        const auto connectDevices = [&] {
            listener = QStringLiteral("http://127.0.0.1:%1")
                           .arg(console->state().value(QStringLiteral("listenerPort")).toInt());
            ann.reset();
            ben.reset();
            ann.emplace(listener, QStringLiteral("ann"), QStringLiteral("ann-pw"));
            ben.emplace(listener, QStringLiteral("ben"), QStringLiteral("ben-pw"));
            return ann->isReady() && ben->isReady();
        };
        QVERIFY(connectDevices());

        QVERIFY(ann->put(note(QStringLiteral("note-ann"), project))
                    .value(QStringLiteral("ok"))
                    .toBool());
        QVERIFY2(ben->waitFor(QStringLiteral("note-ann"), false, 60000),
                 "a member's document reaches the other member");
        QVERIFY(ben->put(note(QStringLiteral("note-ben"), project))
                    .value(QStringLiteral("ok"))
                    .toBool());
        QVERIFY(ann->waitFor(QStringLiteral("note-ben"), false, 60000));

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
            QVERIFY(ann->put(note(QStringLiteral("note-after-stop"), project))
                        .value(QStringLiteral("ok"))
                        .toBool());
            QVERIFY2(ben->waitFor(QStringLiteral("note-after-stop"), false, 120000),
                     "a document travels with one node of three stopped");
            QVERIFY(couch->startNode(2));
        }

        // ben's database removed on the server, as an administrator might by
        // mistake: the replications from and into it stop, and say so.
        const QString annDb = QStringLiteral("trevok_user_db_ann");
        const QString benDb = QStringLiteral("trevok_user_db_ben");
        QCOMPARE(trevok::test::httpRequest("DELETE", m_url + QLatin1Char('/') + benDb, {},
                                           QStringLiteral("admin"), m_password)
                         .status /
                     100,
                 2);
        QVERIFY2(console->waitFor(
                     [](const QJsonObject& s) {
                         return s.value(QStringLiteral("replicationsInError")).toInt() > 0;
                     },
                     180000),
                 "sync health shows the replications of a database that is gone");
        QVERIFY(console->run(QStringLiteral("quit")));
        QVERIFY2(console->finished(30000), "the console quits");
        QCOMPARE(console->exitCode(), 0);

        // The next login makes ben's web whole again, and it runs.
        running.reset();
        running.emplace(QStringLiteral(TREVOK_CONSOLE_BINARY), home.path(), resources);
        console = &*running;
        QVERIFY(nodes == 0 ? console->up() : console->connect());
        QVERIFY(console->run(QStringLiteral("login ") + m_password));
        QVERIFY2(console->waitFor(
                     [](const QJsonObject& s) {
                         return s.value(QStringLiteral("infoStatus"))
                             .toString()
                             .startsWith(QLatin1String("Mended"));
                     },
                     120000),
                 qPrintable(console->state().value(QStringLiteral("infoStatus")).toString()));
        const QJsonObject annSecurity =
            get(QLatin1Char('/') + annDb + QStringLiteral("/_security"));
        const QByteArray expected =
            QJsonDocument(annSecurity).toJson().replace("\"ann\"", "\"ben\"");
        QCOMPARE(
            QJsonDocument(get(QLatin1Char('/') + benDb + QStringLiteral("/_security"))).toJson(),
            expected);
        QVERIFY(QJsonDocument(get(QLatin1Char('/') + benDb + QStringLiteral("/_design/security")))
                    .toJson()
                    .contains(project.toUtf8()));
        QVERIFY2(console->waitFor(&healthy, 300000),
                 QJsonDocument(console->state()).toJson().constData());
        // The new console listens anew: the devices find it again.
        QVERIFY(connectDevices());
        QVERIFY(ben->put(note(QStringLiteral("note-ben-again"), project))
                    .value(QStringLiteral("ok"))
                    .toBool());
        QVERIFY2(ann->waitFor(QStringLiteral("note-ben-again"), false, 180000),
                 "the mended database's documents travel again");

        // Archived: the copy completes, the project is emptied, its
        // documents leave the members' databases; the project database and
        // its replications stay, the copy's own replication goes.
        const QString archiveDb = QStringLiteral("archived_") + projectDb;
        QVERIFY(console->lists("projects", kTitle));
        QVERIFY(console->run(QStringLiteral("archiveProject ") + kTitle));
        QVERIFY2(console->waitFor(
                     [](const QJsonObject& s) {
                         return s.value(QStringLiteral("projectStatus"))
                             .toString()
                             .endsWith(QStringLiteral("” was archived."));
                     },
                     300000),
                 qPrintable(console->state().value(QStringLiteral("projectStatus")).toString()));
        QCOMPARE(get(QLatin1Char('/') + archiveDb + QLatin1Char('/') + project)
                     .value(QStringLiteral("archived")),
                 QJsonValue(true));
        QCOMPARE(get(QLatin1Char('/') + archiveDb + QStringLiteral("/note-ben-again"))
                     .value(QStringLiteral("projectID")),
                 QJsonValue(project));
        QStringList now = replicationPairs();
        QVERIFY2(!now.contains(projectDb + QLatin1Char('>') + archiveDb),
                 qPrintable(now.join(QLatin1Char(' '))));
        for (const QString& pair : QStringList{projectDb + QStringLiteral(">trevok_master"),
                                               QStringLiteral("trevok_master>") + projectDb,
                                               projectDb + QStringLiteral(">") + annDb,
                                               projectDb + QStringLiteral(">") + benDb})
            QVERIFY2(now.contains(pair), qPrintable(pair));
        QCOMPARE(projectRecord().value(QStringLiteral("archived")), QJsonValue(true));
        QVERIFY(ann->waitFor(QStringLiteral("note-ben-again"), true, 180000));

        // ben deleted: his account, database and replications go, ann's web
        // stays as it was, and nothing is left failing.
        QVERIFY(console->run(QStringLiteral("deleteUser ben")));
        QCOMPARE(status(QStringLiteral("/_users/org.couchdb.user:ben")), 404);
        QCOMPARE(status(QLatin1Char('/') + benDb), 404);
        now = replicationPairs();
        for (const QString& pair : std::as_const(now))
            QVERIFY2(!pair.split(QLatin1Char('>')).contains(benDb), qPrintable(pair));
        for (const QString& pair : QStringList{annDb + QStringLiteral(">trevok_master"),
                                               projectDb + QStringLiteral(">") + annDb})
            QVERIFY2(now.contains(pair), qPrintable(pair));
        QCOMPARE(get(QLatin1Char('/') + annDb + QStringLiteral("/_security")), annSecurity);
        QVERIFY2(console->waitFor(
                     [](const QJsonObject& s) {
                         return healthy(s) && !s.value(QStringLiteral("users"))
                                                   .toArray()
                                                   .contains(QStringLiteral("ben"));
                     },
                     120000),
                 QJsonDocument(console->state()).toJson().constData());

        QVERIFY(console->run(QStringLiteral("quit")));
        QVERIFY2(console->finished(30000), "the console quits");
    }
};

QTEST_GUILESS_MAIN(TestServers)
#include "tst_servers.moc"
