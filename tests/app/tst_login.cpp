#include "chrome/UserDefaults.h"
#include "lists/ProjectQuery.h"
#include "server/SyncListener.h"
#include "services/Alerts.h"
#include "tests/harness/ConsoleFixture.h"
#include "tests/harness/TestServer.h"

#include <QAbstractButton>
#include <QDialog>
#include <QJsonArray>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QTabWidget>
#include <QTest>
#include <QToolButton>

using namespace trevok::test;

namespace {
// The failure notice lives in the login sheet, next to the password field,
// and its accessible name is what it says.
bool failureShown(ConsoleFixture& console) {
    const QDialog* sheet = console.app().loginSheet();
    const QLabel* notice =
        sheet ? sheet->findChild<QLabel*>(QStringLiteral("loginWarningTextField")) : nullptr;
    if (!notice || notice->isHidden())
        return false;
    return notice->accessibleName() == notice->text() && !notice->text().isEmpty();
}
} // namespace

// Login, the master database, the window's tabs and geometry and the
// administrator password, against the real bundled server.
class TestLogin : public QObject {
    Q_OBJECT

    TestServer m_server;

    static QJsonObject masterRecord() {
        return TestServer::getJson(QStringLiteral("/trevok_master/trevokMasterID")).object();
    }

private Q_SLOTS:
    void initTestCase() { QVERIFY(m_server.start()); }
    void init() { ConsoleFixture::clearUserDefaults(); }

    void startUpLeavesTheWindowLoggedOut() {
        ConsoleFixture console;
        console.startUp();
        AppDelegate& app = console.app();
        QCOMPARE(app.logedIn(), 0);
        QVERIFY(!console.find<QToolButton>("projectButton")->isEnabled());
        QVERIFY(!console.find<QToolButton>("userButton")->isEnabled());
        QVERIFY(!failureShown(console));
        QCOMPARE(console.find<QLabel>("loginHeader")->text(), QStringLiteral("Login"));
        // The harness's server refuses the anonymous probe as expected.
        QVERIFY(!console.find<QLabel>("serverVersionTextField")->isHidden());
        QCOMPARE(console.find<QLabel>("serverVersionTextField")->text(),
                 QStringLiteral("The server is up and running."));
        QCOMPARE(app.projectListPredicate(), QStringLiteral("wasDeleted == NO"));
        QCOMPARE(app.lastFrame(), QRect(250, 250, 600, 470));

        // The listener comes up after start-up and its port completes the TXT record.
        QTRY_VERIFY(app.listener());
        QVERIFY(app.listener()->port() > 0);
        QCOMPARE(app.txtRecord().keys(),
                 QStringList({QStringLiteral("Edition"), QStringLiteral("Machine ID"),
                              QStringLiteral("Version"), QStringLiteral("port")}));
        QCOMPARE(app.txtRecord().value(QStringLiteral("port")),
                 QString::number(app.listener()->port()));
        QCOMPARE(app.txtRecord().value(QStringLiteral("Machine ID")), app.macAddressString());
        QVERIFY(app.serviceName().contains(QStringLiteral(" @ ")));
        // A request through it reaches the server.
        QCOMPARE(TestServer::request("GET", QString(), {}, QString(), QString()).status, 401);
    }

    void startUpCompletesWithoutAServer() {
        m_server.stop();
        ConsoleFixture console;
        console.startUp();
        QVERIFY(console.find<QLabel>("serverVersionTextField")->isHidden());
        QVERIFY(console.find<QAbstractButton>("loginButton")->isEnabled());
        QVERIFY(!console.logIn());
        QVERIFY(failureShown(console));
        QVERIFY(m_server.start());
    }

