#include "records/SyncHealth.h"
#include "server/LastSeen.h"
#include "server/ListenerSettings.h"
#include "server/ServerChoice.h"
#include "store/ReplicationEndpoint.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>
#include <QTimeZone>

#include <thread>
#include <vector>

using namespace trevok::health;

Q_DECLARE_METATYPE(std::optional<ActiveTask>)

namespace {
ActiveTask task(qint64 pending) {
    ActiveTask t;
    t.docId = QStringLiteral("r1");
    t.changesPending = pending;
    return t;
}
} // namespace

class TestSyncHealthLogic : public QObject {
    Q_OBJECT
private Q_SLOTS:
    // What the scheduling replicator reports, in the words of the tables.
    void scheduledStates_data() {
        QTest::addColumn<QByteArray>("entry");
        QTest::addColumn<QString>("text");
        QTest::newRow("running, up to date")
            << QByteArray(
                   "{\"doc_id\":\"r\",\"state\":\"running\",\"info\":{\"changes_pending\":0}}")
            << QStringLiteral("Running");
        QTest::newRow("running, behind")
            << QByteArray(
                   "{\"doc_id\":\"r\",\"state\":\"running\",\"info\":{\"changes_pending\":7}}")
            << QStringLiteral("Pending 7");
        QTest::newRow("waiting for its turn")
            << QByteArray("{\"doc_id\":\"r\",\"state\":\"pending\",\"info\":null}")
            << QStringLiteral("Pending");
        QTest::newRow("crashing on a removed database")
            << QByteArray(
                   "{\"doc_id\":\"r\",\"state\":\"crashing\",\"info\":{\"error\":\"db_not_found: "
                   "could not open http://10.0.0.1:5984/trevok_user_db_a%2Fb/\"}}")
            << QStringLiteral("Error: the database “trevok_user_db_a/b” does not exist");
        QTest::newRow("failed") << QByteArray("{\"doc_id\":\"r\",\"state\":\"failed\",\"info\":{}}")
                                << QStringLiteral("Error: the server gave no reason");
        QTest::newRow("completed") << QByteArray("{\"doc_id\":\"r\",\"state\":\"completed\"}")
                                   << QStringLiteral("Stopped");
    }
    void scheduledStates() {
        QFETCH(QByteArray, entry);
        QFETCH(QString, text);
        const auto doc = scheduledDocFrom(QJsonDocument::fromJson(entry).object());
        QVERIFY(doc);
        QCOMPARE(syncState(*doc).text(), text);
    }

    // Both forms of a replication's end name the same database; the URL
    // form is written only where the server's welcome asks for it.
    void replicationEnds_data() {
        QTest::addColumn<QByteArray>("end");
        QTest::addColumn<QString>("database");
        QTest::newRow("bare name")
            << QByteArray("\"trevok_master\"") << QStringLiteral("trevok_master");
        QTest::newRow("url object")
            << QByteArray("{\"url\":\"https://c.example:6984/trevok_user_db_x%2By\",\"auth\":{}}")
            << QStringLiteral("trevok_user_db_x+y");
        QTest::newRow("url text, slash at the end")
            << QByteArray("\"http://127.0.0.1:5984/trevok_master/\"")
            << QStringLiteral("trevok_master");
        QTest::newRow("no url") << QByteArray("{\"auth\":{}}") << QString();
    }
    void replicationEnds() {
        QFETCH(QByteArray, end);
        QFETCH(QString, database);
        const QJsonValue value = QJsonDocument::fromJson("[" + end + "]").array().at(0);
        QCOMPARE(replicationEndpointDatabase(value), database);
        if (!database.isEmpty())
            QCOMPARE(replicationEndpointDatabase(replicationEndpointValue(
                         ServerGeneration::Clustered, QUrl(QStringLiteral("http://h:1/")), database,
                         QStringLiteral("u"), QStringLiteral("p"))),
                     database);
        QCOMPARE(serverGenerationFromWelcome(
                     QJsonDocument::fromJson("{\"couchdb\":\"Welcome\",\"version\":\"3.5.0\"}")
                         .object()),
                 ServerGeneration::Clustered);
        QCOMPARE(serverGenerationFromWelcome(
                     QJsonDocument::fromJson("{\"couchdb\":\"Welcome\"}").object()),
                 ServerGeneration::Classic);
    }

    // A chosen server the console cannot use is refused with a reason.
    void serverChoices_data() {
        QTest::addColumn<QString>("url");
        QTest::addColumn<bool>("usable");
        QTest::newRow("https root") << QStringLiteral("https://couch.example.org") << true;
        QTest::newRow("http with port and slash")
            << QStringLiteral("http://10.0.0.2:5984/") << true;
        QTest::newRow("a path") << QStringLiteral("https://couch.example.org/db") << false;
        QTest::newRow("credentials")
            << QStringLiteral("https://admin:pw@couch.example.org") << false;
        QTest::newRow("another scheme") << QStringLiteral("ftp://couch.example.org") << false;
        QTest::newRow("empty") << QString() << false;
    }
    void serverChoices() {
        QFETCH(QString, url);
        QFETCH(bool, usable);
        QCOMPARE(trevok::serverChoiceProblem(url, QStringLiteral("admin")).isEmpty(), usable);
        QTemporaryDir dir;
        QSettings settings(dir.filePath(QStringLiteral("s.ini")), QSettings::IniFormat);
        settings.setValue(QStringLiteral("Server/Kind"), QStringLiteral("couchdb"));
        settings.setValue(QStringLiteral("Server/URL"), url);
        // A preference that cannot be used leaves the console with the bundled server.
        QCOMPARE(trevok::readServerChoice(settings).isBundled(), !usable);
    }

