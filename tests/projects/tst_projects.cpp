#include "chrome/UserDefaults.h"
#include "lists/ProjectQuery.h"
#include "projects/MembershipHooks.h"
#include "projects/ProjectArrayController.h"
#include "records/ProjectModel.h"
#include "records/ProjectNames.h"
#include "services/Alerts.h"
#include "services/NotificationCenter.h"
#include "services/ShownText.h"
#include "store/CouchDocument.h"
#include "store/CouchPersistentReplication.h"
#include "store/CouchQuery.h"
#include "tests/harness/ConsoleFixture.h"
#include "tests/harness/ProjectActions.h"
#include "tests/harness/TestServer.h"

#include <QDialog>
#include <QJsonArray>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QPushButton>
#include <QStringListModel>
#include <QTabWidget>
#include <QTableView>
#include <QTest>

using namespace trevok::test;

namespace {

QJsonObject getObject(const QString& path) {
    return TestServer::getJson(path).object();
}

int status(const QString& path) {
    return TestServer::request("GET", path).status;
}

QJsonArray allDbs() {
    return TestServer::getJson(QStringLiteral("/_all_dbs")).array();
}

// Replication documents of `_replicator`, design documents left out.
QList<QJsonObject> replications() {
    return TestServer::documents(QStringLiteral("_replicator"));
}

QList<QJsonObject> replicationsBetween(const QString& source, const QString& target) {
    QList<QJsonObject> found;
    for (const QJsonObject& doc : replications()) {
        if (doc.value(QStringLiteral("source")).toString() == source &&
            doc.value(QStringLiteral("target")).toString() == target)
            found.append(doc);
    }
    return found;
}

void putUser(const QString& name, const QString& first, const QString& last) {
    const QJsonObject doc{
        {QStringLiteral("name"), name},          {QStringLiteral("password"), QStringLiteral("pw")},
        {QStringLiteral("roles"), QJsonArray()}, {QStringLiteral("type"), QStringLiteral("user")},
        {QStringLiteral("firstName"), first},    {QStringLiteral("lastName"), last}};
    QVERIFY(TestServer::putDocument(QStringLiteral("_users"),
                                    QStringLiteral("org.couchdb.user:") + name,
                                    QJsonDocument(doc).toJson(QJsonDocument::Compact)));
    QVERIFY(TestServer::createDatabase(QStringLiteral("trevok_user_db_") + name));
}

QByteArray json(const QJsonObject& object) {
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

// Whether the database's change feed has the document as deleted.
bool deletedIn(const QString& dbPath, const QString& id) {
    const QJsonArray results =
        getObject(dbPath + QStringLiteral("/_changes")).value(QStringLiteral("results")).toArray();
    for (const QJsonValue& change : results) {
        if (change.toObject().value(QStringLiteral("id")).toString() == id)
            return change.toObject().value(QStringLiteral("deleted")).toBool();
    }
    return false;
}

} // namespace

// Project records, creation, the projects table and membership, against the
// real bundled server and its replications.
class TestProjects : public QObject {
    Q_OBJECT

    TestServer m_server;
    std::unique_ptr<ConsoleFixture> m_console;

    AppDelegate& app() { return m_console->app(); }

    // Types the title into a freshly opened sheet and confirms it.
    void typeProject(const QString& title) {
        app().activateProjectSheet();
        QVERIFY(app().projectSheet());
        app()
            .projectSheet()
            ->findChild<QLineEdit*>(QStringLiteral("tmpProjectNameField"))
            ->setText(title);
        app().createProject();
    }

    // Creates a project and waits until the projects table lists it; returns its ID.
    QString createListedProject(const QString& title) {
        return trevok::test::createListedProject(app(), title);
    }

    int rowOf(const QString& projectID) { return projectRow(app(), projectID); }

    void selectProject(const QString& projectID) {
        QVERIFY(trevok::test::selectProject(app(), projectID));
    }

    // Opens the user-picking panel and selects the user there.
    void pickUser(const QString& name) { QVERIFY(trevok::test::pickUser(app(), name)); }

    void addMember(const QString& name) { QVERIFY(trevok::test::addMember(app(), name)); }

