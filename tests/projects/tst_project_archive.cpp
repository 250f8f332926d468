#include "app/ArchiveHooks.h"
#include "chrome/UserDefaults.h"
#include "projects/ProjectArrayController.h"
#include "records/ProjectModel.h"
#include "records/ProjectNames.h"
#include "services/Alerts.h"
#include "services/NotificationCenter.h"
#include "services/ShownText.h"
#include "store/CouchDatabase.h"
#include "store/CouchDocument.h"
#include "store/CouchPersistentReplication.h"
#include "store/CouchServer.h"
#include "tests/harness/ConsoleFixture.h"
#include "tests/harness/ProjectActions.h"
#include "tests/harness/TestServer.h"

#include <QDialog>
#include <QJsonArray>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QTableView>
#include <QTest>

using namespace trevok::test;
namespace alerts = trevok::alerts_for_testing;

namespace {

QJsonObject getObject(const QString& path) {
    return TestServer::getJson(path).object();
}

int status(const QString& path) {
    return TestServer::request("GET", path).status;
}

QByteArray json(const QJsonObject& object) {
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

// Replication documents of `_replicator`, design documents left out.
QList<QJsonObject> replications() {
    return TestServer::documents(QStringLiteral("_replicator"));
}

int replicationsTouching(const QString& db) {
    int count = 0;
    for (const QJsonObject& doc : replications()) {
        if (doc.value(QStringLiteral("source")).toString() == db ||
            doc.value(QStringLiteral("target")).toString() == db)
            ++count;
    }
    return count;
}

int replicationsBetween(const QString& source, const QString& target) {
    int count = 0;
    for (const QJsonObject& doc : replications()) {
        if (doc.value(QStringLiteral("source")).toString() == source &&
            doc.value(QStringLiteral("target")).toString() == target)
            ++count;
    }
    return count;
}

// The documents of a database, design documents left out.
QList<QJsonObject> documents(const QString& db) {
    return TestServer::documents(db);
}

QList<QJsonObject> deletionNotices(const QString& db) {
    QList<QJsonObject> notices;
    for (const QJsonObject& doc : documents(db)) {
        if (doc.value(QStringLiteral("title"))
                .toString()
                .endsWith(QStringLiteral(" DeletionNotice")))
            notices.append(doc);
    }
    return notices;
}

// Whether the database's change feed has the document as deleted.
bool deletedIn(const QString& db, const QString& id) {
    const QJsonArray results = getObject(QStringLiteral("/%1/_changes").arg(db))
                                   .value(QStringLiteral("results"))
                                   .toArray();
    for (const QJsonValue& change : results) {
        if (change.toObject().value(QStringLiteral("id")).toString() == id)
            return change.toObject().value(QStringLiteral("deleted")).toBool();
    }
    return false;
}

void putUser(const QString& name) {
    const QJsonObject doc{{QStringLiteral("name"), name},
                          {QStringLiteral("password"), QStringLiteral("pw")},
                          {QStringLiteral("roles"), QJsonArray()},
                          {QStringLiteral("type"), QStringLiteral("user")},
                          {QStringLiteral("firstName"), name},
                          {QStringLiteral("lastName"), QStringLiteral("Tester")}};
    QVERIFY(TestServer::putDocument(QStringLiteral("_users"),
                                    QStringLiteral("org.couchdb.user:") + name, json(doc)));
    QVERIFY(TestServer::createDatabase(QStringLiteral("trevok_user_db_") + name));
}

const QString kMaster = QStringLiteral("trevok_master");

} // namespace

// Archiving, emptying and permanent deletion of projects, against the real
// bundled server and its replications.
class TestProjectArchive : public QObject {
    Q_OBJECT

    TestServer m_server;
    std::unique_ptr<ConsoleFixture> m_console;

    AppDelegate& app() { return m_console->app(); }

    QString createListedProject(const QString& title) {
        return trevok::test::createListedProject(app(), title);
    }

    int rowOf(const QString& projectID) { return projectRow(app(), projectID); }

    void selectProject(const QString& projectID) {
        QVERIFY(trevok::test::selectProject(app(), projectID));
    }

