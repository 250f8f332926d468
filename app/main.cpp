#include "app/AppDelegate.h"
#include "app/SelfTest.h"
#include "chrome/PXAppStoreWindow.h"
#include "desktop/Autostart.h"
#include "desktop/SingleInstance.h"
#ifdef TREVOK_WITH_TEST_CONTROL
#include "app/TestControl.h"
#endif

#include <QApplication>
#include <QTimer>

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    QApplication::setOrganizationName(QStringLiteral("com.trevokapp"));
    QApplication::setApplicationName(QStringLiteral("TrevokServer"));
    // The console is the service: its window may close, the listener stays.
    QApplication::setQuitOnLastWindowClosed(false);
    const bool hidden = QApplication::arguments().contains(QLatin1String(trevok::kHiddenSwitch));

    // A second start shows the first one's window and ends: it could not
    // announce the service beside it anyway.
    trevok::SingleInstance instance;
    QString channelProblem;
    if (!trevok::selfTestRequested() &&
        !instance.claim(hidden ? QByteArray() : QByteArrayLiteral("show"), &channelProblem))
        return 0;

    int result = 0;
    {
        AppDelegate delegate;
        delegate.loadMainWindow();
        if (!channelProblem.isEmpty()) {
            qWarning().noquote() << QStringLiteral("Error: ") + channelProblem;
            delegate.addConsoleProblem(channelProblem);
        }
        QObject::connect(&instance, &trevok::SingleInstance::requested, &delegate,
                         &AppDelegate::anotherStartRequested);
        // Started at login: serving at once, the window waits to be opened.
        if (!hidden)
            delegate.mainWindow()->show();
#ifdef TREVOK_WITH_TEST_CONTROL
        if (qEnvironmentVariableIsSet("TREVOK_TEST_CONTROL"))
            trevok::startTestControl(delegate, qEnvironmentVariable("TREVOK_TEST_CONTROL"));
#endif
        if (trevok::selfTestRequested())
            return trevok::runSelfTest(delegate);
        QTimer::singleShot(0, &delegate, &AppDelegate::applicationDidFinishLaunching);
        result = QApplication::exec();
        // The controller goes while the application still exists: its lists,
        // observers and server handle, then the window.
    }
    return result;
}
