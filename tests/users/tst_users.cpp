#include "chrome/UserDefaults.h"
#include "lists/UserQuery.h"
#include "records/UserModel.h"
#include "services/Alerts.h"
#include "store/CouchModel.h"
#include "store/CouchServer.h"
#include "store/StoreLog.h"
#include "tests/harness/ConsoleFixture.h"
#include "tests/harness/TestServer.h"
#include "users/UserArrayController.h"

#include <QEventLoop>
#include <QFile>
#include <QItemSelectionModel>
#include <QJsonArray>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QPushButton>
#include <QTest>
#include <QTimer>

using namespace trevok::test;

namespace {

QStringList g_logLines;
QtMessageHandler g_previousHandler = nullptr;
void collectLog(QtMsgType type, const QMessageLogContext& context, const QString& text) {
    g_logLines.append(text);
    if (g_previousHandler)
        g_previousHandler(type, context, text);
}

QJsonObject json(const QString& path) {
    return TestServer::getJson(path).object();
}
QString userDoc(const QString& name) {
    return QStringLiteral("/_users/") + segment(QStringLiteral("org.couchdb.user:") + name);
}
QString userDb(const QString& name) {
    return QStringLiteral("/") + segment(QStringLiteral("trevok_user_db_") + name);
}
int status(const QString& path) {
    return TestServer::request("GET", path).status;
}
// Asks `_session` with a connection of its own, so that the session cookie
// never rides along with the harness's administrator requests.
bool canLogIn(const QString& name, const QString& password) {
    QNetworkAccessManager manager;
    QNetworkRequest request(QUrl(TestServer::url() + QStringLiteral("/_session")));
    request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/json"));
    const QByteArray body = QJsonDocument(QJsonObject{{QStringLiteral("name"), name},
                                                      {QStringLiteral("password"), password}})
                                .toJson(QJsonDocument::Compact);
    QNetworkReply* reply = manager.post(request, body);
    QEventLoop loop;
    QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    QTimer::singleShot(10000, &loop, &QEventLoop::quit);
    loop.exec();
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    delete reply;
    return status == 200;
}
// The replication documents of `_replicator` (design documents left out).
QList<QJsonObject> replications() {
    QList<QJsonObject> docs;
    const QJsonArray rows = json(QStringLiteral("/_replicator/_all_docs?include_docs=true"))
                                .value(QStringLiteral("rows"))
                                .toArray();
    for (const QJsonValue& row : rows) {
        const QJsonObject doc = row.toObject().value(QStringLiteral("doc")).toObject();
        if (!doc.value(QStringLiteral("_id")).toString().startsWith(QLatin1String("_design/")))
            docs.append(doc);
    }
    return docs;
}
QList<QJsonObject> replicationsNaming(const QString& database) {
    QList<QJsonObject> found;
    for (const QJsonObject& doc : replications()) {
        if (doc.value(QStringLiteral("source")).toString() == database ||
            doc.value(QStringLiteral("target")).toString() == database)
            found.append(doc);
    }
    return found;
}

} // namespace

// Adding, re-passwording and deleting users through the console, against the
// real bundled server.
class TestUsers : public QObject {
    Q_OBJECT

    TestServer m_server;

    struct Entries {
        QString name, first, last, password, repeat;
    };

