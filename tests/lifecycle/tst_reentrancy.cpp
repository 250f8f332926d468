#include "services/Alerts.h"
#include "services/BusyState.h"
#include "services/NotificationCenter.h"
#include "store/RESTOperation.h"
#include "tests/harness/ConsoleFixture.h"
#include "tests/harness/ProjectActions.h"
#include "tests/harness/TestServer.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QWindow>

using namespace trevok::test;
namespace alerts = trevok::alerts_for_testing;

// What arrives while a flow waits for the server (a window closed by the
// window system, an alert's answer, a notification) must neither pull the
// flow's sheet away nor run inside the flow's wait.
class TestReentrancy : public QObject {
    Q_OBJECT

    TestServer m_server;
    std::unique_ptr<ConsoleFixture> m_console;

    AppDelegate& app() { return m_console->app(); }

    static int status(const QString& path) { return TestServer::request("GET", path).status; }

    void fillUserSheet(const QString& name) {
        app().activateUserSheet();
        QVERIFY(app().userSheet());
        const QStringList fields = {QStringLiteral("tmpUserName"), QStringLiteral("tmpFirstName"),
                                    QStringLiteral("tmpLastName"), QStringLiteral("tmpPassword"),
                                    QStringLiteral("tmpRepeatPassword")};
        const QStringList values = {name, QStringLiteral("Eve"), QStringLiteral("Example"),
                                    QStringLiteral("pw"), QStringLiteral("pw")};
        for (int i = 0; i < fields.size(); ++i)
            app().userSheet()->findChild<QLineEdit*>(fields.at(i))->setText(values.at(i));
    }

    // Everything a created user has on the server.
    static void verifyUserLayout(const QString& name) {
        const QString db = QStringLiteral("trevok_user_db_") + name;
        QCOMPARE(status(QStringLiteral("/_users/org.couchdb.user:") + name), 200);
        QCOMPARE(status(QLatin1Char('/') + db), 200);
        const QJsonObject design =
            TestServer::getJson(QLatin1Char('/') + db + QStringLiteral("/_design/security"))
                .object();
        QVERIFY(design.value(QStringLiteral("views"))
                    .toObject()
                    .contains(QStringLiteral("validate_doc_update")));
        QVERIFY(design.value(QStringLiteral("filters"))
                    .toObject()
                    .contains(QStringLiteral("user_to_master_filter")));
        QTRY_VERIFY_WITH_TIMEOUT(
            [&] {
                for (const QJsonObject& doc : TestServer::documents(QStringLiteral("_replicator")))
                    if (doc.value(QStringLiteral("source")).toString() == db)
                        return true;
                return false;
            }(),
            10000);
    }

private Q_SLOTS:
    void initTestCase() {
        QVERIFY(m_server.start());
        ConsoleFixture::clearUserDefaults();
    }

    void init() {
        alerts::shownFailures().clear();
        alerts::answerNextAlerts(std::nullopt);
        m_console = std::make_unique<ConsoleFixture>();
        m_console->startUp();
        QVERIFY(m_console->logIn());
    }

    void cleanup() {
        RESTOperation::setWaitHookForTesting({});
        m_console.reset();
    }