    void stateText_data() {
        QTest::addColumn<QString>("state");
        QTest::addColumn<QString>("reason");
        QTest::addColumn<std::optional<ActiveTask>>("task");
        QTest::addColumn<QString>("expected");
        const std::optional<ActiveTask> none;
        QTest::newRow("triggered, caught up") << "triggered"
                                              << "" << std::optional(task(0)) << "Running";
        QTest::newRow("triggered, behind") << "triggered"
                                           << "" << std::optional(task(12)) << "Pending 12";
        QTest::newRow("triggered, task not polled yet") << "triggered"
                                                        << "" << none << "Running";
        QTest::newRow("error wins over a task still listed")
            << "error"
            << "db_not_found: could not open trevok_user_db_bob" << std::optional(task(3))
            << "Error: the database “trevok_user_db_bob” does not exist";
        QTest::newRow("error without reason") << "error"
                                              << "" << none << "Error: the server gave no reason";
        QTest::newRow("completed one-shot") << "completed"
                                            << "" << none << "Stopped";
        QTest::newRow("completed, stale task") << "completed"
                                               << "" << std::optional(task(0)) << "Stopped";
        QTest::newRow("not reported, no task") << ""
                                               << "" << none << "Stopped";
        QTest::newRow("not reported, task runs") << ""
                                                 << "" << std::optional(task(1)) << "Pending 1";
    }
    void stateText() {
        QFETCH(QString, state);
        QFETCH(QString, reason);
        QFETCH(std::optional<ActiveTask>, task);
        QFETCH(QString, expected);
        const SyncState shown = syncState(state, reason, task);
        QCOMPARE(shown.text(), expected);
        // Every state also reads as a sentence, and an error names its reason there too.
        QVERIFY(!shown.sentence().isEmpty());
        if (shown.kind == SyncKind::Error)
            QVERIFY(shown.sentence().contains(shown.reason));
    }

    void reasons_data() {
        QTest::addColumn<QString>("reason");
        QTest::addColumn<QString>("words");
        QTest::newRow("missing database") << "db_not_found: could not open trevok_project_x"
                                          << "the database “trevok_project_x” does not exist";
        QTest::newRow("missing database, other wording") << "db_not_found: gone"
                                                         << "a database does not exist";
        QTest::newRow("refused") << "unauthorized: Name or password is incorrect."
                                 << "the server refused access (Name or password is incorrect.)";
        QTest::newRow("forbidden bare") << "forbidden"
                                        << "the server refused access";
        QTest::newRow("timeout") << "timeout: request timed out"
                                 << "the server did not answer in time";
        QTest::newRow("filter missing") << "not_found: missing filter"
                                        << "not found: missing filter";
        QTest::newRow("unknown kept as written") << "econnreset: socket hang up"
                                                 << "econnreset: socket hang up";
        QTest::newRow("blank") << "  "
                               << "the server gave no reason";
    }
    void reasons() {
        QFETCH(QString, reason);
        QFETCH(QString, words);
        QCOMPARE(reasonInWords(reason), words);
    }

    void relativeTimes_data() {
        QTest::addColumn<qint64>("secondsAgo");
        QTest::addColumn<QString>("text");
        QTest::newRow("now") << qint64(0) << "just now";
        QTest::newRow("clock ahead") << qint64(-30) << "just now";
        QTest::newRow("59 s") << qint64(59) << "just now";
        QTest::newRow("60 s") << qint64(60) << "1 minute ago";
        QTest::newRow("3 min") << qint64(3 * 60 + 59) << "3 minutes ago";
        QTest::newRow("59 min") << qint64(3599) << "59 minutes ago";
        QTest::newRow("1 h") << qint64(3600) << "1 hour ago";
        QTest::newRow("23 h") << qint64(23 * 3600 + 3599) << "23 hours ago";
        QTest::newRow("1 day") << qint64(86400) << "1 day ago";
        QTest::newRow("59 days") << qint64(59 * 86400) << "59 days ago";
        QTest::newRow("2 months") << qint64(61 * 86400) << "2 months ago";
        QTest::newRow("2 years") << qint64(800 * 86400) << "2 years ago";
    }
    void relativeTimes() {
        QFETCH(qint64, secondsAgo);
        QFETCH(QString, text);
        const QDateTime now(QDate(2026, 5, 1), QTime(12, 0), Qt::UTC);
        QCOMPARE(relativeTimeText(now.addSecs(-secondsAgo), now), text);
    }