    void hintFollowsCustomizedPassword_data() {
        QTest::addColumn<QVariant>("value");
        QTest::addColumn<bool>("hintShown");
        QTest::newRow("absent") << QVariant() << true;
        QTest::newRow("1") << QVariant(QStringLiteral("1")) << false;
        QTest::newRow("0") << QVariant(QStringLiteral("0")) << true;
        QTest::newRow("yes") << QVariant(QStringLiteral("yes")) << true;
    }
    void hintFollowsCustomizedPassword() {
        QFETCH(QVariant, value);
        QFETCH(bool, hintShown);
        if (value.isValid())
            pxUserDefaults().setValue(QStringLiteral("TS_CustomizedPassword"), value);
        ConsoleFixture console;
        console.startUp();
        console.app().activateLoginPasswordSheet();
        QVERIFY(console.app().loginSheet());
        QCOMPARE(!console.find<QLabel>("loginPasswordTextField")->isHidden(), hintShown);
    }

    void refusedPasswordsKeepTheSheetForAnotherTry_data() {
        QTest::addColumn<QString>("password");
        QTest::newRow("wrong") << QStringLiteral("not-the-password");
        QTest::newRow("empty") << QString();
        QTest::newRow("case differs") << TestServer::adminPassword().toUpper();
    }
    void refusedPasswordsKeepTheSheetForAnotherTry() {
        QFETCH(QString, password);
        ConsoleFixture console;
        console.startUp();
        QVERIFY(!console.logIn(password));
        QVERIFY(console.app().loginSheet());
        QVERIFY(failureShown(console));
        QVERIFY(console.find<QLabel>("loginPasswordTextField")->isHidden());
        // The same sheet takes the right password next.
        QVERIFY(console.logIn());
        QVERIFY(!failureShown(console));
    }

    void cancelGivesAFreshSheetNextTime() {
        ConsoleFixture console;
        console.startUp();
        console.app().activateLoginPasswordSheet();
        QPointer<QDialog> first = console.app().loginSheet();
        first->findChild<QLineEdit*>(QStringLiteral("_loginPassWordTextField"))
            ->setText(QStringLiteral("typed"));
        console.app().closeLoginPasswordSheet();
        QVERIFY(!console.app().loginSheet());
        console.app().activateLoginPasswordSheet();
        QVERIFY(console.app().loginSheet());
        QVERIFY(console.app().loginSheet() != first.data());
        QVERIFY(console.app()
                    .loginSheet()
                    ->findChild<QLineEdit*>(QStringLiteral("_loginPassWordTextField"))
                    ->text()
                    .isEmpty());
    }

    void firstLoginCreatesTheMasterDatabase() {
        TestServer::request("DELETE", QStringLiteral("/trevok_master"));
        // A name that merely begins like the master database's does not count.
        QVERIFY(TestServer::createDatabase(QStringLiteral("trevok_master_old")));
        TestServer::request("PUT", QStringLiteral("/trevok_master_old/_design/projectmeta"),
                            "{\"views\":{\"all_projects\":{\"map\":\"function(doc){}\"}}}");
        pxUserDefaults().setValue(QStringLiteral("NSWindow Frame TrevokServer"),
                                  QStringLiteral("100 200 900 700 0 0 1600 1000"));
        ConsoleFixture console;
        console.startUp();
        QCOMPARE(console.app().lastFrame(), QRect(100, 430, 600, 470));
        QPointer<QLineEdit> field;
        console.app().activateLoginPasswordSheet();
        field = console.app().loginSheet()->findChild<QLineEdit*>(
            QStringLiteral("_loginPassWordTextField"));
        field->setText(TestServer::adminPassword());
        console.app().login();
        QCOMPARE(console.app().logedIn(), 1);
        QVERIFY(console.app().needsTrevokMaster());
        QVERIFY(!console.app().loginSheet());
        QVERIFY(!field || field->text().isEmpty());
        QVERIFY(console.find<QToolButton>("projectButton")->isEnabled());
        QVERIFY(console.find<QToolButton>("userButton")->isEnabled());
        QCOMPARE(console.find<QTabWidget>("tabView")->currentIndex(), 0);
        QVERIFY(console.find<QLabel>("serverVersionTextField")->isHidden());
        QCOMPARE(console.app().lastFrame(), QRect(100, 200, 900, 700));

        QTRY_VERIFY(masterRecord().contains(QStringLiteral("serverName")));
        const QJsonObject record = masterRecord();
        QCOMPARE(record.value(QStringLiteral("type")).toString(), QStringLiteral("MasterInfoDoc"));
        QCOMPARE(record.value(QStringLiteral("owner")).toString(), QStringLiteral("admin"));
        QVERIFY(!record.value(QStringLiteral("created")).toString().isEmpty());
        QVERIFY(!record.value(QStringLiteral("serverID")).toString().isEmpty());
        const QString masterID = record.value(QStringLiteral("masterID")).toString();
        QCOMPARE(masterID.size(), 36);
        QVERIFY(masterID != record.value(QStringLiteral("serverID")).toString());
        QCOMPARE(pxUserDefaults().value(QStringLiteral("serverID")).toString(), masterID);
    }