    void addMember(const QString& name) {
        QVERIFY(trevok::test::addMember(app(), name));
        app().closeUserPicker();
    }

    // A project document written into the master database, as a client's
    // user-to-master replication would bring it; waits until it has reached
    // the databases named.
    void putNote(const QString& id, const QString& projectID, const QStringList& reaching) {
        QVERIFY(TestServer::putDocument(kMaster, id,
                                        json({{QStringLiteral("type"), QStringLiteral("Note")},
                                              {QStringLiteral("projectID"), projectID}})));
        for (const QString& db : reaching)
            QTRY_COMPARE_WITH_TIMEOUT(status(QStringLiteral("/%1/%2").arg(db, id)), 200, 20000);
    }

    void archiveSelected() {
        alerts::answerNextAlerts(1);
        app().archiveProject();
    }

    QString statusText() {
        return trevok::fullLabelText(m_console->find<QLabel>("projectStatusLabel"));
    }

private Q_SLOTS:
    void initTestCase() {
        QVERIFY(m_server.start());
        ConsoleFixture::clearUserDefaults();
        ConsoleFixture::checkTableModels();
        putUser(QStringLiteral("anna"));
        putUser(QStringLiteral("ben"));
    }

    void init() {
        alerts::shownFailures().clear();
        alerts::shownConfirmations().clear();
        alerts::answerNextAlerts(std::nullopt);
        trevok::projects_for_testing::setAfterArchiveDatabaseCreated({});
        m_console = std::make_unique<ConsoleFixture>();
        m_console->startUp();
        QVERIFY(m_console->logIn());
    }

    void cleanup() { m_console.reset(); }

    void alertsAskOnlyWhenThereIsSomethingToDo_data() {
        QTest::addColumn<QString>("action");
        QTest::addColumn<QString>("situation");
        for (const char* action : {"archive", "delete"}) {
            for (const char* situation : {"cancelled", "sheet open", "logged out", "no selection"})
                QTest::addRow("%s, %s", action, situation)
                    << QString::fromLatin1(action) << QString::fromLatin1(situation);
        }
        QTest::addRow("permanent deletion, no selection")
            << QStringLiteral("permanent") << QStringLiteral("no selection");
    }
    void alertsAskOnlyWhenThereIsSomethingToDo() {
        QFETCH(QString, action);
        QFETCH(QString, situation);
        static QString id;
        if (id.isEmpty())
            id = createListedProject(QStringLiteral("Untouched"));
        QVERIFY(!id.isEmpty());
        const QString db = QStringLiteral("trevok_project_untouched");
        const QString rev = getObject(QStringLiteral("/%1/%2").arg(db, id))
                                .value(QStringLiteral("_rev"))
                                .toString();
        const int dbsBefore = int(TestServer::getJson(QStringLiteral("/_all_dbs")).array().size());
        const int replicationsBefore = int(replications().size());

        std::unique_ptr<ConsoleFixture> loggedOut;
        AppDelegate* console = &app();
        if (situation != QLatin1String("no selection"))
            selectProject(id);
        if (situation == QLatin1String("sheet open"))
            app().activateProjectSheet();
        if (situation == QLatin1String("logged out")) {
            loggedOut = std::make_unique<ConsoleFixture>();
            loggedOut->startUp();
            console = &loggedOut->app();
        }
        alerts::answerNextAlerts(-1);
        if (action == QLatin1String("archive"))
            console->archiveProject();
        else if (action == QLatin1String("delete"))
            console->deleteProject();
        else
            console->deleteProjectPermanently();
        const bool asked = situation == QLatin1String("cancelled");
        QCOMPARE(alerts::shownConfirmations().size(), asked ? 1 : 0);
        if (situation == QLatin1String("no selection"))
            QVERIFY(statusText().contains(QStringLiteral("Select a project")));
        // Even answered "Archive Project"/"Delete Project", nothing selected is nothing to do.
        if (situation == QLatin1String("no selection")) {
            app().archiveProjectModalEnded(1);
            app().deleteProjectModalEnded(1);
            app().emptyProjectAndMarkAsDeleted();
        }
        if (app().projectSheet())
            app().closeProjectSheet();
        QTest::qWait(300);
        QCOMPARE(getObject(QStringLiteral("/%1/%2").arg(db, id))
                     .value(QStringLiteral("_rev"))
                     .toString(),
                 rev);
        QVERIFY(deletionNotices(db).isEmpty());
        QCOMPARE(int(TestServer::getJson(QStringLiteral("/_all_dbs")).array().size()), dbsBefore);
        QCOMPARE(int(replications().size()), replicationsBefore);
        QVERIFY(app().archivesInProgress().isEmpty());
        QVERIFY(alerts::shownFailures().isEmpty());
    }

