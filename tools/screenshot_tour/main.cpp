// Walks the console through its main states under a display and saves a
// picture of each, for a person to look at (scripts/screenshot.sh).
#include "chrome/PXAppStoreWindow.h"
#include "services/Alerts.h"
#include "tests/e2e/E2eScenario.h"
#include "tests/harness/ConsoleFixture.h"
#include "tests/harness/SyncClient.h"
#include "tests/harness/TestServer.h"

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QEventLoop>
#include <QLabel>
#include <QPixmap>
#include <QScreen>
#include <QScrollArea>
#include <QTemporaryDir>
#include <QTimer>

using trevok::test::ConsoleFixture;
using trevok::test::E2eConsole;
using trevok::test::TestServer;

namespace {
void settle(int ms) {
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

// At once: for a state that does not last.
void shootNow(AppDelegate& app, const QString& name) {
    settle(30);
    const QString dir = qEnvironmentVariable("TREVOK_SCREENSHOT_DIR", QDir::currentPath());
    const QRect frame = app.mainWindow()->frameGeometry().adjusted(-20, -20, 20, 20);
    QGuiApplication::primaryScreen()
        ->grabWindow(0, frame.x(), frame.y(), frame.width(), frame.height())
        .save(dir + QLatin1Char('/') + name + QStringLiteral(".png"));
}

void shoot(AppDelegate& app, const QString& name) {
    settle(570);
    shootNow(app, name);
}

} // namespace

int main(int argc, char* argv[]) {
    // Settings and data of its own: the tour must not touch a person's.
    QTemporaryDir home;
    qputenv("XDG_CONFIG_HOME", (home.path() + QStringLiteral("/config")).toUtf8());
    qputenv("XDG_DATA_HOME", (home.path() + QStringLiteral("/data")).toUtf8());
    QApplication qapp(argc, argv);
    ConsoleFixture::clearUserDefaults();
    TestServer server;
    if (!server.start())
        return 1;

    E2eConsole web;
    // The logged-out window, with and without the login sheet, before logging in.
    ConsoleFixture::clearUserDefaults();
    {
        ConsoleFixture console;
        console.startUp();
        shoot(console.app(), QStringLiteral("1-logged-out"));
        console.app().activateLoginPasswordSheet();
        shoot(console.app(), QStringLiteral("2-login-sheet"));
        console.logIn(QStringLiteral("not the password"));
        shoot(console.app(), QStringLiteral("2b-login-refused"));
    }
    if (!web.startAndLogIn())
        return 2;
    AppDelegate& app = web.app();
    for (const char* user : {"ann", "anna", "ben"})
        web.addUser(QString::fromLatin1(user), QStringLiteral("pw"));
    const QString fair = web.addProject(QStringLiteral("Summer Fair 2015!"));
    const QString cafe = web.addProject(QStringLiteral("Café Zürich"));
    web.addMember(fair, QStringLiteral("ann"));
    web.addMember(fair, QStringLiteral("ben"));
    app.switchToProjects();
    web.selectProject(fair);
    app.listProjectUsers();
    shoot(app, QStringLiteral("3-logged-in-projects"));
    app.openUserPanel();
    shoot(app, QStringLiteral("3b-user-picking-panel"));
    app.closeUserPicker();
    // An archived project, selected.
    web.selectProject(cafe);
    trevok::alerts_for_testing::answerNextAlerts(1);
    app.archiveProject();
    trevok::alerts_for_testing::answerNextAlerts(std::nullopt);
    settle(4000);
    web.selectProject(cafe);
    shoot(app, QStringLiteral("3c-archived-selected"));
    app.switchToUsers();
    shoot(app, QStringLiteral("4-users"));
    app.activateUserSheet();
    app.checkUser();
    shoot(app, QStringLiteral("4b-add-user-refused"));
    app.closeUserSheet();
    web.selectUser(QStringLiteral("ben"));
    app.activateChangeUserPasswordSheet();
    shoot(app, QStringLiteral("4c-user-password-sheet"));
    app.closeChangeUserPasswordSheet();
    // Sync health: ann's client has connected, ben's database was removed by
    // hand, so his replications stopped with an error.
    {
        trevok::test::SyncClient client(web.listenerUrl(), QStringLiteral("ann"),
                                        QStringLiteral("pw"));
        client.put({{QStringLiteral("_id"), QStringLiteral("hello")}});
        settle(3000);
    }
    TestServer::request("DELETE", QStringLiteral("/trevok_user_db_ben"));
    settle(8000);
    app.switchToUsers();
    shoot(app, QStringLiteral("7-sync-health-users"));
    app.switchToProjects();
    web.selectProject(fair);
    app.listProjectUsers();
    shoot(app, QStringLiteral("7b-sync-health-project"));
    app.switchToInfo();
    shoot(app, QStringLiteral("5-information"));
    // The backup part with a daily backup chosen and one running: a database
    // of photographs makes it last long enough to be seen.
    {
        TestServer::createDatabase(QStringLiteral("trevok_user_db_photos"));
        const QByteArray photo = QByteArray(60000, 'p').toBase64();
        for (int i = 0; i < 200; ++i)
            TestServer::putDocument(QStringLiteral("trevok_user_db_photos"),
                                    QStringLiteral("photo-%1").arg(i),
                                    "{\"_attachments\":{\"p.jpg\":{\"content_type\":\"image/jpeg\","
                                    "\"data\":\"" +
                                        photo + "\"}}}");
        QTemporaryDir backups;
        auto* scroll = app.mainContent()->findChild<QScrollArea*>(QStringLiteral("infoScroll"));
        auto* daily =
            app.mainContent()->findChild<QCheckBox*>(QStringLiteral("dailyBackupCheckbox"));
        auto* status = app.mainContent()->findChild<QLabel*>(QStringLiteral("backupStatusLabel"));
        if (daily)
            daily->setChecked(true);
        app.setBackupFolder(backups.path());
        app.startBackupInto(backups.path());
        if (scroll && status)
            scroll->ensureWidgetVisible(status);
        for (int i = 0; i < 600 && !app.backupStatusText().contains(QStringLiteral("photos")); ++i)
            settle(10);
        shootNow(app, QStringLiteral("5b-backup-running"));
        while (app.backupRunning())
            settle(50);
    }
    app.activateChangeAdminPasswordSheet();
    shoot(app, QStringLiteral("6-admin-password-sheet"));
    app.closeChangeAdminPasswordSheet();
    return 0;
}