    QStringList storedMembers(const QString& stem, const QString& id) {
        QStringList members;
        const QJsonArray array = getObject(QStringLiteral("/trevok_project_%1/%2").arg(stem, id))
                                     .value(QStringLiteral("members"))
                                     .toArray();
        for (const QJsonValue& v : array)
            members.append(v.toString());
        return members;
    }

    QString statusText() {
        return trevok::fullLabelText(m_console->find<QLabel>("projectStatusLabel"));
    }

private Q_SLOTS:
    void initTestCase() {
        QVERIFY(m_server.start());
        ConsoleFixture::clearUserDefaults();
        ConsoleFixture::checkTableModels();
        trevok::alerts_for_testing::shownFailures().clear();
        putUser(QStringLiteral("anna"), QStringLiteral("Anna"), QStringLiteral("Andersen"));
        putUser(QStringLiteral("ben"), QStringLiteral("Ben"), QStringLiteral("Brook"));
        putUser(QStringLiteral("cleo"), QStringLiteral("Cleo"), QStringLiteral("Carr"));
    }

    void init() {
        trevok::alerts_for_testing::shownFailures().clear();
        trevok::projects_for_testing::setBeforeMembersSave({});
        trevok::projects_for_testing::setAfterStemCheck({});
        m_console = std::make_unique<ConsoleFixture>();
        m_console->startUp();
        QVERIFY(m_console->logIn());
    }

    void cleanup() { m_console.reset(); }

    void createdProjectIsLaidOutOnTheServer() {
        const QString earlier = createListedProject(QStringLiteral("Earlier One"));
        QVERIFY(!earlier.isEmpty());
        const QString id = createListedProject(QStringLiteral("Summer Fair 2015!"));
        QVERIFY(!id.isEmpty());
        QCOMPARE(id.size(), 36);
        QCOMPARE(id, id.toUpper());
        const QString db = QStringLiteral("trevok_project_summerfair2015");

        const QJsonObject record = getObject(QStringLiteral("/%1/%2").arg(db, id));
        QCOMPARE(record.value(QStringLiteral("title")).toString(),
                 QStringLiteral("Summer Fair 2015!"));
        QCOMPARE(record.value(QStringLiteral("serverDBName")).toString(),
                 QStringLiteral("summerfair2015"));
        QCOMPARE(record.value(QStringLiteral("type")).toString(), QStringLiteral("ProjectInfoDoc"));
        QCOMPARE(record.value(QStringLiteral("bVersion")).toString(), QStringLiteral("1.1"));
        QCOMPARE(record.value(QStringLiteral("archived")), QJsonValue(false));
        QCOMPARE(record.value(QStringLiteral("projectID")).toString(), id);
        QCOMPARE(record.value(QStringLiteral("serverID")).toString(),
                 pxUserDefaults().value(QStringLiteral("serverID")).toString());
        QVERIFY(!record.value(QStringLiteral("serverID")).toString().isEmpty());
        QVERIFY(!record.value(QStringLiteral("created_at")).toString().isEmpty());
        QVERIFY(!record.value(QStringLiteral("changed_at")).toString().isEmpty());
        QVERIFY(!record.contains(QStringLiteral("members")));

        const QJsonObject meta = getObject(QStringLiteral("/%1/_design/projectmeta").arg(db));
        QCOMPARE(meta.value(QStringLiteral("filters"))
                     .toObject()
                     .value(QStringLiteral("project_to_master_filter"))
                     .toString(),
                 trevok::projects::kProjectToMasterFilter);
        QCOMPARE(meta.value(QStringLiteral("views"))
                     .toObject()
                     .value(QStringLiteral("project_info"))
                     .toObject()
                     .value(QStringLiteral("map"))
                     .toString(),
                 QStringLiteral(
                     "function(doc){if (doc.type ===\"ProjectInfoDoc\") emit(doc.title, doc);};"));
        const QJsonObject master =
            getObject(QStringLiteral("/trevok_master/_design/summerfair2015"));
        QCOMPARE(master.value(QStringLiteral("filters"))
                     .toObject()
                     .value(QStringLiteral("master_to_project_filter"))
                     .toString(),
                 QStringLiteral("function(doc, req) {{if (doc._deleted) { return true; }};{if "
                                "(doc.projectID == \"") +
                     id + QStringLiteral("\") { return true; } else { return false }}}"));

        const auto pull = replicationsBetween(db, QStringLiteral("trevok_master"));
        const auto push = replicationsBetween(QStringLiteral("trevok_master"), db);
        QCOMPARE(pull.size(), 1);
        QCOMPARE(push.size(), 1);
        QCOMPARE(pull.first().value(QStringLiteral("filter")).toString(),
                 QStringLiteral("projectmeta/project_to_master_filter"));
        QCOMPARE(push.first().value(QStringLiteral("filter")).toString(),
                 QStringLiteral("summerfair2015/master_to_project_filter"));
        QCOMPARE(app().pull()->source(), db);
        QCOMPARE(app().push()->target(), db);
        // The earlier project's pair is still there.
        QCOMPARE(replicationsBetween(QStringLiteral("trevok_project_earlierone"),
                                     QStringLiteral("trevok_master"))
                     .size(),
                 1);
        QCOMPARE(replicationsBetween(QStringLiteral("trevok_master"),
                                     QStringLiteral("trevok_project_earlierone"))
                     .size(),
                 1);

        // Had the push ever run without its filter, the master record and the
        // other project's record would have reached this project's database.
        QVERIFY(TestServer::putDocument(QStringLiteral("trevok_master"),
                                        QStringLiteral("sentinel-sf"),
                                        json({{QStringLiteral("projectID"), id}})));
        QTRY_COMPARE_WITH_TIMEOUT(status(QStringLiteral("/%1/sentinel-sf").arg(db)), 200, 20000);
        QCOMPARE(status(QStringLiteral("/%1/trevokMasterID").arg(db)), 404);
        QCOMPARE(status(QStringLiteral("/%1/%2").arg(db, earlier)), 404);
        QVERIFY(trevok::alerts_for_testing::shownFailures().isEmpty());
    }