    void completedArchiveKeepsACopyAndEmptiesTheProject() {
        const QString id = createListedProject(QStringLiteral("Alpha"));
        QVERIFY(!id.isEmpty());
        const QString db = QStringLiteral("trevok_project_alpha");
        const QString archiveDB = QStringLiteral("archived_trevok_project_alpha");
        const QString annaDB = QStringLiteral("trevok_user_db_anna");
        selectProject(id);
        addMember(QStringLiteral("anna"));
        putNote(QStringLiteral("alpha-note"), id, {db, annaDB});

        // A burst of reports once the copy has completed empties it once.
        selectProject(id);
        archiveSelected();
        CouchPersistentReplication* archive = app().archive();
        QVERIFY(archive);
        QCOMPARE(app().archivesInProgress(), QList<CouchPersistentReplication*>{archive});
        QCOMPARE(archive->source(), db);
        QCOMPARE(archive->target(), archiveDB);
        QVERIFY(!archive->continuous());
        connect(archive, &CouchPersistentReplication::stateChanged, this, [archive] {
            for (int i = 0; i < 3; ++i) {
                Q_EMIT archive->modeChanged();
                Q_EMIT archive->completedChanged();
            }
        });
        QTRY_VERIFY_WITH_TIMEOUT(app().archivesInProgress().isEmpty(), 30000);
        QVERIFY2(alerts::shownFailures().isEmpty(),
                 qPrintable(alerts::shownFailures().join(u'\n')));
        for (int i = 0; i < 3; ++i)
            app().observeValueForKeyPath(QStringLiteral("mode"), archive);
        QTest::qWait(500);
        QCOMPARE(deletionNotices(db).size(), 1);

        // The copy holds the records already marked.
        const QJsonObject copied = getObject(QStringLiteral("/%1/%2").arg(archiveDB, id));
        QCOMPARE(copied.value(QStringLiteral("archived")), QJsonValue(true));
        QCOMPARE(status(QStringLiteral("/%1/alpha-note").arg(archiveDB)), 200);
        QCOMPARE(replicationsBetween(db, archiveDB), 0);
        QCOMPARE(status(QStringLiteral("/_replicator/") + archive->document()->documentID()), 404);

        // Still listed, marked archived and not deleted.
        const QJsonObject master = getObject(QStringLiteral("/trevok_master/") + id);
        QCOMPARE(master.value(QStringLiteral("archived")), QJsonValue(true));
        QCOMPARE(master.value(QStringLiteral("wasDeleted")), QJsonValue(false));
        QVERIFY(rowOf(id) >= 0);
        QTRY_COMPARE_WITH_TIMEOUT(
            getObject(QStringLiteral("/%1/%2").arg(db, id)).value(QStringLiteral("wasDeleted")),
            QJsonValue(false), 20000);
        QCOMPARE(getObject(QStringLiteral("/%1/%2").arg(db, id)).value(QStringLiteral("archived")),
                 QJsonValue(true));

        // The project database and its replications stay; its documents go everywhere.
        QCOMPARE(status(QStringLiteral("/") + db), 200);
        QCOMPARE(replicationsBetween(db, kMaster), 1);
        QCOMPARE(replicationsBetween(kMaster, db), 1);
        QCOMPARE(replicationsBetween(db, annaDB), 1);
        QVERIFY(deletedIn(kMaster, QStringLiteral("alpha-note")));
        QTRY_VERIFY_WITH_TIMEOUT(deletedIn(db, QStringLiteral("alpha-note")), 20000);
        QTRY_VERIFY_WITH_TIMEOUT(deletedIn(annaDB, QStringLiteral("alpha-note")), 20000);
        QVERIFY(statusText().contains(QStringLiteral("was archived")));
    }