    void lastSeen_data() {
        QTest::addColumn<QDateTime>("lastConnected");
        QTest::addColumn<QDateTime>("created");
        QTest::addColumn<QString>("text");
        const QDateTime now(QDate(2026, 5, 1), QTime(12, 0), Qt::UTC);
        const QDateTime created = now.addDays(-2);
        QTest::newRow("no field") << QDateTime() << created << "never";
        QTest::newRow("as written at creation") << created.addMSecs(3) << created << "never";
        QTest::newRow("connected a second after creation")
            << created.addSecs(1) << created << "1 day ago";
        QTest::newRow("connected later") << now.addSecs(-180) << created << "3 minutes ago";
        QTest::newRow("no creation time") << now.addSecs(-7200) << QDateTime() << "2 hours ago";
    }
    void lastSeen() {
        QFETCH(QDateTime, lastConnected);
        QFETCH(QDateTime, created);
        QFETCH(QString, text);
        const QDateTime now(QDate(2026, 5, 1), QTime(12, 0), Qt::UTC);
        QCOMPARE(lastSeenText(lastConnected, created, now), text);
    }

    void activeTaskEntries() {
        const QJsonObject entry{{QStringLiteral("type"), QStringLiteral("replication")},
                                {QStringLiteral("doc_id"), QStringLiteral("abc")},
                                {QStringLiteral("source"), QStringLiteral("trevok_user_db_a")},
                                {QStringLiteral("target"), QStringLiteral("trevok_master")},
                                {QStringLiteral("docs_read"), 7},
                                {QStringLiteral("docs_written"), 6},
                                {QStringLiteral("doc_write_failures"), 1},
                                {QStringLiteral("changes_pending"), 4},
                                {QStringLiteral("updated_on"), 1700000000}};
        const auto t = activeTaskFrom(entry);
        QVERIFY(t);
        QCOMPARE(t->docId, QStringLiteral("abc"));
        QCOMPARE(t->source, QStringLiteral("trevok_user_db_a"));
        QCOMPARE(t->docsRead, 7);
        QCOMPARE(t->docsWritten, 6);
        QCOMPARE(t->docWriteFailures, 1);
        QCOMPARE(t->changesPending, 4);
        QCOMPARE(t->updatedOn, 1700000000);
        QJsonObject indexer = entry;
        indexer.insert(QStringLiteral("type"), QStringLiteral("indexer"));
        QVERIFY(!activeTaskFrom(indexer));
    }

    // The listener's threads note users while the console takes the notes:
    // nothing is lost, and each user keeps the latest time.
    void recorderAcrossThreads() {
        trevok::LastSeenRecorder recorder;
        constexpr int kThreads = 4;
        constexpr int kNotes = 5000;
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&recorder, t] {
                for (int i = 1; i <= kNotes; ++i)
                    recorder.seen(QStringLiteral("user%1").arg(i % 10), qint64(t) * kNotes + i);
            });
        }
        QHash<QString, qint64> latest;
        const auto merge = [&latest](const QHash<QString, qint64>& taken) {
            for (auto it = taken.cbegin(); it != taken.cend(); ++it)
                latest[it.key()] = std::max(latest.value(it.key()), it.value());
        };
        for (int i = 0; i < 50; ++i)
            merge(recorder.take());
        for (std::thread& thread : threads)
            thread.join();
        merge(recorder.take());
        QCOMPARE(latest.size(), 10);
        // The last thread's last note of each user is the latest of all.
        for (int u = 0; u < 10; ++u) {
            const int lastI = kNotes - ((kNotes - u) % 10);
            QCOMPARE(latest.value(QStringLiteral("user%1").arg(u)),
                     qint64(kThreads - 1) * kNotes + lastI);
        }
        QVERIFY(recorder.take().isEmpty());
    }

    void writeIntervalSetting_data() {
        QTest::addColumn<QVariant>("value");
        QTest::addColumn<int>("seconds");
        QTest::newRow("absent") << QVariant() << 600;
        QTest::newRow("shortened") << QVariant(QStringLiteral("2")) << 2;
        QTest::newRow("zero") << QVariant(QStringLiteral("0")) << 600;
        QTest::newRow("negative") << QVariant(QStringLiteral("-5")) << 600;
        QTest::newRow("words") << QVariant(QStringLiteral("often")) << 600;
        QTest::newRow("beyond a week") << QVariant(QStringLiteral("99999999")) << 7 * 24 * 3600;
    }
    void writeIntervalSetting() {
        QFETCH(QVariant, value);
        QFETCH(int, seconds);
        QTemporaryDir dir;
        QSettings settings(dir.filePath(QStringLiteral("s.ini")), QSettings::IniFormat);
        if (value.isValid())
            settings.setValue(QLatin1String(trevok::listener_settings::kLastSeenWriteSeconds),
                              value);
        QCOMPARE(trevok::lastSeenWriteSecondsFromSettings(settings), seconds);
    }
};

QTEST_GUILESS_MAIN(TestSyncHealthLogic)
#include "tst_sync_health_logic.moc"
