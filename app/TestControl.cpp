#include "app/TestControl.h"
#include "services/ShownText.h"

#include "app/AppDelegate.h"
#include "chrome/PXAppStoreWindow.h"
#include "lists/UserQuery.h"
#include "projects/ProjectArrayController.h"
#include "server/ServerProcess.h"
#include "server/SyncListener.h"
#include "services/Alerts.h"
#include "services/BusyState.h"
#include "services/ReplicationHealth.h"
#include "store/CouchModel.h"
#include "store/RESTOperation.h"
#include "users/UserArrayController.h"

#include <QApplication>
#include <QCheckBox>
#include <QDialog>
#include <QElapsedTimer>
#include <QItemSelectionModel>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QLocalServer>
#include <QLocalSocket>
#include <QMouseEvent>
#include <QPointer>
#include <QStringListModel>
#include <QTableView>
#include <QTimeEdit>
#include <QTimer>
#include <QWindow>

#include <algorithm>
#include <vector>

#include <csignal>
#include <memory>
#include <unistd.h>

namespace trevok {

namespace {

QJsonObject state(AppDelegate& app) {
    QJsonArray users;
    if (app.query() && app.query()->hasEntries()) {
        for (CouchModel* user : app.query()->entries())
            users.append(user->stringValue(QStringLiteral("name")));
    }
    QJsonArray projects;
    if (ProjectArrayController* list = app.projectTableController()) {
        for (int row = 0; row < list->rowCount(); ++row)
            projects.append(list->modelAtRow(row)->stringValue(QStringLiteral("title")));
    }
    const QStringList members =
        app.membersArrayController() ? app.membersArrayController()->stringList() : QStringList();
    ServerProcess* server = app.task();
    return {
        {QStringLiteral("logedIn"), app.logedIn()},
        {QStringLiteral("serverStatus"), app.serverStatusLine()->isVisible()
                                             ? trevok::fullLabelText(app.serverStatusLine())
                                             : QString()},
        {QStringLiteral("adopted"), server && server->adopted()},
        {QStringLiteral("serverPid"), server ? server->serverPid() : 0},
        {QStringLiteral("launcherPid"), server ? server->launcherPid() : 0},
        {QStringLiteral("users"), users},
        {QStringLiteral("projects"), projects},
        {QStringLiteral("members"), QJsonArray::fromStringList(members)},
        {QStringLiteral("userSheet"), app.userSheet() != nullptr},
        {QStringLiteral("windowVisible"), app.mainWindow()->isVisible()},
        {QStringLiteral("listenerPort"),
         app.listener() && app.listener()->isRunning() ? int(app.listener()->port()) : 0},
        {QStringLiteral("statusSummary"), app.statusSummaryText()},
        {QStringLiteral("notificationsSent"), app.notificationsSent()},
        {QStringLiteral("repairing"), app.webRepairRunning()},
        {QStringLiteral("infoStatus"), app.infoStatusText()},
        {QStringLiteral("projectStatus"), app.projectStatusText()},
        {QStringLiteral("leftovers"), QJsonArray::fromStringList(app.leftovers())},
        {QStringLiteral("backupRunning"), app.backupRunning()},
        {QStringLiteral("backupStatus"), app.backupStatusText()},
        {QStringLiteral("replicationsRunning"),
         app.replicationHealth() ? app.replicationHealth()->runningCount() : 0},
        {QStringLiteral("replicationsInError"),
         app.replicationHealth() ? app.replicationHealth()->errorCount() : 0},
    };
}

bool fillUserSheet(AppDelegate& app, const QStringList& words) {
    app.activateUserSheet();
    QDialog* sheet = app.userSheet();
    if (!sheet || words.size() < 5)
        return false;
    const char* fields[] = {"tmpUserName", "tmpFirstName", "tmpLastName", "tmpPassword",
                            "tmpRepeatPassword"};
    const QString values[] = {words.at(1), words.at(2), words.at(3), words.at(4), words.at(4)};
    for (int i = 0; i < 5; ++i) {
        auto* field = sheet->findChild<QLineEdit*>(QString::fromLatin1(fields[i]));
        if (!field)
            return false;
        field->setText(values[i]);
    }
    return true;
}

// Closes the window the way the window system does (its close button).
void closeWindow(QWidget* window) {
    if (window && window->windowHandle())
        window->windowHandle()->close();
}

// How late the event loop runs a timer that asks to fire every few
// milliseconds: what a person meets as a window that does not answer.
class LoopLatency : public QObject {
public:
    explicit LoopLatency(QObject* parent)
        : QObject(parent) {
        m_timer.setTimerType(Qt::PreciseTimer);
        QObject::connect(&m_timer, &QTimer::timeout, this, [this] {
            const qint64 now = m_clock.nsecsElapsed();
            m_lateMs.push_back(double(now - m_last) / 1e6 - double(kIntervalMs));
            m_last = now;
        });
    }
    void start() {
        m_lateMs.clear();
        m_clock.start();
        m_last = 0;
        m_timer.start(kIntervalMs);
    }
    QJsonObject stop() {
        m_timer.stop();
        std::vector<double> late = m_lateMs;
        std::sort(late.begin(), late.end());
        const auto at = [&](double q) {
            return late.empty() ? 0.0
                                : late[std::min(late.size() - 1, size_t(q * double(late.size())))];
        };
        return {{QStringLiteral("ok"), true},
                {QStringLiteral("samples"), qint64(late.size())},
                {QStringLiteral("p50"), at(0.5)},
                {QStringLiteral("p99"), at(0.99)},
                {QStringLiteral("max"), late.empty() ? 0.0 : late.back()}};
    }

private:
    static constexpr int kIntervalMs = 5;
    QTimer m_timer;
    QElapsedTimer m_clock;
    qint64 m_last = 0;
    std::vector<double> m_lateMs;
};

bool selectProject(AppDelegate& app, const QString& title) {
    ProjectArrayController* list = app.projectTableController();
    for (int row = 0; list && row < list->rowCount(); ++row) {
        if (list->modelAtRow(row)->stringValue(QStringLiteral("title")) == title) {
            list->tableView()->selectionModel()->select(list->index(row, 0),
                                                        QItemSelectionModel::ClearAndSelect |
                                                            QItemSelectionModel::Rows);
            return true;
        }
    }
    return false;
}

// The user's row of the users table, as a click selects it.
bool selectUser(AppDelegate& app, const QString& name) {
    UserArrayController* list = app.userTableController();
    for (int row = 0; list && row < list->rowCount(); ++row) {
        if (list->nameAtRow(row) == name) {
            list->selectionModel()->select(list->index(row, 0),
                                           QItemSelectionModel::ClearAndSelect |
                                               QItemSelectionModel::Rows);
            return true;
        }
    }
    return false;
}

// A double click on the user's row of the picking panel, as mouse events.
bool doubleClickUser(AppDelegate& app, const QString& name) {
    app.openUserPanel();
    QTableView* table = app.userSelectionTableView();
    if (!table)
        return false;
    for (int row = 0; row < table->model()->rowCount(); ++row) {
        const QModelIndex index = table->model()->index(row, 0);
        if (index.data().toString() != name)
            continue;
        table->scrollTo(index);
        const QPointF at = table->visualRect(index).center();
        const QPointF global = table->viewport()->mapToGlobal(at);
        const auto send = [&](QEvent::Type type) {
            QMouseEvent event(type, at, global, Qt::LeftButton,
                              type == QEvent::MouseButtonRelease ? Qt::NoButton : Qt::LeftButton,
                              Qt::NoModifier);
            QApplication::sendEvent(table->viewport(), &event);
        };
        send(QEvent::MouseButtonPress);
        send(QEvent::MouseButtonRelease);
        send(QEvent::MouseButtonDblClick);
        send(QEvent::MouseButtonRelease);
        return true;
    }
    return false;
}

QJsonObject run(AppDelegate& app, const QString& line) {
    const QStringList words = line.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    const QString command = words.value(0);
    bool ok = true;
    if (command == QLatin1String("state")) {
        return state(app);
    } else if (command == QLatin1String("login")) {
        app.activateLoginPasswordSheet();
        if (QDialog* sheet = app.loginSheet()) {
            sheet->findChild<QLineEdit*>(QStringLiteral("_loginPassWordTextField"))
                ->setText(words.value(1));
            app.login();
        }
        ok = app.logedIn() == 1;
    } else if (command == QLatin1String("createUser")) {
        ok = fillUserSheet(app, words);
        if (ok)
            app.checkUser();
        ok = ok && !app.userSheet();
    } else if (command == QLatin1String("createUserAndQuitMeanwhile")) {
        // The console is quit from inside the first wait for the new user's
        // database: the flow must still finish.
        ok = fillUserSheet(app, words);
        const QString path = QStringLiteral("/trevok_user_db_") + words.value(1);
        RESTOperation::setWaitHookForTesting([path, &app](RESTOperation* op) {
            if (op && op->method() == "PUT" && op->url().path(QUrl::FullyDecoded) == path) {
                RESTOperation::setWaitHookForTesting({});
                app.quitConsole();
            }
        });
        if (ok)
            app.checkUser();
    } else if (command == QLatin1String("createProject")) {
        app.activateProjectSheet();
        if (QDialog* sheet = app.projectSheet()) {
            sheet->findChild<QLineEdit*>(QStringLiteral("tmpProjectNameField"))
                ->setText(words.mid(1).join(QLatin1Char(' ')));
            app.createProject();
        }
        ok = !app.projectSheet();
    } else if (command == QLatin1String("selectProject")) {
        ok = selectProject(app, words.mid(1).join(QLatin1Char(' ')));
    } else if (command == QLatin1String("archiveProject")) {
        // archiveProject TITLE: the project selected, its archiving confirmed;
        // the copy goes on after the answer.
        ok = selectProject(app, words.mid(1).join(QLatin1Char(' ')));
        if (ok) {
            alerts_for_testing::answerNextAlerts(1);
            app.archiveProject();
            alerts_for_testing::answerNextAlerts(std::nullopt);
        }
    } else if (command == QLatin1String("deleteUser")) {
        // deleteUser NAME: the user selected in the users table, the deletion
        // confirmed.
        ok = selectUser(app, words.value(1));
        if (ok) {
            alerts_for_testing::answerNextAlerts(1);
            app.deleteUser();
            alerts_for_testing::answerNextAlerts(std::nullopt);
        }
    } else if (command == QLatin1String("doubleClickUser")) {
        ok = doubleClickUser(app, words.value(1));
    } else if (command == QLatin1String("killAfterReply")) {
        // killAfterReply N METHOD PATH: the process dies as a power cut would,
        // right after the Nth reply to a METHOD request whose path starts
        // with PATH has arrived, before the console learns of it.
        const int count = words.value(1).toInt();
        const QByteArray method = words.value(2).toLatin1();
        const QString path = words.value(3);
        ok = count > 0 && !method.isEmpty() && !path.isEmpty();
        auto seen = std::make_shared<int>(0);
        RESTOperation::setReplyHookForTesting([=](RESTOperation* op) {
            if (op->method() == method && op->url().path(QUrl::FullyDecoded).startsWith(path) &&
                ++*seen == count)
                ::kill(::getpid(), SIGKILL);
        });
    } else if (command == QLatin1String("removeLeftover")) {
        // The first leftover listed, its removal confirmed; the list follows
        // once the web has been read again.
        auto* list = app.mainContent()->findChild<QListWidget*>(QStringLiteral("leftoversList"));
        ok = list && list->count() > 0;
        if (ok) {
            list->setCurrentRow(0);
            alerts_for_testing::answerNextAlerts(1);
            app.removeLeftover();
            alerts_for_testing::answerNextAlerts(std::nullopt);
        }
    } else if (command == QLatin1String("latency")) {
        // latency start | latency stop: the event loop's lateness meanwhile.
        static QPointer<LoopLatency> probe;
        if (!probe)
            probe = new LoopLatency(&app);
        if (words.value(1) == QLatin1String("stop"))
            return probe->stop();
        probe->start();
    } else if (command == QLatin1String("backUpDaily")) {
        // backUpDaily HH:MM FOLDER: the schedule chosen on the information tab.
        auto* daily =
            app.mainContent()->findChild<QCheckBox*>(QStringLiteral("dailyBackupCheckbox"));
        auto* at = app.mainContent()->findChild<QTimeEdit*>(QStringLiteral("backupTimeEdit"));
        const QTime time = QTime::fromString(words.value(1), QStringLiteral("HH:mm"));
        ok = daily && at && time.isValid() && words.size() == 3;
        if (ok) {
            app.setBackupFolder(words.at(2));
            at->setTime(time);
            daily->setChecked(true);
        }
    } else if (command == QLatin1String("backupNow")) {
        // backupNow FOLDER: as the button does once the folder is chosen.
        ok = !app.backupRunning() && words.size() == 2;
        if (ok)
            app.startBackupInto(words.at(1));
        ok = ok && app.backupRunning();
    } else if (command == QLatin1String("restoreBackup")) {
        // restoreBackup FILE: the backup picked, the restore confirmed.
        ok = !app.backupRunning() && words.size() == 2;
        if (ok) {
            alerts_for_testing::answerNextAlerts(1);
            app.restoreFromBackupFile(words.at(1));
            alerts_for_testing::answerNextAlerts(std::nullopt);
        }
        ok = ok && app.backupRunning();
    } else if (command == QLatin1String("quit")) {
        app.quitConsole();
    } else if (command == QLatin1String("closeWindow")) {
        closeWindow(app.mainWindow());
    } else if (command == QLatin1String("clickStartAtLogin")) {
        ok = app.startAtLoginCheckbox() != nullptr;
        if (ok)
            app.startAtLoginCheckbox()->click();
    } else {
        ok = false;
    }
    return {{QStringLiteral("ok"), ok}};
}

} // namespace

void startTestControl(AppDelegate& app, const QString& socketName) {
    auto* server = new QLocalServer(&app);
    QLocalServer::removeServer(socketName);
    if (!server->listen(socketName)) {
        qWarning().noquote() << "test control: cannot listen on" << socketName;
        return;
    }
    QObject::connect(server, &QLocalServer::newConnection, &app, [server, &app] {
        while (QLocalSocket* socket = server->nextPendingConnection()) {
            QObject::connect(socket, &QLocalSocket::readyRead, socket, [socket, &app] {
                // A command is an action of the administrator: it waits for
                // any running flow to end, as a click would.
                whenIdle(socket, [socket, &app] {
                    while (socket->canReadLine()) {
                        const QString line = QString::fromUtf8(socket->readLine()).trimmed();
                        const QJsonObject answer = run(app, line);
                        socket->write(QJsonDocument(answer).toJson(QJsonDocument::Compact) + '\n');
                        socket->flush();
                    }
                });
            });
        }
    });
}

} // namespace trevok