    static void fill(ConsoleFixture& console, const Entries& e) {
        QDialog* sheet = console.app().userSheet();
        sheet->findChild<QLineEdit*>(QStringLiteral("tmpUserName"))->setText(e.name);
        sheet->findChild<QLineEdit*>(QStringLiteral("tmpFirstName"))->setText(e.first);
        sheet->findChild<QLineEdit*>(QStringLiteral("tmpLastName"))->setText(e.last);
        sheet->findChild<QLineEdit*>(QStringLiteral("tmpPassword"))->setText(e.password);
        sheet->findChild<QLineEdit*>(QStringLiteral("tmpRepeatPassword"))->setText(e.repeat);
    }
    static QLabel* sheetWarning(ConsoleFixture& console) {
        return console.app().userSheet()->findChild<QLabel*>(
            QStringLiteral("userSheetWarningTextField"));
    }
    // Adds a user through the sheet, as the administrator does.
    static bool addUser(ConsoleFixture& console, const Entries& e) {
        console.app().activateUserSheet();
        if (!console.app().userSheet())
            return false;
        fill(console, e);
        console.app().checkUser();
        return !console.app().userSheet();
    }
    static bool addUser(ConsoleFixture& console, const QString& name, const QString& password) {
        return addUser(console,
                       {name, QStringLiteral("First"), QStringLiteral("Last"), password, password});
    }
    // Selects the listed user `name` in the users table.
    static bool select(ConsoleFixture& console, const QString& name) {
        UserArrayController* users = console.app().userTableController();
        int row = -1;
        (void)QTest::qWaitFor(
            [&] {
                for (int i = 0; i < users->rowCount(); ++i) {
                    if (users->objectAtRow(i)->stringValue(QStringLiteral("name")) == name)
                        row = i;
                }
                return row >= 0;
            },
            10000);
        if (row < 0)
            return false;
        users->selectionModel()->select(users->index(row, 0), QItemSelectionModel::ClearAndSelect |
                                                                  QItemSelectionModel::Rows);
        return true;
    }

private Q_SLOTS:
    void initTestCase() {
        QVERIFY(m_server.start());
        ConsoleFixture::checkTableModels();
    }
    void init() {
        ConsoleFixture::clearUserDefaults();
        trevok::alerts_for_testing::answerNextAlerts(std::nullopt);
        trevok::alerts_for_testing::shownFailures().clear();
        trevok::alerts_for_testing::shownConfirmations().clear();
    }

