#include "tests/e2e/E2eScenario.h"

#include "tests/harness/ProjectActions.h"
#include "tests/harness/UserActions.h"

#include "lists/UserQuery.h"
#include "projects/ProjectArrayController.h"
#include "records/ProjectModel.h"
#include "records/UserModel.h"
#include "server/SyncListener.h"
#include "store/CouchDocument.h"
#include "users/UserArrayController.h"

#include <QElapsedTimer>
#include <QItemSelectionModel>
#include <QListView>
#include <QStringListModel>
#include <QTest>

namespace trevok::test {

namespace {
constexpr int kListTimeoutMs = 20000;
const QString kServiceType = QStringLiteral("_trevok-sync._tcp.");

template <class F> bool eventually(F ok, int timeoutMs) {
    return QTest::qWaitFor(ok, timeoutMs);
}
} // namespace

bool documentIn(const QString& database, const QString& id) {
    return TestServer::request("GET", QLatin1Char('/') + segment(database) + QLatin1Char('/') +
                                          segment(id))
               .status == 200;
}

bool waitForDocument(const QString& database, const QString& id, bool present, int timeoutMs) {
    return eventually([&] { return documentIn(database, id) == present; }, timeoutMs);
}

E2eConsole::E2eConsole() = default;

bool E2eConsole::startAndLogIn() {
    // The sandbox must stand before the console announces its listener.
    m_sandboxProblem = m_sandbox.setUp();
    if (!m_sandboxProblem.isEmpty())
        m_sandbox.tearDown();
    ConsoleFixture::clearUserDefaults();
    m_console = std::make_unique<ConsoleFixture>();
    m_console->startUp();
    return m_console->logIn() && eventually([this] { return app().listener() != nullptr; }, 5000);
}

QString E2eConsole::listenerUrl() {
    quint16 port = 0;
    if (m_sandboxProblem.isEmpty()) {
        const auto found = AvahiSandbox::browseUntil(kServiceType, app().serviceName(),
                                                     [](const Resolved& r) { return r.port != 0; });
        if (found) {
            port = found->port;
            m_fromDnsSd = true;
        }
    }
    if (!port)
        port = app().listener()->port();
    return QStringLiteral("http://127.0.0.1:%1").arg(port);
}

bool E2eConsole::addUser(const QString& name, const QString& password) {
    return trevok::test::addUser(app(), name, name.at(0).toUpper() + name.mid(1),
                                 QStringLiteral("Example"), password);
}

QString E2eConsole::addProject(const QString& title) {
    return createListedProject(app(), title, kListTimeoutMs);
}

bool E2eConsole::selectProject(const QString& projectID) {
    return trevok::test::selectProject(app(), projectID);
}

bool E2eConsole::addMember(const QString& projectID, const QString& user) {
    if (!selectProject(projectID) || !trevok::test::addMember(app(), user))
        return false;
    app().closeUserPicker();
    return true;
}

bool E2eConsole::removeMember(const QString& projectID, const QString& user) {
    if (!selectProject(projectID))
        return false;
    app().listProjectUsers();
    QStringListModel* members = app().membersArrayController();
    const int row = int(members->stringList().indexOf(user));
    if (row < 0)
        return false;
    auto* view = m_console->find<QListView>("membersTableView");
    view->selectionModel()->select(members->index(row), QItemSelectionModel::ClearAndSelect);
    app().removeUserFromProject();
    return app().selectedMemberName() == user;
}

bool E2eConsole::selectUser(const QString& name) {
    UserArrayController* users = app().userTableController();
    int row = -1;
    eventually(
        [&] {
            for (int i = 0; i < users->rowCount(); ++i)
                if (users->objectAtRow(i)->stringValue(QStringLiteral("name")) == name)
                    row = i;
            return row >= 0;
        },
        kListTimeoutMs);
    if (row < 0)
        return false;
    users->selectionModel()->select(users->index(row, 0), QItemSelectionModel::ClearAndSelect |
                                                              QItemSelectionModel::Rows);
    return true;
}

} // namespace trevok::test
