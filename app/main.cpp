#include "app/AppDelegate.h"
#include "app/SelfTest.h"
#include "chrome/PXAppStoreWindow.h"
#ifdef TREVOK_WITH_TEST_CONTROL
#include "app/TestControl.h"
#endif

#include <QApplication>
#include <QTimer>

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    QApplication::setOrganizationName(QStringLiteral("com.trevokapp"));
    QApplication::setApplicationName(QStringLiteral("TrevokServer"));
    int result = 0;
    {
        AppDelegate delegate;
        delegate.loadMainWindow();
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