    void titlesThatWouldShareAStemAreRefused_data() {
        QTest::addColumn<QString>("title");
        QTest::newRow("same stem as a listed project") << QStringLiteral("my-project!");
        QTest::newRow("punctuation only") << QStringLiteral("?!-");
        QTest::newRow("no ASCII form") << QStringLiteral("東京");
        QTest::newRow("the projects list's design document") << QStringLiteral("Project Meta");
        QTest::newRow("an existing database") << QStringLiteral("Taken Elsewhere");
    }
    void titlesThatWouldShareAStemAreRefused() {
        QFETCH(QString, title);
        if (status(QStringLiteral("/trevok_project_myproject")) == 404)
            QVERIFY(!createListedProject(QStringLiteral("My Project")).isEmpty());
        if (status(QStringLiteral("/trevok_project_takenelsewhere")) == 404)
            QVERIFY(TestServer::createDatabase(QStringLiteral("trevok_project_takenelsewhere")));
        const QJsonArray before = allDbs();
        const int replicationsBefore = int(replications().size());
        typeProject(title);
        QVERIFY(app().projectSheet());
        auto* warning =
            app().projectSheet()->findChild<QLabel*>(QStringLiteral("projectSheetWarningField"));
        QVERIFY(!warning->isHidden());
        QVERIFY(!warning->text().isEmpty());
        QCOMPARE(allDbs(), before);
        QCOMPARE(int(replications().size()), replicationsBefore);
        // Cancelling creates nothing either.
        app().closeProjectSheet();
        QVERIFY(!app().projectSheet());
        QCOMPARE(allDbs(), before);
    }

