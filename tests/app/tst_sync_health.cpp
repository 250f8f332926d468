#include "app/AppDelegate.h"
#include "app/LastSeenWriter.h"
#include "chrome/UserDefaults.h"
#include "lists/UserQuery.h"
#include "projects/MembersListModel.h"
#include "server/ListenerSettings.h"
#include "server/SyncListener.h"
#include "services/ReplicationHealth.h"
#include "services/ShownText.h"
#include "tests/harness/ConsoleFixture.h"
#include "tests/harness/ProjectActions.h"
#include "tests/harness/SyncClient.h"
#include "tests/harness/TestServer.h"
#include "tests/harness/UserActions.h"
#include "users/UserArrayController.h"

#include <QAction>
#include <QHeaderView>
#include <QJsonArray>
#include <QLabel>
#include <QListView>
#include <QMenu>
#include <QTableView>
#include <QTest>

#include <memory>

using trevok::test::ConsoleFixture;
using trevok::test::SyncClient;
using trevok::test::TestServer;

namespace {
const QString kMaster = QStringLiteral("trevok_master");

QJsonObject userRecord(const QString& name) {
    return TestServer::getJson(QStringLiteral("/_users/org.couchdb.user:") + name).object();
}

QByteArray json(const QJsonObject& object) {
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}
} // namespace

class TestSyncHealth : public QObject {
    Q_OBJECT
private:
    TestServer m_server;
    std::unique_ptr<ConsoleFixture> m_console;
    AppDelegate& app() { return m_console->app(); }

    bool addUser(const QString& name, const QString& password) {
        return trevok::test::addUser(app(), name, name.at(0).toUpper() + name.mid(1),
                                     QStringLiteral("Example"), password);
    }

    int userRow(const QString& name) {
        UserArrayController* users = app().userTableController();
        for (int row = 0; row < users->rowCount(); ++row)
            if (users->nameAtRow(row) == name)
                return row;
        return -1;
    }

    QString cell(const QString& name, int column) {
        const int row = userRow(name);
        if (row < 0)
            return QStringLiteral("(not listed)");
        UserArrayController* users = app().userTableController();
        return users->data(users->index(row, column)).toString();
    }

    QString listenerUrl() {
        return QStringLiteral("http://127.0.0.1:%1").arg(app().listener()->port());
    }

private Q_SLOTS:
    void initTestCase() { QVERIFY(m_server.start()); }

    void init() {
        ConsoleFixture::clearUserDefaults();
        pxUserDefaults().setValue(QLatin1String(trevok::listener_settings::kLastSeenWriteSeconds),
                                  2);
        m_console = std::make_unique<ConsoleFixture>();
        m_console->startUp();
        QVERIFY(m_console->logIn());
        QVERIFY(app().listener());
    }

    void cleanup() { m_console.reset(); }

    // The new columns are at the end, named in words, with their outlet names
    // as descriptions; nothing before them moved.
    void columnsAndNames() {
        UserArrayController* users = app().userTableController();
        QCOMPARE(users->columnCount(), 6);
        QCOMPARE(users->headerData(0, Qt::Horizontal).toString(), QStringLiteral("User name"));
        QCOMPARE(users->headerData(3, Qt::Horizontal).toString(), QStringLiteral("Created"));
        QCOMPARE(users->headerData(4, Qt::Horizontal).toString(), QStringLiteral("Last seen"));
        QCOMPARE(users->headerData(5, Qt::Horizontal).toString(), QStringLiteral("Sync"));
        QCOMPARE(users->headerData(4, Qt::Horizontal, Qt::AccessibleDescriptionRole).toString(),
                 QStringLiteral("lastSeenColumn"));
        QCOMPARE(users->headerData(5, Qt::Horizontal, Qt::AccessibleDescriptionRole).toString(),
                 QStringLiteral("syncColumn"));
        for (const char* name :
             {"projectSyncField", "usersStatusLabel", "replicationsRunning", "replicationsInError",
              "replicationsRunningLabel", "replicationsInErrorLabel"}) {
            auto* label = m_console->find<QLabel>(name);
            QVERIFY2(label, name);
            QCOMPARE(label->accessibleDescription(), QString::fromLatin1(name));
            QVERIFY2(!label->accessibleName().isEmpty(), name);
        }
        QMenu* menu = app().replicationMenu(QStringLiteral("a"), QStringLiteral("b"), 1);
        const QList<QAction*> actions = menu->actions();
        QCOMPARE(actions.size(), 1);
        QCOMPARE(actions.first()->text(), QStringLiteral("Restart replication"));
        // Nothing in error there: offered, not usable.
        QVERIFY(!actions.first()->isEnabled());
        delete menu;
    }