    void archivesCompleteEachForItsOwnProject() {
        const QString beta = createListedProject(QStringLiteral("Beta"));
        const QString gamma = createListedProject(QStringLiteral("Gamma"));
        const QString delta = createListedProject(QStringLiteral("Delta"));
        QVERIFY(!beta.isEmpty() && !gamma.isEmpty() && !delta.isEmpty());
        putNote(QStringLiteral("beta-note"), beta, {QStringLiteral("trevok_project_beta")});
        putNote(QStringLiteral("gamma-note"), gamma, {QStringLiteral("trevok_project_gamma")});
        putNote(QStringLiteral("delta-note"), delta, {QStringLiteral("trevok_project_delta")});

        // A one-shot copy that is not an archive: its completion is no concern of the console.
        QVERIFY(TestServer::createDatabase(QStringLiteral("scratch_copy")));
        CouchPersistentReplication* other =
            app()
                .server()
                ->databaseNamed(QStringLiteral("trevok_project_delta"))
                ->replicationToDatabaseAtURL(QStringLiteral("scratch_copy"));
        QVERIFY(other->start()->wait());
        QTRY_COMPARE_WITH_TIMEOUT(other->state(), int(CouchPersistentReplication::StateCompleted),
                                  20000);

        // Two archives at once; the selection moves on while they copy.
        selectProject(beta);
        archiveSelected();
        CouchPersistentReplication* first = app().archive();
        selectProject(gamma);
        archiveSelected();
        CouchPersistentReplication* second = app().archive();
        QVERIFY(first && second && first != second);
        QCOMPARE(app().archivesInProgress().size(), 2);
        // Archiving again what is being archived starts no second copy.
        archiveSelected();
        QCOMPARE(app().archive(), second);
        QCOMPARE(app().archivesInProgress().size(), 2);
        selectProject(delta);
        app().observeValueForKeyPath(QStringLiteral("completed"), other);

        QTRY_VERIFY_WITH_TIMEOUT(app().archivesInProgress().isEmpty(), 30000);
        QVERIFY2(alerts::shownFailures().isEmpty(),
                 qPrintable(alerts::shownFailures().join(u'\n')));
        for (const QString& stem : {QStringLiteral("beta"), QStringLiteral("gamma")}) {
            QCOMPARE(status(QStringLiteral("/archived_trevok_project_") + stem), 200);
            QCOMPARE(deletionNotices(QStringLiteral("trevok_project_") + stem).size(), 1);
            QVERIFY(deletedIn(kMaster, stem + QStringLiteral("-note")));
        }
        // The project selected meanwhile keeps everything.
        QCOMPARE(status(QStringLiteral("/trevok_master/delta-note")), 200);
        QVERIFY(deletionNotices(QStringLiteral("trevok_project_delta")).isEmpty());
        QVERIFY(!getObject(QStringLiteral("/trevok_master/") + delta)
                     .contains(QStringLiteral("wasDeleted")));
        QCOMPARE(pxUserDefaults().value(QStringLiteral("CurrentProjectID")).toString(), delta);
        // The other replication was left alone.
        QCOMPARE(status(QStringLiteral("/_replicator/") + other->document()->documentID()), 200);
    }