    void aFailedDatabaseCreationWritesNothingAndIsTold() {
        // Another program takes the name between the check and the creation.
        trevok::projects_for_testing::setAfterStemCheck(
            [] { TestServer::createDatabase(QStringLiteral("trevok_project_raced")); });
        const int replicationsBefore = int(replications().size());
        typeProject(QStringLiteral("Raced"));
        QVERIFY(!app().projectSheet());
        const QStringList alerts = trevok::alerts_for_testing::shownFailures();
        QCOMPARE(alerts.size(), 1);
        QVERIFY2(alerts.first().contains(QStringLiteral("trevok_project_raced")),
                 qPrintable(alerts.first()));
        QVERIFY2(alerts.first().contains(QStringLiteral("file_exists")),
                 qPrintable(alerts.first()));
        QCOMPARE(status(QStringLiteral("/trevok_master/_design/raced")), 404);
        QCOMPARE(status(QStringLiteral("/trevok_project_raced/_design/projectmeta")), 404);
        QCOMPARE(getObject(QStringLiteral("/trevok_project_raced"))
                     .value(QStringLiteral("doc_count"))
                     .toInt(),
                 0);
        QCOMPARE(int(replications().size()), replicationsBefore);
    }

    void masterToProjectFilterRunsInTheReplication() {
        const QString id = createListedProject(QStringLiteral("Filter Check"));
        QVERIFY(!id.isEmpty());
        const QString master = QStringLiteral("trevok_master");
        const QString db = QStringLiteral("/trevok_project_filtercheck");
        QVERIFY(TestServer::putDocument(master, QStringLiteral("fc-match"),
                                        json({{QStringLiteral("projectID"), id}})));
        QVERIFY(
            TestServer::putDocument(master, QStringLiteral("fc-other"),
                                    json({{QStringLiteral("projectID"), QStringLiteral("X")}})));
        QVERIFY(TestServer::putDocument(master, QStringLiteral("fc-none"),
                                        json({{QStringLiteral("type"), QStringLiteral("Note")}})));
        QVERIFY(TestServer::putDocument(
            master, QStringLiteral("fc-notice"),
            json({{QStringLiteral("title"), QStringLiteral("Filter Check DeletionNotice")},
                  {QStringLiteral("type"), QStringLiteral("ProjectInfoDoc")},
                  {QStringLiteral("wasDeleted"), 1}})));
        QVERIFY(
            TestServer::putDocument(master, QStringLiteral("fc-gone"),
                                    json({{QStringLiteral("projectID"), QStringLiteral("X")}})));
        const QString rev = getObject(QStringLiteral("/trevok_master/fc-gone"))
                                .value(QStringLiteral("_rev"))
                                .toString();
        QCOMPARE(TestServer::request("DELETE", QStringLiteral("/trevok_master/fc-gone?rev=") + rev)
                     .status,
                 200);
        QVERIFY(TestServer::putDocument(master, QStringLiteral("fc-sentinel"),
                                        json({{QStringLiteral("projectID"), id}})));

        QTRY_COMPARE_WITH_TIMEOUT(status(db + QStringLiteral("/fc-sentinel")), 200, 20000);
        QCOMPARE(status(db + QStringLiteral("/fc-match")), 200);
        QCOMPARE(status(db + QStringLiteral("/fc-other")), 404);
        QCOMPARE(status(db + QStringLiteral("/fc-none")), 404);
        QCOMPARE(status(db + QStringLiteral("/fc-notice")), 404);
        // The deletion passed although its document never did.
        QVERIFY(deletedIn(db, QStringLiteral("fc-gone")));
    }