    // A sync client reaching the listener makes "Last seen" change; the write
    // keeps every other field of the record.
    void lastSeenFromSyncClient() {
        QVERIFY(addUser(QStringLiteral("carl"), QStringLiteral("carl-pw")));
        QTRY_COMPARE_WITH_TIMEOUT(cell(QStringLiteral("carl"), UserArrayController::LastSeenColumn),
                                  QStringLiteral("never"), 20000);
        const QJsonObject before = userRecord(QStringLiteral("carl"));
        QVERIFY(before.contains(QStringLiteral("lastConnected")));

        SyncClient client(listenerUrl(), QStringLiteral("carl"), QStringLiteral("carl-pw"));
        QVERIFY(client.isReady());
        QVERIFY(client
                    .put({{QStringLiteral("_id"), QStringLiteral("note-1")},
                          {QStringLiteral("text"), QStringLiteral("hello")}})
                    .value(QStringLiteral("ok"))
                    .toBool());
        QTRY_COMPARE_WITH_TIMEOUT(cell(QStringLiteral("carl"), UserArrayController::LastSeenColumn),
                                  QStringLiteral("just now"), 20000);

        const QJsonObject after = userRecord(QStringLiteral("carl"));
        QVERIFY(after.value(QStringLiteral("lastConnected")).toString() >
                before.value(QStringLiteral("lastConnected")).toString());
        for (const char* field : {"name", "firstName", "lastName", "type", "owner", "created",
                                  "serverID", "roles", "derived_key", "salt"})
            QVERIFY2(after.value(QLatin1String(field)) == before.value(QLatin1String(field)),
                     field);
        // The account still works with its password.
        QCOMPARE(TestServer::request("GET", QStringLiteral("/_session"), {}, QStringLiteral("carl"),
                                     QStringLiteral("carl-pw"))
                     .status,
                 200);

        // A later sighting, once the (shortened) interval has passed, moves it on.
        const QString first = after.value(QStringLiteral("lastConnected")).toString();
        QTest::qWait(2500);
        QVERIFY(client.put({{QStringLiteral("_id"), QStringLiteral("note-2")}})
                    .value(QStringLiteral("ok"))
                    .toBool());
        QTRY_VERIFY_WITH_TIMEOUT(
            userRecord(QStringLiteral("carl")).value(QStringLiteral("lastConnected")).toString() >
                first,
            20000);
    }

    // The administrator's own requests never count as a user being seen, and
    // a user whose record is gone only costs a log line.
    void adminAndMissingRecord() {
        const QString url = listenerUrl() + QStringLiteral("/_session");
        QCOMPARE(TestServer::createSyncUser(QStringLiteral("ghost")), true);
        // Seen, then removed before the console writes.
        app().lastSeenRecorder()->seen(QStringLiteral("ghost"),
                                       QDateTime::currentMSecsSinceEpoch());
        const QJsonObject ghost = userRecord(QStringLiteral("ghost"));
        QCOMPARE(
            TestServer::request("DELETE", QStringLiteral("/_users/org.couchdb.user:ghost?rev=") +
                                              ghost.value(QStringLiteral("_rev")).toString())
                .status,
            200);
        QTest::ignoreMessage(QtWarningMsg,
                             QRegularExpression(QStringLiteral("last connection of “ghost”")));
        app().lastSeenWriter()->flush();
        QTRY_VERIFY_WITH_TIMEOUT(
            userRecord(QStringLiteral("ghost")).isEmpty() ||
                userRecord(QStringLiteral("ghost")).contains(QStringLiteral("error")),
            5000);
        QTest::qWait(500);
        QCOMPARE(app().lastSeenWriter()->writesDone(), 0);
        QVERIFY(!TestServer::getJson(QStringLiteral("/_users/org.couchdb.user:ghost"))
                     .object()
                     .contains(QStringLiteral("lastConnected")));
        Q_UNUSED(url);
    }

    // Users, their replications into the master database, and the totals on
    // the information tab.
    void usersTableAndTotals() {
        QVERIFY(addUser(QStringLiteral("dora"), QStringLiteral("dora-pw")));
        QTRY_COMPARE_WITH_TIMEOUT(cell(QStringLiteral("dora"), UserArrayController::SyncColumn),
                                  QStringLiteral("Running"), 20000);
        ReplicationHealth* health = app().replicationHealth();
        QTRY_VERIFY_WITH_TIMEOUT(health->runningCount() >= 1, 10000);
        QTRY_COMPARE_WITH_TIMEOUT(m_console->find<QLabel>("replicationsRunning")->text(),
                                  QString::number(health->runningCount()), 5000);
        QCOMPARE(m_console->find<QLabel>("replicationsInError")->text(),
                 QString::number(health->errorCount()));
        const int row = userRow(QStringLiteral("dora"));
        UserArrayController* users = app().userTableController();
        QCOMPARE(
            users->data(users->index(row, UserArrayController::SyncColumn), Qt::AccessibleTextRole)
                .toString(),
            QStringLiteral("Replication running, up to date"));
    }

