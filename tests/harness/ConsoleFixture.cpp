#include "tests/harness/ConsoleFixture.h"

#include "chrome/PXAppStoreWindow.h"
#include "chrome/UserDefaults.h"
#include "lists/LiveListTableModel.h"
#include "projects/ProjectArrayController.h"
#include "users/UserArrayController.h"

#include <QAbstractItemModelTester>

#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QLineEdit>
#include <QWidget>

namespace trevok::test {

ConsoleFixture::ConsoleFixture()
    : m_app(std::make_unique<AppDelegate>()) {
    // Sheets appear and frames change at once, so tests need not wait for animations.
    PXAppStoreWindow::setAnimationsEnabled(false);
    m_app->setLaunchesServer(false);
    m_app->loadMainWindow();
    m_app->mainWindow()->show();
}

ConsoleFixture::~ConsoleFixture() = default;

void ConsoleFixture::startUp() {
    m_app->applicationDidFinishLaunching();
}

bool ConsoleFixture::logIn(const QString& password) {
    m_app->activateLoginPasswordSheet();
    if (!m_app->loginSheet())
        return m_app->logedIn() == 1;
    auto* field =
        m_app->loginSheet()->findChild<QLineEdit*>(QStringLiteral("_loginPassWordTextField"));
    if (!field)
        return false;
    field->setText(password);
    m_app->login();
    if (m_app->logedIn() != 1)
        return false;
    if (s_checksTableModels)
        watchTableModels();
    return true;
}

void ConsoleFixture::watchTableModels() {
    const auto watch = [](QAbstractItemModel* model) {
        // Once per model, and gone with it.
        if (model &&
            !model->findChild<QAbstractItemModelTester*>(QString(), Qt::FindDirectChildrenOnly))
            new QAbstractItemModelTester(
                model, QAbstractItemModelTester::FailureReportingMode::Fatal, model);
    };
    watch(m_app->userTableController());
    if (ProjectArrayController* projects = m_app->projectTableController()) {
        watch(projects);
        watch(projects->listTable());
    }
}

void ConsoleFixture::clearUserDefaults() {
    auto defaults = pxUserDefaults();
    // Only ever a test's own settings (see TestHome.cpp): never wipe a file
    // outside the folders a suite redirects to.
    const QString home = qEnvironmentVariable("TREVOK_TEST_HOME", QDir::tempPath());
    if (!QFileInfo(defaults.fileName()).absoluteFilePath().startsWith(QDir(home).absolutePath())) {
        qWarning() << "not clearing settings outside the test's folders:" << defaults.fileName();
        return;
    }
    defaults.clear();
    defaults.sync();
}

} // namespace trevok::test