    void selectionHandsTheProjectToTheMembershipActions() {
        const QString id = createListedProject(QStringLiteral("Selected"));
        QVERIFY(!id.isEmpty());
        selectProject(id);
        auto defaults = pxUserDefaults();
        QCOMPARE(defaults.value(QStringLiteral("CurrentProjectID")).toString(), id);
        QCOMPARE(defaults.value(QStringLiteral("CurrentProjectDBName")).toString(),
                 QStringLiteral("selected"));
        QVERIFY(app().projectTableController()->projectMembersFullName().isEmpty());
        app().projectTableController()->tableView()->clearSelection();
        QCOMPARE(pxUserDefaults().value(QStringLiteral("CurrentProjectID")).toString(), id);
        QCOMPARE(pxUserDefaults().value(QStringLiteral("CurrentProjectDBName")).toString(),
                 QStringLiteral("selected"));

        // Members anna and ben, as the master copy of the record carries them.
        selectProject(id);
        addMember(QStringLiteral("anna"));
        addMember(QStringLiteral("ben"));
        CouchModel* listed = app().projectTableController()->modelAtRow(rowOf(id));
        QTRY_COMPARE_WITH_TIMEOUT(listed->stringListValue(QStringLiteral("members")).size(), 2,
                                  20000);
        app().projectTableController()->tableView()->clearSelection();
        selectProject(id);
        const QList<QVariantMap> names = app().projectTableController()->projectMembersFullName();
        QCOMPARE(names.size(), 2);
        QCOMPARE(names.at(0).value(QStringLiteral("FirstName")).toString(), QStringLiteral("Anna"));
        QCOMPARE(names.at(0).value(QStringLiteral("LastName")).toString(),
                 QStringLiteral("Andersen"));
        QCOMPARE(names.at(1).value(QStringLiteral("FirstName")).toString(), QStringLiteral("Ben"));
        QVERIFY(m_console->find<QLabel>("projectMembersFullNameField")
                    ->text()
                    .contains(QStringLiteral("Anna Andersen, Ben Brook")));
    }

    // A project chosen right after the list reloads, before the reload has
    // put back the earlier selection, stays chosen: the next member goes to it.
    void aSelectionMadeDuringAReloadIsKept() {
        const QString first = createListedProject(QStringLiteral("Chosen First"));
        QVERIFY(!first.isEmpty());
        selectProject(first);
        const QString second = createListedProject(QStringLiteral("Chosen Second"));
        QVERIFY(!second.isEmpty());
        selectProject(second);
        QTest::qWait(200);
        QCOMPARE(app().projectTableController()->selectedModel()->document()->documentID(), second);
        QCOMPARE(pxUserDefaults().value(QStringLiteral("CurrentProjectID")).toString(), second);
    }

