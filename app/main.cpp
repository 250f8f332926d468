#include "app/AppDelegate.h"
#include "app/SelfTest.h"
#include "chrome/PXAppStoreWindow.h"

#include <QApplication>
#include <QTimer>

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    QApplication::setOrganizationName(QStringLiteral("com.trevokapp"));
    QApplication::setApplicationName(QStringLiteral("TrevokServer"));
    AppDelegate delegate;
    delegate.loadMainWindow();
    delegate.mainWindow()->show();
    if (trevok::selfTestRequested())
        return trevok::runSelfTest(delegate);
    QTimer::singleShot(0, &delegate, &AppDelegate::applicationDidFinishLaunching);
    return QApplication::exec();
}