    // The window system's close (the sheet's close button, a window manager)
    // is not user input, so the wait lets it through; it is held back until
    // the flow has ended, and the flow finishes with its sheet in place.
    void closingTheUserSheetDuringAWaitIsHeldBack_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QByteArray>("method");
        QTest::addColumn<QString>("pathOf");
        QTest::newRow("checking the name") << QStringLiteral("closer1") << QByteArray("GET")
                                           << QStringLiteral("/_users/org.couchdb.user:%1");
        QTest::newRow("creating the database") << QStringLiteral("closer2") << QByteArray("PUT")
                                               << QStringLiteral("/trevok_user_db_%1");
        QTest::newRow("storing the design document")
            << QStringLiteral("closer3") << QByteArray("PUT")
            << QStringLiteral("/trevok_user_db_%1/_design/security");
    }
    void closingTheUserSheetDuringAWaitIsHeldBack() {
        QFETCH(QString, name);
        QFETCH(QByteArray, method);
        QFETCH(QString, pathOf);
        fillUserSheet(name);
        const QString path = pathOf.arg(name);
        bool closed = false;
        bool sheetStayed = false;
        RESTOperation::setWaitHookForTesting([&](RESTOperation* op) {
            if (closed || !op || op->method() != method ||
                op->url().path(QUrl::FullyDecoded) != path)
                return;
            closed = true;
            app().userSheet()->windowHandle()->close();
            sheetStayed = app().userSheet() && app().userSheet()->isVisible();
        });
        app().checkUser();
        QVERIFY(closed);
        QVERIFY(sheetStayed);
        QVERIFY(!app().userSheet());
        verifyUserLayout(name);
        QVERIFY2(alerts::shownFailures().isEmpty(),
                 qPrintable(alerts::shownFailures().join(u'\n')));
        // Nothing is left held back: the next sheet opens and closes normally.
        QTRY_VERIFY(!trevok::flowRunning());
        app().activateUserSheet();
        QVERIFY(app().userSheet());
        app().userSheet()->windowHandle()->close();
        QTRY_VERIFY(!app().userSheet());
    }

    // An alert's answer starts a flow; arriving while the archive observer
    // waits, it runs once the observer's pass has ended.
    void anAlertAnswerWaitsForTheArchiveObserver() {
        const QString id = createListedProject(app(), QStringLiteral("Gamma"));
        QVERIFY(!id.isEmpty());
        QVERIFY(selectProject(app(), id));
        alerts::answerNextAlerts(1);
        app().archiveProject();
        alerts::answerNextAlerts(std::nullopt);
        QVERIFY(!app().archivesInProgress().isEmpty());

        bool answered = false;
        bool answeredInsideAWait = false;
        trevok::runConfirmationAlert(app().mainWindow(),
                                     {QStringLiteral("Go on?"), QString(), QStringLiteral("Go On"),
                                      QStringLiteral("testAlert")},
                                     [&](int code) {
                                         answered = code == 1;
                                         answeredInsideAWait = RESTOperation::waitDepth() > 0 ||
                                                               trevok::flowRunning();
                                     });
        auto* box = app().mainWindow()->findChild<QMessageBox*>();
        QVERIFY(box);
        bool clickedInsideTheObserver = false;
        // The archiving flow has ended: the next waits are the observer's
        // (reading the master's copies, removing the copy's document).
        RESTOperation::setWaitHookForTesting([&](RESTOperation* op) {
            const QString path = op ? op->url().path() : QString();
            if (clickedInsideTheObserver || !(path.startsWith(QLatin1String("/_replicator/")) ||
                                              path.startsWith(QLatin1String("/trevok_master/"))))
                return;
            clickedInsideTheObserver = true;
            box->defaultButton()->click();
        });
        QTRY_VERIFY_WITH_TIMEOUT(app().archivesInProgress().isEmpty(), 30000);
        QVERIFY(clickedInsideTheObserver);
        QTRY_VERIFY(answered);
        QVERIFY(!answeredInsideAWait);
    }

    // A double click in the picking panel while a flow waits adds the member
    // once that flow has ended, not inside it.
    void aNotificationWaitsForTheRunningFlow() {
        int deliveredInsideAWait = 0;
        int delivered = 0;
        QObject observer;
        trevok::NotificationCenter::defaultCenter().addObserver(
            &observer, QStringLiteral("ReentrancyProbe"), [&](const trevok::Notification&) {
                ++delivered;
                deliveredInsideAWait += RESTOperation::waitDepth() > 0 ? 1 : 0;
            });
        RESTOperation::setWaitHookForTesting([&](RESTOperation*) {
            RESTOperation::setWaitHookForTesting({});
            trevok::NotificationCenter::defaultCenter().post(QStringLiteral("ReentrancyProbe"));
        });
        fillUserSheet(QStringLiteral("notified"));
        app().checkUser();
        QTRY_COMPARE(delivered, 1);
        QCOMPARE(deliveredInsideAWait, 0);
        // The controller's own registration survives every server event.
        QCOMPARE(trevok::NotificationCenter::defaultCenter().observerCount(
                     QStringLiteral("AddUserToProject")),
                 1);
    }
};

QTEST_MAIN(TestReentrancy)
#include "tst_reentrancy.moc"