    // A member's replication whose target database is removed by hand shows
    // its error beside the member; restarting it once the database is back
    // brings it to running, and documents flow again.
    void memberErrorAndRestart() {
        QVERIFY(addUser(QStringLiteral("erin"), QStringLiteral("erin-pw")));
        const QString projectID = trevok::test::createListedProject(app(), QStringLiteral("Kiln"));
        QVERIFY(!projectID.isEmpty());
        QVERIFY(trevok::test::selectProject(app(), projectID));
        QVERIFY(trevok::test::addMember(app(), QStringLiteral("erin")));
        app().closeUserPicker();
        app().listProjectUsers();
        auto* members = qobject_cast<MembersListModel*>(app().membersArrayController());
        QVERIFY(members);
        QCOMPARE(members->stringList(), QStringList{QStringLiteral("erin")});
        const QModelIndex erin = members->index(0);
        QTRY_COMPARE_WITH_TIMEOUT(erin.data(MembersListModel::SyncTextRole).toString(),
                                  QStringLiteral("Running"), 20000);
        auto* pair = m_console->find<QLabel>("projectSyncField");
        QTRY_VERIFY_WITH_TIMEOUT(pair->text().count(QStringLiteral("Running")) == 2, 20000);

        const QString project = QStringLiteral("trevok_project_kiln");
        const QString userDb = QStringLiteral("trevok_user_db_erin");
        QCOMPARE(TestServer::request("DELETE", QLatin1Char('/') + userDb).status, 200);
        QTRY_VERIFY_WITH_TIMEOUT(erin.data(MembersListModel::SyncTextRole)
                                     .toString()
                                     .startsWith(QStringLiteral("Error:")),
                                 5000 + ReplicationHealth::kMinPollMs);
        QVERIFY2(erin.data(MembersListModel::SyncTextRole).toString().contains(userDb),
                 qPrintable(erin.data(MembersListModel::SyncTextRole).toString()));
        QVERIFY(app().replicationHealth()->errorCount() >= 1);
        QTRY_COMPARE_WITH_TIMEOUT(m_console->find<QLabel>("replicationsInError")->text(),
                                  QString::number(app().replicationHealth()->errorCount()), 5000);
        QMenu* menu = app().replicationMenu(project, userDb, 0);
        QVERIFY(menu->actions().first()->isEnabled());
        delete menu;

        // The database back, as the administrator would make it.
        QVERIFY(TestServer::createDatabase(userDb));
        QVERIFY(app().restartReplication(project, userDb, 0));
        QVERIFY2(m_console->find<QLabel>("projectStatusLabel")
                     ->text()
                     .contains(QStringLiteral("restarted")),
                 qPrintable(trevok::fullLabelText(m_console->find<QLabel>("projectStatusLabel"))));
        // Only the console's fields, nothing the server had added.
        const QJsonArray rows =
            TestServer::getJson(QStringLiteral("/_replicator/_all_docs?include_docs=true"))
                .object()
                .value(QStringLiteral("rows"))
                .toArray();
        bool found = false;
        for (const QJsonValue& value : rows) {
            const QJsonObject doc = value.toObject().value(QStringLiteral("doc")).toObject();
            if (doc.value(QStringLiteral("target")).toString() != userDb)
                continue;
            found = true;
            QCOMPARE(doc.value(QStringLiteral("source")).toString(), project);
            QCOMPARE(doc.value(QStringLiteral("filter")).toString(),
                     QStringLiteral("projectmeta/project_to_user_filter"));
            QCOMPARE(doc.value(QStringLiteral("continuous")).toBool(), true);
        }
        QVERIFY(found);
        QTRY_COMPARE_WITH_TIMEOUT(erin.data(MembersListModel::SyncTextRole).toString(),
                                  QStringLiteral("Running"), 20000);
        QVERIFY(TestServer::putDocument(project, QStringLiteral("after-restart"),
                                        json({{QStringLiteral("projectID"), projectID},
                                              {QStringLiteral("text"), QStringLiteral("back")}})));
        QTRY_VERIFY_WITH_TIMEOUT(
            TestServer::request("GET", QLatin1Char('/') + userDb + QStringLiteral("/after-restart"))
                    .status == 200,
            20000);
    }

    // Restarting what does not exist, or failing to, is told in words.
    void restartWithoutReplication() {
        QVERIFY(!app().restartReplication(QStringLiteral("trevok_user_db_nobody"), kMaster, 1));
        QVERIFY2(trevok::fullLabelText(m_console->find<QLabel>("usersStatusLabel"))
                     .contains(QStringLiteral("no replication")),
                 qPrintable(trevok::fullLabelText(m_console->find<QLabel>("usersStatusLabel"))));
    }
};

QTEST_MAIN(TestSyncHealth)
#include "tst_sync_health.moc"