    void membersAreAddedOnceAndRemovedWithTheirReplications() {
        const QString id = createListedProject(QStringLiteral("Members"));
        QVERIFY(!id.isEmpty());
        const QString stem = QStringLiteral("members");
        const QString db = QStringLiteral("trevok_project_members");
        selectProject(id);

        addMember(QStringLiteral("anna"));
        QCOMPARE(storedMembers(stem, id), QStringList{QStringLiteral("anna")});
        const QString rev = getObject(QStringLiteral("/%1/%2").arg(db, id))
                                .value(QStringLiteral("_rev"))
                                .toString();
        addMember(QStringLiteral("anna"));
        QVERIFY(statusText().contains(QStringLiteral("already")));
        QCOMPARE(getObject(QStringLiteral("/%1/%2").arg(db, id))
                     .value(QStringLiteral("_rev"))
                     .toString(),
                 rev);
        QCOMPARE(replicationsBetween(db, QStringLiteral("trevok_user_db_anna")).size(), 1);
        addMember(QStringLiteral("ben"));
        QCOMPARE(storedMembers(stem, id),
                 (QStringList{QStringLiteral("anna"), QStringLiteral("ben")}));
        const auto toBen = replicationsBetween(db, QStringLiteral("trevok_user_db_ben"));
        QCOMPARE(toBen.size(), 1);
        QCOMPARE(toBen.first().value(QStringLiteral("filter")).toString(),
                 QStringLiteral("projectmeta/project_to_user_filter"));
        QCOMPARE(toBen.first().value(QStringLiteral("continuous")), QJsonValue(true));
        const QJsonObject meta = getObject(QStringLiteral("/%1/_design/projectmeta").arg(db));
        QCOMPARE(
            meta.value(QStringLiteral("filters"))
                .toObject()
                .value(QStringLiteral("project_to_user_filter"))
                .toString(),
            QStringLiteral("function(doc, req) {if (doc._id.indexOf('_design/') === 0) { return "
                           "false; }{if (doc._deleted) { return true }}; {if (doc.type "
                           "== 'SecretProjectInfoDoc') { return false; } else { return true; }}}"));
        QVERIFY(trevok::alerts_for_testing::shownFailures().isEmpty());

        // The member's database receives the project's documents, secrets aside.
        const QString annaDB = QStringLiteral("/trevok_user_db_anna");
        QVERIFY(TestServer::putDocument(
            db, QStringLiteral("m-secret"),
            json({{QStringLiteral("type"), QStringLiteral("SecretProjectInfoDoc")}})));
        QVERIFY(TestServer::putDocument(db, QStringLiteral("m-note"),
                                        json({{QStringLiteral("type"), QStringLiteral("Note")},
                                              {QStringLiteral("projectID"), id}})));
        QTRY_COMPARE_WITH_TIMEOUT(status(annaDB + QStringLiteral("/m-note")), 200, 20000);
        QCOMPARE(status(annaDB + QStringLiteral("/") + id), 200);
        QCOMPARE(status(annaDB + QStringLiteral("/m-secret")), 404);
        const QString secretRev = getObject(QStringLiteral("/%1/m-secret").arg(db))
                                      .value(QStringLiteral("_rev"))
                                      .toString();
        QCOMPARE(
            TestServer::request("DELETE", QStringLiteral("/%1/m-secret?rev=%2").arg(db, secretRev))
                .status,
            200);
        QTRY_VERIFY_WITH_TIMEOUT(deletedIn(annaDB, QStringLiteral("m-secret")), 20000);

        // Removing anna.
        app().listProjectUsers();
        QStringListModel* list = app().membersArrayController();
        QCOMPARE(list->stringList(), (QStringList{QStringLiteral("anna"), QStringLiteral("ben")}));
        auto* view = m_console->find<QListView>("membersTableView");
        view->selectionModel()->select(list->index(0), QItemSelectionModel::ClearAndSelect);
        app().removeUserFromProject();
        QCOMPARE(app().selectedMemberName(), QStringLiteral("anna"));
        QCOMPARE(storedMembers(stem, id), QStringList{QStringLiteral("ben")});
        QVERIFY(replicationsBetween(db, QStringLiteral("trevok_user_db_anna")).isEmpty());
        QCOMPARE(replicationsBetween(db, QStringLiteral("trevok_user_db_ben")).size(), 1);
        QCOMPARE(replicationsBetween(db, QStringLiteral("trevok_master")).size(), 1);
        QCOMPARE(replicationsBetween(QStringLiteral("trevok_master"), db).size(), 1);
        QVERIFY(trevok::alerts_for_testing::shownFailures().isEmpty());
        // The list follows the removal at once, and the line below agrees.
        QCOMPARE(list->stringList(), QStringList{QStringLiteral("ben")});
        const QString line =
            trevok::fullLabelText(m_console->find<QLabel>("projectMembersFullNameField"));
        QVERIFY2(line.contains(QStringLiteral("ben"), Qt::CaseInsensitive) &&
                     !line.contains(QStringLiteral("anna"), Qt::CaseInsensitive),
                 qPrintable(line));
        app().listProjectUsers();
        QCOMPARE(list->stringList(), QStringList{QStringLiteral("ben")});
    }

    void addingAMemberKeepsChangesMadeMeanwhile() {
        const QString id = createListedProject(QStringLiteral("Concurrent"));
        QVERIFY(!id.isEmpty());
        const QString db = QStringLiteral("trevok_project_concurrent");
        selectProject(id);
        // A client adds ben behind the console's back: the console's copy is stale.
        QJsonObject record = getObject(QStringLiteral("/%1/%2").arg(db, id));
        record.insert(QStringLiteral("members"), QJsonArray{QStringLiteral("ben")});
        QVERIFY(TestServer::putDocument(db, id, json(record)));
        addMember(QStringLiteral("anna"));
        QCOMPARE(storedMembers(QStringLiteral("concurrent"), id),
                 (QStringList{QStringLiteral("ben"), QStringLiteral("anna")}));

        // A write between the console's read and its save: the save conflicts
        // and is made again on the new body.
        bool interfered = false;
        trevok::projects_for_testing::setBeforeMembersSave([&] {
            if (interfered)
                return;
            interfered = true;
            QJsonObject now = getObject(QStringLiteral("/%1/%2").arg(db, id));
            QJsonArray members = now.value(QStringLiteral("members")).toArray();
            members.append(QStringLiteral("zed"));
            now.insert(QStringLiteral("members"), members);
            TestServer::putDocument(db, id, json(now));
        });
        addMember(QStringLiteral("cleo"));
        QVERIFY(interfered);
        QCOMPARE(storedMembers(QStringLiteral("concurrent"), id),
                 (QStringList{QStringLiteral("ben"), QStringLiteral("anna"), QStringLiteral("zed"),
                              QStringLiteral("cleo")}));
        QVERIFY(trevok::alerts_for_testing::shownFailures().isEmpty());
        QCOMPARE(replicationsBetween(db, QStringLiteral("trevok_user_db_cleo")).size(), 1);
    }