    void archiveThatFailsIsToldAndLeavesTheProjectAlone() {
        const QString id = createListedProject(QStringLiteral("Broken Copy"));
        QVERIFY(!id.isEmpty());
        const QString db = QStringLiteral("trevok_project_brokencopy");
        const QString archiveDB = QStringLiteral("archived_trevok_project_brokencopy");
        putNote(QStringLiteral("broken-note"), id, {db});
        trevok::projects_for_testing::setAfterArchiveDatabaseCreated(
            [&archiveDB] { TestServer::request("DELETE", QStringLiteral("/") + archiveDB); });
        selectProject(id);
        archiveSelected();
        CouchPersistentReplication* archive = app().archive();
        QVERIFY(archive);
        QTRY_COMPARE_WITH_TIMEOUT(alerts::shownFailures().size(), 1, 30000);
        QVERIFY2(alerts::shownFailures().first().contains(QStringLiteral("could not be archived")),
                 qPrintable(alerts::shownFailures().first()));
        QVERIFY2(alerts::shownFailures().first().contains(archiveDB),
                 qPrintable(alerts::shownFailures().first()));
        QCOMPARE(archive->state(), int(CouchPersistentReplication::StateError));
        // Marked, not emptied, the replication kept; told once.
        QCOMPARE(getObject(QStringLiteral("/%1/%2").arg(db, id)).value(QStringLiteral("archived")),
                 QJsonValue(true));
        QVERIFY(deletionNotices(db).isEmpty());
        QCOMPARE(status(QStringLiteral("/trevok_master/broken-note")), 200);
        QCOMPARE(status(QStringLiteral("/_replicator/") + archive->document()->documentID()), 200);
        app().observeValueForKeyPath(QStringLiteral("error"), archive);
        QTest::qWait(500);
        QCOMPARE(alerts::shownFailures().size(), 1);
        QCOMPARE(app().archivesInProgress(), QList<CouchPersistentReplication*>{archive});

        // Deleting the project permanently ends the watch with the replication.
        selectProject(id);
        app().deleteProjectPermanently();
        QCOMPARE(alerts::shownFailures().size(), 1);
        QVERIFY(app().archivesInProgress().isEmpty());
        QCOMPARE(status(QStringLiteral("/_replicator/") + archive->document()->documentID()), 404);
    }

    void deletionEmptiesTheProject_data() {
        QTest::addColumn<QString>("title");
        QTest::addColumn<bool>("withArchivedField");
        QTest::newRow("active record") << QStringLiteral("Epsilon") << true;
        QTest::newRow("record without archived field") << QStringLiteral("Legacy") << false;
    }
    void deletionEmptiesTheProject() {
        QFETCH(QString, title);
        QFETCH(bool, withArchivedField);
        const QString id = createListedProject(title);
        QVERIFY(!id.isEmpty());
        const QString stem = trevok::projects::databaseStem(title);
        const QString db = trevok::projects::projectDatabaseName(stem);
        const QString benDB = QStringLiteral("trevok_user_db_ben");
        selectProject(id);
        addMember(QStringLiteral("ben"));
        const QString note = stem + QStringLiteral("-note");
        putNote(note, id, {db, benDB});
        if (!withArchivedField) {
            // A record written before records carried the field.
            QJsonObject record = getObject(QStringLiteral("/%1/%2").arg(db, id));
            record.remove(QStringLiteral("archived"));
            QVERIFY(TestServer::putDocument(db, id, json(record)));
            QTRY_VERIFY_WITH_TIMEOUT(!getObject(QStringLiteral("/trevok_master/") + id)
                                          .contains(QStringLiteral("archived")),
                                     20000);
        }
        selectProject(id);
        alerts::answerNextAlerts(1);
        app().deleteProject();
        QVERIFY2(alerts::shownFailures().isEmpty(),
                 qPrintable(alerts::shownFailures().join(u'\n')));

        const QList<QJsonObject> notices = deletionNotices(db);
        QCOMPARE(notices.size(), 1);
        QCOMPARE(notices.first().value(QStringLiteral("title")).toString(),
                 title + QStringLiteral(" DeletionNotice"));
        QCOMPARE(notices.first().value(QStringLiteral("wasDeleted")), QJsonValue(1));
        QCOMPARE(
            getObject(QStringLiteral("/trevok_master/") + id).value(QStringLiteral("wasDeleted")),
            QJsonValue(!withArchivedField));
        if (withArchivedField) {
            QVERIFY(rowOf(id) >= 0);
        } else {
            QTRY_COMPARE_WITH_TIMEOUT(rowOf(id), -1, 20000);
        }
        QVERIFY(deletedIn(kMaster, note));
        QTRY_VERIFY_WITH_TIMEOUT(deletedIn(db, note), 20000);
        QTRY_VERIFY_WITH_TIMEOUT(deletedIn(benDB, note), 20000);
        // The notice reaches the master database, where it is not listed.
        const QString noticeID = notices.first().value(QStringLiteral("_id")).toString();
        QTRY_COMPARE_WITH_TIMEOUT(status(QStringLiteral("/trevok_master/") + noticeID), 200, 20000);
        QCOMPARE(rowOf(noticeID), -1);
        QCOMPARE(status(QStringLiteral("/") + db), 200);
    }