    void everyLoginKeepsTheMasterAndRewritesTheProjectsView() {
        const QString before = masterRecord().value(QStringLiteral("masterID")).toString();
        QVERIFY(!before.isEmpty());
        QJsonObject design =
            TestServer::getJson(QStringLiteral("/trevok_master/_design/projectmeta")).object();
        design.insert(
            QStringLiteral("views"),
            QJsonObject{{QStringLiteral("all_projects"),
                         QJsonObject{{QStringLiteral("map"), QStringLiteral("function(doc){}")}}}});
        QCOMPARE(TestServer::request("PUT", QStringLiteral("/trevok_master/_design/projectmeta"),
                                     QJsonDocument(design).toJson())
                     .status,
                 201);
        ConsoleFixture console;
        console.startUp();
        QVERIFY(console.logIn());
        QVERIFY(!console.app().needsTrevokMaster());
        QCOMPARE(masterRecord().value(QStringLiteral("masterID")).toString(), before);
        QCOMPARE(pxUserDefaults().value(QStringLiteral("serverID")).toString(), before);
        const auto map = [] {
            return TestServer::getJson(QStringLiteral("/trevok_master/_design/projectmeta"))
                .object()
                .value(QStringLiteral("views"))
                .toObject()
                .value(QStringLiteral("all_projects"))
                .toObject()
                .value(QStringLiteral("map"))
                .toString();
        };
        QTRY_COMPARE(map(), QStringLiteral("function(doc){if (doc.type === 'ProjectInfoDoc') "
                                           "emit(doc.title,doc);};"));
    }

    void aMasterRecordTheServerRefusesIsTold() {
        // The record is gone and the database refuses to take it back.
        const QJsonObject record = masterRecord();
        TestServer::request("DELETE", QStringLiteral("/trevok_master/trevokMasterID?rev=") +
                                          record.value(QStringLiteral("_rev")).toString());
        QCOMPARE(TestServer::request(
                     "PUT", QStringLiteral("/trevok_master/_design/guard"),
                     "{\"validate_doc_update\":\"function(n){if(n._id==='trevokMasterID')"
                     "throw({forbidden:'closed for this test'});}\"}")
                     .status,
                 201);
        trevok::alerts_for_testing::shownFailures().clear();
        ConsoleFixture console;
        console.startUp();
        QVERIFY(console.logIn());
        QTRY_COMPARE(trevok::alerts_for_testing::shownFailures().size(), 1);
        const QString told = trevok::alerts_for_testing::shownFailures().first();
        QVERIFY2(told.contains(QStringLiteral("master record")), qPrintable(told));
        QVERIFY2(told.contains(QStringLiteral("closed for this test")), qPrintable(told));

        const QJsonObject guard =
            TestServer::getJson(QStringLiteral("/trevok_master/_design/guard")).object();
        TestServer::request("DELETE", QStringLiteral("/trevok_master/_design/guard?rev=") +
                                          guard.value(QStringLiteral("_rev")).toString());
        ConsoleFixture again;
        again.startUp();
        QVERIFY(again.logIn());
        QTRY_VERIFY(masterRecord().contains(QStringLiteral("masterID")));
    }