    void membershipWithoutSelectionChangesNothing() {
        // A project noted in the settings is not one selected in the table.
        app().projectTableController()->tableView()->clearSelection();
        pxUserDefaults().setValue(QStringLiteral("CurrentProjectID"), QStringLiteral("noted"));
        pxUserDefaults().setValue(QStringLiteral("CurrentProjectDBName"), QStringLiteral("noted"));
        const int replicationsBefore = int(replications().size());
        app().listProjectUsers();
        QVERIFY(statusText().contains(QStringLiteral("Select a project")));
        // No user picked.
        trevok::NotificationCenter::defaultCenter().post(QStringLiteral("AddUserToProject"));
        QVERIFY(statusText().contains(QStringLiteral("Select a user")));
        // A user picked, but no current project.
        pickUser(QStringLiteral("anna"));
        trevok::NotificationCenter::defaultCenter().post(QStringLiteral("AddUserToProject"));
        QVERIFY(statusText().contains(QStringLiteral("Select a project")));
        // No member picked.
        app().removeUserFromProject();
        QVERIFY(statusText().contains(QStringLiteral("Select a member")));
        QCOMPARE(int(replications().size()), replicationsBefore);
        QVERIFY(trevok::alerts_for_testing::shownFailures().isEmpty());
    }

    // However the sheet closes, none of its outlets is left pointing into it.
    void closedSheetKeepsNoOutlets_data() {
        QTest::addColumn<QString>("closedBy"); // the button's suffix, or "Escape"
        QTest::newRow("OK") << QStringLiteral("Confirm");
        QTest::newRow("Cancel") << QStringLiteral("Cancel");
        QTest::newRow("Escape") << QStringLiteral("Escape");
    }
    void closedSheetKeepsNoOutlets() {
        QFETCH(QString, closedBy);
        app().activateProjectSheet();
        QDialog* sheet = app().projectSheet();
        QVERIFY(sheet);
        QVERIFY(app().addProjectSheetOutlets().projectSheetWarningField);
        app().addProjectSheetOutlets().tmpProjectNameField->setText(QStringLiteral("Outlets ") +
                                                                    closedBy);
        if (closedBy == QLatin1String("Escape")) {
            sheet->reject();
        } else {
            QPushButton* button = nullptr;
            for (QPushButton* b : sheet->findChildren<QPushButton*>()) {
                if (b->objectName().endsWith(closedBy))
                    button = b;
            }
            QVERIFY(button);
            button->click();
        }
        // Looked at at once, before the closed sheet is deleted.
        QVERIFY(app().addProjectSheetOutlets() == AppDelegate::AddProjectSheet{});
        QVERIFY(trevok::alerts_for_testing::shownFailures().isEmpty());
    }

    void sheetOpensOnlyLoggedInAndOnce() {
        app().activateProjectSheet();
        QDialog* first = app().projectSheet();
        QVERIFY(first);
        app().activateProjectSheet();
        QCOMPARE(app().projectSheet(), first);
        app().closeProjectSheet();
        ConsoleFixture loggedOut;
        loggedOut.startUp();
        auto* tabs = loggedOut.find<QTabWidget>("tabView");
        tabs->setCurrentIndex(1);
        loggedOut.app().activateProjectSheet();
        QVERIFY(!loggedOut.app().projectSheet());
        QCOMPARE(tabs->currentIndex(), 1);
    }
};

QTEST_MAIN(TestProjects)
#include "tst_projects.moc"
