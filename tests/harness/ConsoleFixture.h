#pragma once

#include "app/AppDelegate.h"
#include "chrome/PXAppStoreWindow.h"
#include "tests/harness/TestServer.h"

#include <QString>

#include <memory>

namespace trevok::test {

// A console as the administrator sees it, driven through the controller's
// actions, against the harness's server (which the console does not launch).
class ConsoleFixture {
public:
    ConsoleFixture();
    ~ConsoleFixture();

    AppDelegate& app() { return *m_app; }

    // Start-up without launching a server of its own.
    void startUp();
    // Opens the login sheet, types the password and confirms; true when the
    // console is logged in afterwards.
    bool logIn(const QString& password = TestServer::adminPassword());

    // The text field or label of an open sheet or of the main window, by outlet name.
    template <class T> T* find(const char* name) const;

    // Wipes the user defaults so every test starts as a first run.
    static void clearUserDefaults();

    // From now on every login puts a model tester (fatal on the first
    // broken promise) on the users table and the projects table, for the
    // suites that drive them; left off where figures are measured.
    static void checkTableModels() { s_checksTableModels = true; }

private:
    void watchTableModels();
    static inline bool s_checksTableModels = false;

    std::unique_ptr<AppDelegate> m_app;
};

template <class T> T* ConsoleFixture::find(const char* name) const {
    const QString object = QString::fromLatin1(name);
    if (T* inMain = m_app->mainContent()->findChild<T*>(object))
        return inMain;
    if (T* inWindow = m_app->mainWindow()->findChild<T*>(object))
        return inWindow;
    return nullptr;
}

} // namespace trevok::test
