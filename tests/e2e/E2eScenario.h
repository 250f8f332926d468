#pragma once

#include "tests/harness/AvahiSandbox.h"
#include "tests/harness/ConsoleFixture.h"
#include "tests/harness/SyncClient.h"
#include "tests/harness/TestServer.h"

#include <QJsonObject>
#include <QString>

#include <memory>

namespace trevok::test {

// The console driven through its controller's actions, with users and
// projects made the way the administrator makes them, shared by the
// end-to-end suite and its benchmark.
class E2eConsole {
public:
    E2eConsole();

    AppDelegate& app() { return m_console->app(); }
    ConsoleFixture& console() { return *m_console; }

    // Starts the console (inside a DNS-SD sandbox when one can be made) and logs in.
    bool startAndLogIn();
    // The listener's address: its port from the DNS-SD announcement where the
    // sandbox stands, else from the listener itself.
    QString listenerUrl();
    bool portCameFromDnsSd() const { return m_fromDnsSd; }
    QString sandboxProblem() const { return m_sandboxProblem; }

    bool addUser(const QString& name, const QString& password);
    // Creates a project and waits until it is listed; returns its ID ("" on failure).
    QString addProject(const QString& title);
    bool selectProject(const QString& projectID);
    bool addMember(const QString& projectID, const QString& user);
    bool removeMember(const QString& projectID, const QString& user);
    bool selectUser(const QString& name);

private:
    AvahiSandbox m_sandbox;
    QString m_sandboxProblem;
    std::unique_ptr<ConsoleFixture> m_console;
    bool m_fromDnsSd = false;
};

// What the end-to-end suites name alike.
inline const QString kMasterDatabase = QStringLiteral("trevok_master");
inline QString userDB(const QString& name) {
    return QStringLiteral("trevok_user_db_") + name;
}
// The password the suites give each user they make.
inline QString password(const QString& name) {
    return name + QStringLiteral("-secret");
}
// Long enough for every running replication to have carried a document.
inline constexpr int kQuietMs = 3000;

// Whether a document is in a database on the server (deleted counts as absent).
bool documentIn(const QString& database, const QString& id);
// Polls until the document is (or is no longer) in the database.
bool waitForDocument(const QString& database, const QString& id, bool present = true,
                     int timeoutMs = 15000);

} // namespace trevok::test