    void tabsShowTheirImagesAndTheInformationTab() {
        TestServer::request("PUT", QStringLiteral("/_config/httpd/WWW-Authenticate"),
                            "\"Basic realm=server\"");
        ConsoleFixture console;
        console.startUp();
        QVERIFY(console.logIn());
        AppDelegate& app = console.app();
        const auto images = [&] {
            return QStringList{
                console.find<QToolButton>("userButton")->property("imageName").toString(),
                console.find<QToolButton>("projectButton")->property("imageName").toString(),
                console.find<QToolButton>("infoButton")->property("imageName").toString()};
        };
        QCOMPARE(images(), QStringList({QStringLiteral("Users_large"),
                                        QStringLiteral("Projects_large_active"),
                                        QStringLiteral("Infos_large")}));
        app.switchToUsers();
        QCOMPARE(console.find<QTabWidget>("tabView")->currentIndex(), 1);
        QCOMPARE(images(),
                 QStringList({QStringLiteral("Users_large_active"),
                              QStringLiteral("Projects_large"), QStringLiteral("Infos_large")}));
        app.switchToInfo();
        QCOMPARE(console.find<QTabWidget>("tabView")->currentIndex(), 2);
        QCOMPARE(images(),
                 QStringList({QStringLiteral("Users_large"), QStringLiteral("Projects_large"),
                              QStringLiteral("Infos_large_active")}));
        QCOMPARE(console.find<QLabel>("bindAddress")->text(), QStringLiteral("127.0.0.1"));
        QCOMPARE(console.find<QLabel>("requireValidUser")->text(), QStringLiteral("true"));
        QCOMPARE(console.find<QLabel>("wwwAuthenticate")->text(), QStringLiteral("Enabled"));

        TestServer::request("DELETE", QStringLiteral("/_config/httpd/WWW-Authenticate"));
        app.switchToProjects();
        app.switchToInfo();
        QCOMPARE(console.find<QLabel>("wwwAuthenticate")->text(), QStringLiteral("Not enabled"));
    }

    void adminPasswordValidation_data() {
        QTest::addColumn<QString>("password");
        QTest::addColumn<QString>("repeat");
        QTest::addColumn<QString>("warning");
        QTest::newRow("empty with a repetition")
            << QString() << QStringLiteral("x")
            << QStringLiteral("The password field can't be empty");
        QTest::newRow("both empty")
            << QString() << QString() << QStringLiteral("The password field can't be empty");
        QTest::newRow("empty repetition")
            << QStringLiteral("x") << QString()
            << QStringLiteral("The passwords don't match, please try again.");
        QTest::newRow("case differs")
            << QStringLiteral("Secret") << QStringLiteral("secret")
            << QStringLiteral("The passwords don't match, please try again.");
    }
    void adminPasswordValidation() {
        QFETCH(QString, password);
        QFETCH(QString, repeat);
        QFETCH(QString, warning);
        ConsoleFixture console;
        console.startUp();
        console.app().activateChangeAdminPasswordSheet();
        QVERIFY(!console.app().adminPasswordSheet()); // logged out: nothing opens
        QVERIFY(console.logIn());
        console.app().activateChangeAdminPasswordSheet();
        QDialog* sheet = console.app().adminPasswordSheet();
        QVERIFY(sheet);
        sheet->findChild<QLineEdit*>(QStringLiteral("tmpNewAdminPassword"))->setText(password);
        sheet->findChild<QLineEdit*>(QStringLiteral("tmpRepeatNewAdminPassword"))->setText(repeat);
        console.app().changeAdminPassword();
        QCOMPARE(console.app().adminPasswordSheet(), sheet);
        QCOMPARE(
            sheet->findChild<QLabel*>(QStringLiteral("adminPasswordSheetWarningField"))->text(),
            warning);
        QVERIFY(!pxUserDefaults().contains(QStringLiteral("TS_CustomizedPassword")));
    }