    void archiveAfterDeletionPassesOverTheNotice() {
        const QString id = createListedProject(QStringLiteral("Twice"));
        QVERIFY(!id.isEmpty());
        const QString db = QStringLiteral("trevok_project_twice");
        selectProject(id);
        alerts::answerNextAlerts(1);
        app().deleteProject();
        QCOMPARE(deletionNotices(db).size(), 1);
        // The notice is a project-type document without `projectID`.
        selectProject(id);
        archiveSelected();
        QTRY_VERIFY_WITH_TIMEOUT(app().archivesInProgress().isEmpty(), 30000);
        QVERIFY2(alerts::shownFailures().isEmpty(),
                 qPrintable(alerts::shownFailures().join(u'\n')));
        QCOMPARE(deletionNotices(db).size(), 2);
        QCOMPARE(getObject(QStringLiteral("/archived_trevok_project_twice/") + id)
                     .value(QStringLiteral("archived")),
                 QJsonValue(true));
    }

    void writesToWhatIsGoneArePassedOver() {
        const QString id = createListedProject(QStringLiteral("Vanished"));
        QVERIFY(!id.isEmpty());
        const QString db = QStringLiteral("trevok_project_vanished");
        putNote(QStringLiteral("vanished-note"), id, {db});
        // Removed behind the console's back: the notice has nowhere to go.
        QCOMPARE(TestServer::request("DELETE", QStringLiteral("/") + db).status, 200);
        selectProject(id);
        alerts::answerNextAlerts(1);
        app().deleteProject();
        QVERIFY2(alerts::shownFailures().isEmpty(),
                 qPrintable(alerts::shownFailures().join(u'\n')));
        QVERIFY(deletedIn(kMaster, QStringLiteral("vanished-note")));
        QCOMPARE(
            getObject(QStringLiteral("/trevok_master/") + id).value(QStringLiteral("wasDeleted")),
            QJsonValue(false));
        // And permanently: the database and its documents are gone already.
        selectProject(id);
        app().deleteProjectPermanently();
        QVERIFY2(alerts::shownFailures().isEmpty(),
                 qPrintable(alerts::shownFailures().join(u'\n')));
        QCOMPARE(status(QStringLiteral("/trevok_master/") + id), 404);
        QCOMPARE(replicationsTouching(db), 0);
    }