    void validationKeepsTheSheetAndWritesNothing_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("last");
        QTest::addColumn<QString>("password");
        QTest::addColumn<QString>("repeat");
        QTest::addColumn<QString>("message");
        const QString missingName = QStringLiteral("The username is missing.");
        const QString badName = QStringLiteral(
            "The username may hold only lower-case letters a to z, digits and _ $ ( ) + - /.");
        QTest::newRow("no name, nothing else") << ""
                                               << ""
                                               << ""
                                               << "x" << missingName;
        QTest::newRow("no name, mismatch") << ""
                                           << "L"
                                           << "a"
                                           << "b" << missingName;
        QTest::newRow("no last name, no password")
            << "bea"
            << ""
            << ""
            << "" << QStringLiteral("The last name is missing.");
        QTest::newRow("no password") << "bea"
                                     << "L"
                                     << ""
                                     << "x" << QStringLiteral("The password is missing.");
        QTest::newRow("case differs") << "bea"
                                      << "L"
                                      << "Secret"
                                      << "secret" << QStringLiteral("The passwords don't match.");
        QTest::newRow("blanks") << "   "
                                << "L"
                                << "p"
                                << "p" << badName;
        QTest::newRow("upper case") << "Bea"
                                    << "L"
                                    << "p"
                                    << "p" << badName;
        QTest::newRow("quote") << "b\"ea"
                               << "L"
                               << "p"
                               << "p" << badName;
        QTest::newRow("taken") << "taken"
                               << "L"
                               << "p"
                               << "p"
                               << QStringLiteral("A user with this username exists already.");
    }
    void validationKeepsTheSheetAndWritesNothing() {
        QFETCH(QString, name);
        QFETCH(QString, last);
        QFETCH(QString, password);
        QFETCH(QString, repeat);
        QFETCH(QString, message);
        if (name == QLatin1String("taken") && status(userDoc(name)) != 200)
            QVERIFY(TestServer::putDocument(
                QStringLiteral("_users"), QStringLiteral("org.couchdb.user:taken"),
                R"({"name":"taken","type":"user","roles":[],"password":"x"})"));
        const int replicationsBefore = int(replications().size());
        ConsoleFixture console;
        console.startUp();
        QVERIFY(console.logIn());
        console.app().activateUserSheet();
        QVERIFY(console.app().userSheet());
        fill(console, {name, QString(), last, password, repeat});
        console.app().checkUser();
        QVERIFY(console.app().userSheet());
        QVERIFY(!sheetWarning(console)->isHidden());
        QCOMPARE(sheetWarning(console)->text(), message);
        QCOMPARE(
            console.app().userSheet()->findChild<QLineEdit*>(QStringLiteral("tmpUserName"))->text(),
            name);
        if (name != QLatin1String("taken") && !name.isEmpty())
            QCOMPARE(status(userDoc(name)), 404);
        QCOMPARE(status(userDb(name)), 404);
        QCOMPARE(int(replications().size()), replicationsBefore);
    }

    void sheetOpensOnlyOnceAndOnlyLoggedIn() {
        ConsoleFixture console;
        console.startUp();
        console.app().activateUserSheet();
        QVERIFY(!console.app().userSheet());
        QVERIFY(console.logIn());
        console.app().activateUserSheet();
        QPointer<QDialog> first = console.app().userSheet();
        QVERIFY(first);
        fill(console, {QString(), QString(), QString(), QString(), QString()});
        console.app().checkUser();
        QVERIFY(!sheetWarning(console)->isHidden());
        // Opening again keeps the sheet and only hides its warning.
        console.app().activateUserSheet();
        QCOMPARE(console.app().userSheet(), first.data());
        QVERIFY(sheetWarning(console)->isHidden());
        console.app().closeUserSheet();
        QVERIFY(!console.app().userSheet());
    }

    // However a sheet closes, none of its outlets is left pointing into it.
    void closedSheetsKeepNoOutlets_data() {
        QTest::addColumn<bool>("passwordSheet");
        QTest::addColumn<QString>("closedBy"); // the button's suffix, or "Escape"
        QTest::addColumn<QString>("user");
        QTest::newRow("add user, OK")
            << false << QStringLiteral("Confirm") << QStringLiteral("ivy");
        QTest::newRow("add user, Cancel") << false << QStringLiteral("Cancel") << QString();
        QTest::newRow("add user, Escape") << false << QStringLiteral("Escape") << QString();
        QTest::newRow("password, OK") << true << QStringLiteral("Confirm") << QStringLiteral("jo");
        QTest::newRow("password, Cancel")
            << true << QStringLiteral("Cancel") << QStringLiteral("kai");
    }
    void closedSheetsKeepNoOutlets() {
        QFETCH(bool, passwordSheet);
        QFETCH(QString, closedBy);
        QFETCH(QString, user);
        ConsoleFixture console;
        console.startUp();
        QVERIFY(console.logIn());
        AppDelegate& app = console.app();
        QDialog* sheet = nullptr;
        if (passwordSheet) {
            QVERIFY(addUser(console, user, QStringLiteral("pw")));
            QVERIFY(select(console, user));
            app.activateChangeUserPasswordSheet();
            sheet = app.userPasswordSheet();
            QVERIFY(sheet);
            QVERIFY(app.userPasswordSheetOutlets().tmpRepeatNewPassword);
            QVERIFY(app.userPasswordSheetOutlets().userPasswordSheetWarningField);
            app.userPasswordSheetOutlets().tmpNewPassword->setText(QStringLiteral("pw2"));
            app.userPasswordSheetOutlets().tmpRepeatNewPassword->setText(QStringLiteral("pw2"));
        } else {
            app.activateUserSheet();
            sheet = app.userSheet();
            QVERIFY(sheet);
            QVERIFY(app.addUserSheetOutlets().tmpRepeatPassword);
            QVERIFY(app.addUserSheetOutlets().userSheetWarningTextField);
            if (!user.isEmpty())
                fill(console, {user, QStringLiteral("F"), QStringLiteral("L"), QStringLiteral("pw"),
                               QStringLiteral("pw")});
        }
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
        QVERIFY(app.addUserSheetOutlets() == AppDelegate::AddUserSheet{});
        QVERIFY(app.userPasswordSheetOutlets() == AppDelegate::UserPasswordSheet{});
        QVERIFY(!app.userSheet() && !app.userPasswordSheet());
    }

    void aCreatedUserIsLaidOutOnTheServer() {
        pxUserDefaults().remove(QStringLiteral("serverID"));
        ConsoleFixture console;
        console.startUp();
        QVERIFY(console.logIn());
        const QString serverID = pxUserDefaults().value(QStringLiteral("serverID")).toString();
        QVERIFY(!serverID.isEmpty());
        QVERIFY(addUser(console, {QStringLiteral("ann"), QString(), QStringLiteral("Smith"),
                                  QStringLiteral("ann-pw"), QStringLiteral("ann-pw")}));
        QVERIFY(trevok::alerts_for_testing::shownFailures().isEmpty());

        QTRY_COMPARE(status(userDoc(QStringLiteral("ann"))), 200);
        const QJsonObject doc = json(userDoc(QStringLiteral("ann")));
        QCOMPARE(doc.value(QStringLiteral("name")).toString(), QStringLiteral("ann"));
        QCOMPARE(doc.value(QStringLiteral("firstName")).toString(), QString());
        QVERIFY(doc.contains(QStringLiteral("firstName")));
        QCOMPARE(doc.value(QStringLiteral("lastName")).toString(), QStringLiteral("Smith"));
        QCOMPARE(doc.value(QStringLiteral("type")).toString(), QStringLiteral("user"));
        QCOMPARE(doc.value(QStringLiteral("owner")).toString(), QStringLiteral("ann"));
        QCOMPARE(doc.value(QStringLiteral("roles")).toArray(), QJsonArray());
        QCOMPARE(doc.value(QStringLiteral("serverID")).toString(), serverID);
        QVERIFY(QDateTime::fromString(doc.value(QStringLiteral("created")).toString(),
                                      Qt::ISODateWithMs)
                    .isValid());
        QVERIFY(QDateTime::fromString(doc.value(QStringLiteral("lastConnected")).toString(),
                                      Qt::ISODateWithMs)
                    .isValid());
        for (const char* absent : {"middleName", "note", "documentID", "revision", "active"})
            QVERIFY2(!doc.contains(QLatin1String(absent)), absent);
        QVERIFY(canLogIn(QStringLiteral("ann"), QStringLiteral("ann-pw")));

        QTRY_COMPARE(status(userDb(QStringLiteral("ann")) + QStringLiteral("/_security")), 200);
        QTRY_COMPARE(
            json(userDb(QStringLiteral("ann")) + QStringLiteral("/_security")),
            QJsonObject(
                {{QStringLiteral("admins"), QJsonObject{{QStringLiteral("names"), QJsonArray()},
                                                        {QStringLiteral("roles"), QJsonArray()}}},
                 {QStringLiteral("readers"),
                  QJsonObject{{QStringLiteral("names"), QJsonArray{QStringLiteral("ann")}},
                              {QStringLiteral("roles"), QJsonArray()}}}}));
        QJsonObject design =
            json(userDb(QStringLiteral("ann")) + QStringLiteral("/_design/security"));
        design.remove(QStringLiteral("_id"));
        design.remove(QStringLiteral("_rev"));
        // The access rule of a user in no project yet, beside the two
        // members of the data model.
        QVERIFY(design.value(QStringLiteral("validate_doc_update"))
                    .toString()
                    .contains(QStringLiteral("var projects = []; ")));
        design.remove(QStringLiteral("validate_doc_update"));
        // Nothing else the store adds.
        QCOMPARE(
            design,
            QJsonObject(
                {{QStringLiteral("views"),
                  QJsonObject{
                      {QStringLiteral("validate_doc_update"),
                       QJsonObject{{QStringLiteral("map"),
                                    QStringLiteral("function(new_doc, old_doc, userCtx) { "
                                                   "if(!userCtx || userCtx.name != \"ann\") { "
                                                   "throw({forbidden: \"Bad user\"});}}")}}}}},
                 {QStringLiteral("filters"),
                  QJsonObject{{QStringLiteral("user_to_master_filter"),
                               QStringLiteral(
                                   "function(doc, req) {if (doc._id.indexOf('_design/') === 0) "
                                   "{ return false; }{if (doc._id === 'trevokMasterID' || "
                                   "doc.type == 'ProjectInfoDoc' || doc.type == "
                                   "'SecretProjectInfoDoc') { return false; }}{if (doc._deleted) "
                                   "{ return true; }};{if (doc.type == 'UserInfoDoc') { return "
                                   "false; } else { return true; }}}")}}}}));

        QTRY_COMPARE(replicationsNaming(QStringLiteral("trevok_user_db_ann")).size(), 1);
        const QJsonObject replication =
            replicationsNaming(QStringLiteral("trevok_user_db_ann")).first();
        QCOMPARE(replication.value(QStringLiteral("source")).toString(),
                 QStringLiteral("trevok_user_db_ann"));
        QCOMPARE(replication.value(QStringLiteral("target")).toString(),
                 QStringLiteral("trevok_master"));
        QCOMPARE(replication.value(QStringLiteral("filter")).toString(),
                 QStringLiteral("security/user_to_master_filter"));
        QCOMPARE(replication.value(QStringLiteral("continuous")).toBool(), true);

        // The running replication withholds the user's own info documents and
        // carries everything else, deletions included.
        QVERIFY(TestServer::putDocument(QStringLiteral("trevok_user_db_ann"),
                                        QStringLiteral("info-1"), R"({"type":"UserInfoDoc"})"));
        QVERIFY(TestServer::putDocument(QStringLiteral("trevok_user_db_ann"),
                                        QStringLiteral("note-1"), R"({"type":"Note"})"));
        QTRY_VERIFY_WITH_TIMEOUT(status(QStringLiteral("/trevok_master/note-1")) == 200, 20000);
        QTest::qWait(500);
        QCOMPARE(status(QStringLiteral("/trevok_master/info-1")), 404);
        // The user's design document stays in the user's database.
        QCOMPARE(status(QStringLiteral("/trevok_master/_design/security")), 404);
        const QString rev = json(QStringLiteral("/trevok_user_db_ann/note-1"))
                                .value(QStringLiteral("_rev"))
                                .toString();
        QCOMPARE(
            TestServer::request("DELETE", QStringLiteral("/trevok_user_db_ann/note-1?rev=") + rev)
                .status,
            200);
        QTRY_VERIFY_WITH_TIMEOUT(status(QStringLiteral("/trevok_master/note-1")) == 404, 20000);
    }

    void aPasswordChangeKeepsTheRecordAndLogsIn() {
        ConsoleFixture console;
        console.startUp();
        QVERIFY(console.logIn());
        QVERIFY(addUser(console, QStringLiteral("carl"), QStringLiteral("old-pw")));
        QTRY_COMPARE(status(userDoc(QStringLiteral("carl"))), 200);
        const QJsonObject before = json(userDoc(QStringLiteral("carl")));

        // Nothing selected: the controls are off and the actions do nothing.
        console.app().userTableController()->selectionModel()->clearSelection();
        QVERIFY(!console.find<QPushButton>("changeUserPasswordButton")->isEnabled());
        QVERIFY(!console.find<QPushButton>("deleteUserButton")->isEnabled());
        console.app().activateChangeUserPasswordSheet();
        QVERIFY(!console.app().userPasswordSheet());
        console.app().deleteUser();
        QVERIFY(trevok::alerts_for_testing::shownConfirmations().isEmpty());

        QVERIFY(select(console, QStringLiteral("carl")));
        QVERIFY(console.find<QPushButton>("changeUserPasswordButton")->isEnabled());
        QVERIFY(console.find<QPushButton>("deleteUserButton")->isEnabled());
        console.app().activateChangeUserPasswordSheet();
        QDialog* sheet = console.app().userPasswordSheet();
        QVERIFY(sheet);
        auto* password = sheet->findChild<QLineEdit*>(QStringLiteral("tmpNewPassword"));
        auto* repeat = sheet->findChild<QLineEdit*>(QStringLiteral("tmpRepeatNewPassword"));
        auto* warning = sheet->findChild<QLabel*>(QStringLiteral("userPasswordSheetWarningField"));
        repeat->setText(QStringLiteral("x"));
        console.app().changeUserPassword();
        QCOMPARE(warning->text(), QStringLiteral("The password is missing."));
        password->setText(QStringLiteral("New-pw"));
        repeat->setText(QStringLiteral("new-pw"));
        console.app().changeUserPassword();
        QCOMPARE(warning->text(), QStringLiteral("The passwords don't match."));
        QVERIFY(console.app().userPasswordSheet());
        repeat->setText(QStringLiteral("New-pw"));
        console.app().changeUserPassword();
        QVERIFY(!console.app().userPasswordSheet());

        QTRY_VERIFY(canLogIn(QStringLiteral("carl"), QStringLiteral("New-pw")));
        QVERIFY(!canLogIn(QStringLiteral("carl"), QStringLiteral("old-pw")));
        const QJsonObject after = json(userDoc(QStringLiteral("carl")));
        for (const char* kept :
             {"serverID", "created", "name", "firstName", "lastName", "owner", "lastConnected"})
            QCOMPARE(after.value(QLatin1String(kept)), before.value(QLatin1String(kept)));
    }

    void theAddProjectSheetHoldsBackPasswordAndDeletion() {
        ConsoleFixture console;
        console.startUp();
        QVERIFY(console.logIn());
        QVERIFY(addUser(console, QStringLiteral("hal"), QStringLiteral("pw")));
        QVERIFY(select(console, QStringLiteral("hal")));
        console.app().activateProjectSheet();
        QVERIFY(console.app().projectSheet());
        console.app().activateChangeUserPasswordSheet();
        QVERIFY(!console.app().userPasswordSheet());
        trevok::alerts_for_testing::answerNextAlerts(1);
        console.app().deleteUser();
        QVERIFY(trevok::alerts_for_testing::shownConfirmations().isEmpty());
        QCOMPARE(status(userDoc(QStringLiteral("hal"))), 200);
    }

    void deletionRemovesExactlyTheUsersThings() {
        ConsoleFixture console;
        console.startUp();
        QVERIFY(console.logIn());
        QVERIFY(addUser(console, QStringLiteral("dora"), QStringLiteral("pw")));
        QVERIFY(addUser(console, QStringLiteral("doraa"), QStringLiteral("pw")));
        // A member replication into each, and one naming dora's database by URL.
        QVERIFY(TestServer::createDatabase(QStringLiteral("trevok_project_x")));
        QVERIFY(TestServer::putDocument(
            QStringLiteral("_replicator"), QStringLiteral("member-dora"),
            R"({"source":"trevok_project_x","target":"trevok_user_db_dora","continuous":true})"));
        QVERIFY(TestServer::putDocument(
            QStringLiteral("_replicator"), QStringLiteral("member-doraa"),
            R"({"source":"trevok_project_x","target":"trevok_user_db_doraa","continuous":true})"));
        QTRY_COMPARE(replicationsNaming(QStringLiteral("trevok_user_db_dora")).size(), 2);
        QTRY_COMPARE(replicationsNaming(QStringLiteral("trevok_user_db_doraa")).size(), 2);

        // "Cancel" changes nothing.
        QVERIFY(select(console, QStringLiteral("dora")));
        trevok::alerts_for_testing::answerNextAlerts(-1);
        console.app().deleteUser();
        QCOMPARE(trevok::alerts_for_testing::shownConfirmations(),
                 QStringList({QStringLiteral("Do you want to delete this user?")}));
        QCOMPARE(console.app().selectedUserName(), QString());
        QCOMPARE(replicationsNaming(QStringLiteral("trevok_user_db_dora")).size(), 2);
        QCOMPARE(status(userDb(QStringLiteral("dora"))), 200);
        QCOMPARE(status(userDoc(QStringLiteral("dora"))), 200);

        trevok::alerts_for_testing::answerNextAlerts(1);
        console.app().deleteUser();
        QCOMPARE(console.app().selectedUserName(), QStringLiteral("dora"));
        QVERIFY(trevok::alerts_for_testing::shownFailures().isEmpty());
        QCOMPARE(replicationsNaming(QStringLiteral("trevok_user_db_dora")).size(), 0);
        QCOMPARE(status(userDb(QStringLiteral("dora"))), 404);
        QCOMPARE(status(userDoc(QStringLiteral("dora"))), 404);
        // The deleted revision stays on the server, without the password's secrets.
        QString deletedRev;
        for (const QJsonValue& change :
             json(QStringLiteral("/_users/_changes")).value(QStringLiteral("results")).toArray()) {
            if (change.toObject().value(QStringLiteral("id")).toString() ==
                QLatin1String("org.couchdb.user:dora"))
                deletedRev = change.toObject()
                                 .value(QStringLiteral("changes"))
                                 .toArray()
                                 .first()
                                 .toObject()
                                 .value(QStringLiteral("rev"))
                                 .toString();
        }
        QVERIFY(!deletedRev.isEmpty());
        const QJsonObject tombstone =
            json(userDoc(QStringLiteral("dora")) + QStringLiteral("?rev=") + deletedRev);
        QCOMPARE(tombstone.value(QStringLiteral("_deleted")).toBool(), true);
        for (const char* secret : {"derived_key", "salt", "password", "password_sha"})
            QVERIFY2(!tombstone.contains(QLatin1String(secret)), secret);
        QCOMPARE(tombstone.value(QStringLiteral("name")).toString(), QStringLiteral("dora"));
        QCOMPARE(replicationsNaming(QStringLiteral("trevok_user_db_doraa")).size(), 2);
        QCOMPARE(status(userDb(QStringLiteral("doraa"))), 200);
        QCOMPARE(status(userDoc(QStringLiteral("doraa"))), 200);
        UserArrayController* users = console.app().userTableController();
        QTRY_VERIFY([&] {
            for (int i = 0; i < users->rowCount(); ++i)
                if (users->objectAtRow(i)->stringValue(QStringLiteral("name")) ==
                    QLatin1String("dora"))
                    return false;
            return true;
        }());

        // What is gone already is passed over without a word.
        QVERIFY(select(console, QStringLiteral("doraa")));
        QCOMPARE(TestServer::request("DELETE", userDb(QStringLiteral("doraa"))).status, 200);
        console.app().deleteUser();
        QVERIFY(trevok::alerts_for_testing::shownFailures().isEmpty());
        QCOMPARE(status(userDoc(QStringLiteral("doraa"))), 404);
        QCOMPARE(replicationsNaming(QStringLiteral("trevok_user_db_doraa")).size(), 0);

        // The same name can be given to a new user afterwards.
        QVERIFY(addUser(console, QStringLiteral("dora"), QStringLiteral("again")));
        QTRY_VERIFY(canLogIn(QStringLiteral("dora"), QStringLiteral("again")));
        QCOMPARE(json(userDoc(QStringLiteral("dora"))).value(QStringLiteral("lastName")).toString(),
                 QStringLiteral("Last"));
    }

    void failedStepsAreToldInOneAlert() {
        ConsoleFixture console;
        console.startUp();
        QVERIFY(console.logIn());
        // A database the server cannot make: a plain file stands where its
        // storage would go.
        const QString name = QStringLiteral("blocked");
        QFile blocker(m_server.dataFolder() + QStringLiteral("/trevok_user_db_blocked"));
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        blocker.write("not a database");
        blocker.close();
        QVERIFY(addUser(console, name, QStringLiteral("pw")));
        QTRY_COMPARE(trevok::alerts_for_testing::shownFailures().size(), 1);
        const QString alert = trevok::alerts_for_testing::shownFailures().first();
        // Every failed step is named with the server's reason; the user
        // document, which was written, is not among them.
        QVERIFY2(alert.contains(QStringLiteral(
                     "Storing the design document “security”: not_found: no_db_file")),
                 qPrintable(alert));
        QVERIFY(!alert.contains(QStringLiteral("user document")));
        // Nothing is built on the database that is not there.
        QCOMPARE(status(userDb(name) + QStringLiteral("/_design/security")) == 200, false);
        // The user document was written, and says so by not being in the alert.
        QTRY_COMPARE(status(userDoc(name)), 200);
        QFile::remove(m_server.dataFolder() + QStringLiteral("/trevok_user_db_blocked"));
    }

    // A database creation the server refuses: nothing is built on it, and the
    // alert tells each failed step with the server's reason.
    void aRefusedDatabaseIsNotBuiltOn() {
        ConsoleFixture console;
        console.startUp();
        QVERIFY(console.logIn());
        console.app().activateUserSheet();
        fill(console, {QStringLiteral("gus"), QString(), QStringLiteral("L"), QStringLiteral("pw"),
                       QStringLiteral("pw")});
        // The login's own mending of the users' databases is done first.
        QTRY_COMPARE(console.app().server()->pendingOperations(), 0);
        // The administrator password changes behind the console's back
        // between the checks and the writes.
        const QString other = QStringLiteral("changed-elsewhere");
        QCOMPARE(TestServer::request("PUT", QStringLiteral("/_config/admins/admin"),
                                     QByteArray('"' + other.toUtf8() + '"'))
                     .status,
                 200);
        console.app().createUser();
        QVERIFY(!console.app().userSheet());
        QTRY_COMPARE(trevok::alerts_for_testing::shownFailures().size(), 1);
        QCOMPARE(TestServer::request("PUT", QStringLiteral("/_config/admins/admin"),
                                     QByteArray('"' + TestServer::adminPassword().toUtf8() + '"'),
                                     QStringLiteral("admin"), other)
                     .status,
                 200);
        const QString alert = trevok::alerts_for_testing::shownFailures().first();
        QVERIFY2(alert.contains(QStringLiteral("Writing the user document: unauthorized")),
                 qPrintable(alert));
        QVERIFY2(alert.contains(
                     QStringLiteral("Creating the database “trevok_user_db_gus”: unauthorized")),
                 qPrintable(alert));
        QVERIFY(!alert.contains(QStringLiteral("Securing")));
        QVERIFY(!alert.contains(QStringLiteral("Storing")));
        QVERIFY(!alert.contains(QStringLiteral("replication")));
        QCOMPARE(status(userDb(QStringLiteral("gus"))), 404);
        QCOMPARE(replicationsNaming(QStringLiteral("trevok_user_db_gus")).size(), 0);
    }

    void thePasswordNeverReachesTheLog() {
        ConsoleFixture console;
        console.startUp();
        QVERIFY(console.logIn());
        const int restLevel = gRESTLogLevel;
        const int couchLevel = gCouchLogLevel;
        gRESTLogLevel = 100;
        gCouchLogLevel = 100;
        g_logLines.clear();
        g_previousHandler = qInstallMessageHandler(collectLog);
        const QString secret = QStringLiteral("pw-0f5e-SECRET");
        const QString changed = QStringLiteral("pw-77aa-CHANGED");
        QVERIFY(addUser(console, QStringLiteral("erin"), secret));
        QTRY_VERIFY(canLogIn(QStringLiteral("erin"), secret));
        QVERIFY(select(console, QStringLiteral("erin")));
        console.app().activateChangeUserPasswordSheet();
        QDialog* sheet = console.app().userPasswordSheet();
        QVERIFY(sheet);
        sheet->findChild<QLineEdit*>(QStringLiteral("tmpNewPassword"))->setText(changed);
        sheet->findChild<QLineEdit*>(QStringLiteral("tmpRepeatNewPassword"))->setText(changed);
        console.app().changeUserPassword();
        QTRY_VERIFY(canLogIn(QStringLiteral("erin"), changed));
        qInstallMessageHandler(g_previousHandler);
        gRESTLogLevel = restLevel;
        gCouchLogLevel = couchLevel;
        QVERIFY(!g_logLines.isEmpty());
        for (const QString& line : std::as_const(g_logLines)) {
            QVERIFY2(!line.contains(secret), qPrintable(line));
            QVERIFY2(!line.contains(changed), qPrintable(line));
        }
    }
};

QTEST_MAIN(TestUsers)
#include "tst_users.moc"
