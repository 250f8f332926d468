#include "app/SelfTest.h"
#include "app/AppDelegate.h"
#include "chrome/PXAppStoreWindow.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDialog>
#include <QEventLoop>
#include <QLabel>
#include <QLineEdit>
#include <QTimer>

#include <cstdio>

namespace trevok {

namespace {
// A first start on a slow machine (node loading its modules, the data
// folder created) can take longer than the one second start-up waits.
constexpr int kServerUpWithinMs = 60000;
constexpr int kProbeEveryMs = 500;

void report(const QString& line) {
    std::fputs(qPrintable(QStringLiteral("self-test: ") + line + QLatin1Char('\n')), stdout);
    std::fflush(stdout);
}

bool serverSeenUp(AppDelegate& delegate) {
    const auto* field =
        delegate.mainWindow()->findChild<QLabel*>(QStringLiteral("serverVersionTextField"));
    return field && !field->isHidden() && !field->text().isEmpty();
}

void pause(int ms) {
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}
} // namespace

bool selfTestRequested() {
    return qEnvironmentVariable("TREVOK_SELF_TEST") == QLatin1String("login");
}

int runSelfTest(AppDelegate& delegate) {
    delegate.applicationDidFinishLaunching();
    QDeadlineTimer deadline(kServerUpWithinMs);
    while (!serverSeenUp(delegate) && !deadline.hasExpired()) {
        pause(kProbeEveryMs);
        delegate.probeServer();
    }
    if (!serverSeenUp(delegate)) {
        report(QStringLiteral("the server did not come up"));
        return 1;
    }
    report(QStringLiteral("server up"));

    delegate.activateLoginPasswordSheet();
    auto* field = delegate.loginSheet() ? delegate.loginSheet()->findChild<QLineEdit*>(
                                              QStringLiteral("_loginPassWordTextField"))
                                        : nullptr;
    if (!field) {
        report(QStringLiteral("the login sheet did not open"));
        return 1;
    }
    const QString password = qEnvironmentVariableIsSet("TREVOK_SELF_TEST_PASSWORD")
                                 ? qEnvironmentVariable("TREVOK_SELF_TEST_PASSWORD")
                                 : QStringLiteral("trevok");
    field->setText(password);
    delegate.login();
    if (delegate.logedIn() != 1) {
        report(QStringLiteral("login refused"));
        return 1;
    }
    report(QStringLiteral("login accepted"));
    return 0;
}

} // namespace trevok