    void permanentDeletionRemovesTheProjectAndKeepsItsArchive() {
        const QString id = createListedProject(QStringLiteral("Zeta"));
        QVERIFY(!id.isEmpty());
        const QString db = QStringLiteral("trevok_project_zeta");
        // A member of this project alone: every deletion in the master
        // database reaches the members of every project.
        putUser(QStringLiteral("zoe"));
        const QString annaDB = QStringLiteral("trevok_user_db_zoe");
        selectProject(id);
        addMember(QStringLiteral("zoe"));
        selectProject(id);
        archiveSelected();
        QTRY_VERIFY_WITH_TIMEOUT(app().archivesInProgress().isEmpty(), 30000);
        putNote(QStringLiteral("zeta-after"), id, {db, annaDB});
        QTest::qWait(1000);
        const QJsonObject annaBefore = getObject(QStringLiteral("/") + annaDB);

        selectProject(id);
        app().deleteProjectPermanently();
        QVERIFY2(alerts::shownFailures().isEmpty(),
                 qPrintable(alerts::shownFailures().join(u'\n')));
        QVERIFY(app().archivesInProgress().isEmpty());
        QCOMPARE(replicationsTouching(db), 0);
        QCOMPARE(status(QStringLiteral("/") + db), 404);
        QCOMPARE(status(QStringLiteral("/trevok_master/_design/zeta")), 404);
        QCOMPARE(status(QStringLiteral("/trevok_master/") + id), 404);
        QCOMPARE(status(QStringLiteral("/trevok_master/zeta-after")), 404);
        QCOMPARE(status(QStringLiteral("/archived_trevok_project_zeta")), 200);
        QTRY_COMPARE_WITH_TIMEOUT(rowOf(id), -1, 20000);
        // The master's own design documents stay.
        QCOMPARE(status(QStringLiteral("/trevok_master/_design/projectmeta")), 200);
        // The member keeps what it received.
        QTest::qWait(2000);
        const QJsonObject annaAfter = getObject(QStringLiteral("/") + annaDB);
        QCOMPARE(annaAfter.value(QStringLiteral("update_seq")),
                 annaBefore.value(QStringLiteral("update_seq")));
        QCOMPARE(status(QStringLiteral("/%1/zeta-after").arg(annaDB)), 200);
        QVERIFY(statusText().contains(QStringLiteral("deleted permanently")));
    }

    void memberReplicationKeepsTheMastersProjectList() {
        const QJsonObject masterMeta =
            getObject(QStringLiteral("/trevok_master/_design/projectmeta"));
        const QJsonValue listView = masterMeta.value(QStringLiteral("views"))
                                        .toObject()
                                        .value(QStringLiteral("all_projects"));
        QVERIFY(listView.isObject());
        // A user as user creation lays it out: its database replicates into the master.
        const QString user = QStringLiteral("dora");
        const QString userDB = QStringLiteral("trevok_user_db_dora");
        putUser(user);
        QVERIFY(TestServer::putDocument(
            userDB, QStringLiteral("_design/security"),
            json({{QStringLiteral("filters"),
                   QJsonObject{{QStringLiteral("user_to_master_filter"),
                                QStringLiteral("function(doc, req) {{if (doc._deleted) { return "
                                               "true; }};{if (doc.type == 'UserInfoDoc') { return "
                                               "false; } else { return true; }}}")}}}})));
        QVERIFY(TestServer::putDocument(
            QStringLiteral("_replicator"), QStringLiteral("dora-to-master"),
            json({{QStringLiteral("source"), userDB},
                  {QStringLiteral("target"), kMaster},
                  {QStringLiteral("filter"), QStringLiteral("security/user_to_master_filter")},
                  {QStringLiteral("continuous"), true}})));

        const QString id = createListedProject(QStringLiteral("Eta"));
        QVERIFY(!id.isEmpty());
        // The project's own design document with a view of the same name.
        selectProject(id);
        archiveSelected();
        QTRY_VERIFY_WITH_TIMEOUT(app().archivesInProgress().isEmpty(), 30000);
        selectProject(id);
        addMember(user);
        QTRY_COMPARE_WITH_TIMEOUT(status(QStringLiteral("/%1/%2").arg(userDB, id)), 200, 20000);
        // Written after the member replication ran: once it reaches the
        // master, so would have the design document.
        QVERIFY(TestServer::putDocument(userDB, QStringLiteral("dora-sentinel"),
                                        json({{QStringLiteral("type"), QStringLiteral("Note")}})));
        QTRY_COMPARE_WITH_TIMEOUT(status(QStringLiteral("/trevok_master/dora-sentinel")), 200,
                                  20000);
        QCOMPARE(status(QStringLiteral("/%1/_design/projectmeta").arg(userDB)), 404);
        QCOMPARE(getObject(QStringLiteral("/trevok_master/_design/projectmeta"))
                     .value(QStringLiteral("views"))
                     .toObject()
                     .value(QStringLiteral("all_projects")),
                 listView);
        QVERIFY(rowOf(id) >= 0);
    }
};

QTEST_MAIN(TestProjectArchive)
#include "tst_project_archive.moc"
