// Walks the console through its main states under a display and saves a
// picture of each, for a person to look at (scripts/screenshot.sh).
#include "chrome/PXAppStoreWindow.h"
#include "tests/harness/ConsoleFixture.h"
#include "tests/harness/TestServer.h"

#include <QApplication>
#include <QDir>
#include <QEventLoop>
#include <QPixmap>
#include <QScreen>
#include <QTemporaryDir>
#include <QTimer>

using trevok::test::ConsoleFixture;
using trevok::test::TestServer;

namespace {
void settle(int ms) {
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

void shoot(AppDelegate& app, const QString& name) {
    settle(600);
    const QString dir = qEnvironmentVariable("TREVOK_SCREENSHOT_DIR", QDir::currentPath());
    const QRect frame = app.mainWindow()->frameGeometry().adjusted(-20, -20, 20, 20);
    QPixmap shot = QGuiApplication::primaryScreen()->grabWindow(0, frame.x(), frame.y(),
                                                                frame.width(), frame.height());
    shot.save(dir + QLatin1Char('/') + name + QStringLiteral(".png"));
}

void seed() {
    for (const char* user : {"ann", "anna", "ben"}) {
        const QString name = QString::fromLatin1(user);
        TestServer::putDocument(
            QStringLiteral("_users"), QStringLiteral("org.couchdb.user:") + name,
            QStringLiteral("{\"name\":\"%1\",\"password\":\"pw\",\"roles\":[],\"type\":\"user\","
                           "\"firstName\":\"%2\",\"lastName\":\"Example\"}")
                .arg(name, name.at(0).toUpper() + name.mid(1))
                .toUtf8());
    }
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
    seed();

    ConsoleFixture console;
    AppDelegate& app = console.app();
    console.startUp();
    shoot(app, QStringLiteral("1-logged-out"));
    app.activateLoginPasswordSheet();
    shoot(app, QStringLiteral("2-login-sheet"));
    app.closeLoginPasswordSheet();
    if (!console.logIn())
        return 2;
    shoot(app, QStringLiteral("3-logged-in-projects"));
    app.switchToUsers();
    shoot(app, QStringLiteral("4-users"));
    app.switchToInfo();
    shoot(app, QStringLiteral("5-information"));
    app.activateChangeAdminPasswordSheet();
    shoot(app, QStringLiteral("6-admin-password-sheet"));
    app.closeChangeAdminPasswordSheet();
    return 0;
}