    void refusedPasswordChangeKeepsTheSheetOpen() {
        ConsoleFixture console;
        console.startUp();
        QVERIFY(console.logIn());
        // Someone else changes the password: the console's change is refused.
        const QString other = QStringLiteral("changed-elsewhere");
        QCOMPARE(TestServer::request("PUT", QStringLiteral("/_config/admins/admin"),
                                     '"' + other.toUtf8() + '"')
                     .status,
                 200);
        console.app().activateChangeAdminPasswordSheet();
        QDialog* sheet = console.app().adminPasswordSheet();
        sheet->findChild<QLineEdit*>(QStringLiteral("tmpNewAdminPassword"))
            ->setText(QStringLiteral("n"));
        sheet->findChild<QLineEdit*>(QStringLiteral("tmpRepeatNewAdminPassword"))
            ->setText(QStringLiteral("n"));
        console.app().changeAdminPassword();
        QCOMPARE(console.app().adminPasswordSheet(), sheet);
        QVERIFY(sheet->findChild<QLabel*>(QStringLiteral("adminPasswordSheetWarningField"))
                    ->text()
                    .contains(QStringLiteral("unauthorized")));
        QVERIFY(!pxUserDefaults().contains(QStringLiteral("TS_CustomizedPassword")));
        // With the configuration unreadable the information tab shows dashes.
        console.app().closeChangeAdminPasswordSheet();
        console.app().switchToInfo();
        QCOMPARE(console.find<QLabel>("bindAddress")->text(), QStringLiteral("–"));
        QCOMPARE(TestServer::request("PUT", QStringLiteral("/_config/admins/admin"),
                                     '"' + TestServer::adminPassword().toUtf8() + '"',
                                     QStringLiteral("admin"), other)
                     .status,
                 200);
    }

    void acceptedPasswordChangeHoldsAfterARestart() {
        const QString next = QStringLiteral("a new one");
        {
            ConsoleFixture console;
            console.startUp();
            QVERIFY(console.logIn());
            console.app().activateChangeAdminPasswordSheet();
            QDialog* sheet = console.app().adminPasswordSheet();
            sheet->findChild<QLineEdit*>(QStringLiteral("tmpNewAdminPassword"))->setText(next);
            sheet->findChild<QLineEdit*>(QStringLiteral("tmpRepeatNewAdminPassword"))
                ->setText(next);
            console.app().changeAdminPassword();
            QVERIFY(!console.app().adminPasswordSheet());
            QCOMPARE(pxUserDefaults().value(QStringLiteral("TS_CustomizedPassword")).toString(),
                     QStringLiteral("1"));
            // The session goes on with the new password.
            console.app().switchToInfo();
            QCOMPARE(console.find<QLabel>("bindAddress")->text(), QStringLiteral("127.0.0.1"));
        }
        QVERIFY(m_server.restart());
        ConsoleFixture console;
        console.startUp();
        QVERIFY(!console.logIn(TestServer::adminPassword()));
        QVERIFY(console.find<QLabel>("loginPasswordTextField")->isHidden());
        QVERIFY(console.logIn(next));
        // Leave the server as the other tests expect it.
        QCOMPARE(TestServer::request("PUT", QStringLiteral("/_config/admins/admin"),
                                     '"' + TestServer::adminPassword().toUtf8() + '"',
                                     QStringLiteral("admin"), next)
                     .status,
                 200);
    }
};

QTEST_MAIN(TestLogin)
#include "tst_login.moc"
