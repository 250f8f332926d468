#include "app/AppDelegate.h"
#include "app/LastSeenWriter.h"
#include "chrome/PXAppStoreWindow.h"
#include "desktop/Autostart.h"
#include "desktop/DesktopNotifier.h"
#include "desktop/StatusSummary.h"
#include "lists/ProjectQuery.h"
#include "records/ProjectNames.h"
#include "records/RecordFields.h"
#include "records/UserNames.h"
#include "server/DnsSdAnnouncer.h"
#include "server/LastSeen.h"
#include "server/ServerProcess.h"
#include "server/SyncListener.h"
#include "services/Alerts.h"
#include "services/BusyState.h"
#include "services/Interface.h"
#include "services/ReplicationHealth.h"
#include "store/CouchModel.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QDateTime>
#include <QEvent>
#include <QIcon>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QSystemTrayIcon>
#include <QTimer>

using trevok::outlet;

namespace {
// The tooltip ages ("seen in the last hour") and the listener's notes are
// looked at this often; both are a lock and a string compare.
constexpr int kStatusRefreshMs = 2000;
constexpr qint64 kHourMs = 3600 * 1000;
// Replications that fail together (a member's database removed fails the
// member's two) are told in one notification.
constexpr int kReplicationBurstMs = 3000;
const QString kAppIcon = QStringLiteral("com.trevokapp.TrevokServer");

QIcon consoleIcon() {
    const QIcon themed = QIcon::fromTheme(kAppIcon);
    if (!themed.isNull())
        return themed;
    return QIcon(trevok::imagePath(QStringLiteral("Projects_large_active")));
}

// The user or project a database belongs to, as the administrator names it;
// "" for the master database.
QString ownerOfDatabase(const QString& database, const ProjectQuery* projects) {
    const QString userPrefix = trevok::users::userDatabaseName(QString());
    const QString projectPrefix = trevok::projects::projectDatabaseName(QString());
    if (database.startsWith(userPrefix))
        return database.mid(userPrefix.size());
    if (!database.startsWith(projectPrefix))
        return {};
    const QString stem = database.mid(projectPrefix.size());
    if (projects && projects->hasEntries()) {
        for (CouchModel* project : projects->entries()) {
            if (project->stringValue(trevok::records::kServerDBNameField) == stem)
                return QStringLiteral("project “%1”")
                    .arg(project->stringValue(trevok::records::kTitleField));
        }
    }
    return QStringLiteral("project “%1”").arg(stem);
}
} // namespace

void AppDelegate::connectBackgroundOutlets() {
    // Shortcuts of the window: closing hides it, quitting ends the console
    // wherever its focus is, a sheet included.
    m_closeAction = new QAction(QStringLiteral("Close Window"), m_mainWindow);
    m_closeAction->setObjectName(QStringLiteral("closeWindowAction"));
    m_closeAction->setShortcut(QKeySequence(QStringLiteral("Ctrl+W")));
    connect(m_closeAction, &QAction::triggered, this, [this] { m_mainWindow->close(); });
    m_mainWindow->addAction(m_closeAction);
    m_quitAction = new QAction(QStringLiteral("Quit TrevokServer"), m_mainWindow);
    m_quitAction->setObjectName(QStringLiteral("quitAction"));
    m_quitAction->setShortcut(QKeySequence(QStringLiteral("Ctrl+Q")));
    m_quitAction->setShortcutContext(Qt::ApplicationShortcut);
    connect(m_quitAction, &QAction::triggered, this, &AppDelegate::quitConsole);
    m_mainWindow->addAction(m_quitAction);
    m_mainWindow->installEventFilter(this);

    const QWidget* root = m_mainContent;
    m_startAtLoginCheckbox = outlet<QCheckBox>(root, "startAtLoginCheckbox");
    m_quitButton = outlet<QAbstractButton>(root, "quitButton");
    if (m_startAtLoginCheckbox) {
        m_startAtLoginCheckbox->setChecked(trevok::startsAtLogin());
        connect(m_startAtLoginCheckbox, &QCheckBox::clicked, this, &AppDelegate::setStartsAtLogin);
    }
    if (m_quitButton)
        connect(m_quitButton, &QAbstractButton::clicked, this, &AppDelegate::quitConsole);

    m_notifier = new trevok::DesktopNotifier(this);
    m_replicationBurst = new trevok::NotificationBurst(kReplicationBurstMs, this);
    connect(m_replicationBurst, &trevok::NotificationBurst::burst, this,
            &AppDelegate::tellFailedReplications);

    auto* menu = new QMenu(m_mainWindow);
    menu->setObjectName(QStringLiteral("statusMenu"));
    menu->setAccessibleName(QStringLiteral("TrevokServer"));
    menu->setAccessibleDescription(QStringLiteral("statusMenu"));
    QAction* open = menu->addAction(QStringLiteral("Open TrevokServer"));
    open->setObjectName(QStringLiteral("openAction"));
    connect(open, &QAction::triggered, this, &AppDelegate::openWindow);
    QAction* quit = menu->addAction(QStringLiteral("Quit TrevokServer"));
    quit->setObjectName(QStringLiteral("statusQuitAction"));
    connect(quit, &QAction::triggered, this, &AppDelegate::quitConsole);
    m_statusIcon = new QSystemTrayIcon(consoleIcon(), this);
    m_statusIcon->setObjectName(QStringLiteral("statusIcon"));
    m_statusIcon->setContextMenu(menu);
    connect(m_statusIcon, &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason reason) {
                if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::DoubleClick)
                    openWindow();
            });
    refreshStatusIcon();
    m_statusIcon->show();

    m_statusTimer = new QTimer(this);
    m_statusTimer->setInterval(kStatusRefreshMs);
    connect(m_statusTimer, &QTimer::timeout, this, [this] {
        tapSightings();
        refreshStatusIcon();
    });
    m_statusTimer->start();
}

bool AppDelegate::eventFilter(QObject* watched, QEvent* event) {
    if (watched == m_mainWindow && event->type() == QEvent::Close && !m_quitting) {
        // Runs after the window has handled the close, so a close its
        // delegate refused is no close.
        QTimer::singleShot(0, this, [this] {
            if (m_mainWindow && !m_mainWindow->isVisible())
                windowWasClosed();
        });
    }
    return QObject::eventFilter(watched, event);
}

void AppDelegate::windowWasClosed() {
    const bool hasStatusArea =
        QSystemTrayIcon::isSystemTrayAvailable() && m_statusIcon && m_statusIcon->isVisible();
    if (hasStatusArea || m_toldHowToReopen)
        return;
    m_toldHowToReopen = true;
    // No window of ours is left to hang it from: a box of its own, once.
    auto* box = new QMessageBox(QMessageBox::Information, QStringLiteral("TrevokServer"),
                                QStringLiteral("TrevokServer keeps running without its window."),
                                QMessageBox::Ok);
    box->setObjectName(QStringLiteral("keepsRunningAlert"));
    box->setAccessibleName(QStringLiteral("TrevokServer keeps running"));
    box->setAccessibleDescription(QStringLiteral("keepsRunningAlert"));
    box->setInformativeText(
        QStringLiteral("The server, the sync listener and its announcement go on serving. To "
                       "open the window again, start TrevokServer again (from the application "
                       "menu or with the command TrevokServer). To stop the listener, choose "
                       "“Quit TrevokServer” (Ctrl+Q) in the window."));
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setModal(false);
    box->show();
}

void AppDelegate::openWindow() {
    if (!m_mainWindow || m_quitting)
        return;
    m_mainWindow->show();
    if (m_mainWindow->isMinimized())
        m_mainWindow->showNormal();
    m_mainWindow->raise();
    m_mainWindow->activateWindow();
}

void AppDelegate::anotherStartRequested(const QByteArray& request) {
    if (request == "show")
        openWindow();
}

void AppDelegate::quitConsole() {
    if (m_quitting)
        return;
    // A restore stopped half-way would leave the server on half its data:
    // the console quits once it has ended, either way.
    if (m_restoring) {
        m_quitAfterRestore = true;
        setBackupStatus(QStringLiteral("TrevokServer quits once the restore has ended."));
        return;
    }
    // Chosen while a flow waits: that flow ends first, as with any action.
    trevok::whenIdle(this, [this] {
        m_quitting = true;
        // Gone from the screen at once; the queued writes are sent and the
        // listener stopped as the controller goes (see its destructor).
        if (m_statusIcon)
            m_statusIcon->hide();
        {
            const trevok::OwnWindowClose own;
            m_mainWindow->hide();
        }
        QCoreApplication::quit();
    });
}

void AppDelegate::setStartsAtLogin(bool starts) {
    QString problem;
    if (!trevok::setStartsAtLogin(starts, QCoreApplication::applicationFilePath(), &problem)) {
        m_startAtLoginCheckbox->setChecked(trevok::startsAtLogin());
        trevok::showFailureAlert(m_mainWindow,
                                 starts ? QStringLiteral("TrevokServer could not be set to start "
                                                         "when you log in.")
                                        : QStringLiteral("TrevokServer could not be kept from "
                                                         "starting when you log in."),
                                 problem);
    }
}

void AppDelegate::addConsoleProblem(const QString& text) {
    if (!m_consoleProblems.contains(text))
        m_consoleProblems.append(text);
    showServerStatus();
}

QString AppDelegate::statusSummaryText() const {
    trevok::ServiceFacts facts;
    facts.serverProblem =
        m_task ? m_task->statusText() : QStringLiteral("not started by this console");
    facts.listenerRunning = m_listener && m_listener->isRunning();
    facts.listenerAnnounced =
        facts.listenerRunning && (!m_listener->announcer()->registeredName().isEmpty() ||
                                  !m_listener->tlsAnnouncer()->registeredName().isEmpty());
    const qint64 since = QDateTime::currentMSecsSinceEpoch() - kHourMs;
    for (const qint64 seen : m_recentSightings)
        facts.usersSeenLastHour += seen >= since ? 1 : 0;
    if (m_health && m_health->hasRead())
        facts.replicationsInError = m_health->errorCount();
    return trevok::statusSummary(facts);
}

int AppDelegate::notificationsSent() const {
    return m_notifier ? m_notifier->sent() : 0;
}

void AppDelegate::refreshStatusIcon() {
    if (!m_statusIcon)
        return;
    const QString text = statusSummaryText();
    if (m_statusIcon->toolTip() != text)
        m_statusIcon->setToolTip(text);
}

void AppDelegate::tapSightings() {
    const qint64 since = QDateTime::currentMSecsSinceEpoch() - kHourMs;
    for (auto it = m_recentSightings.begin(); it != m_recentSightings.end();)
        it = it.value() < since ? m_recentSightings.erase(it) : std::next(it);
    // Once logged in the writer takes the notes and reports them (below).
    if (m_lastSeenWriter || !m_lastSeen)
        return;
    const QHash<QString, qint64> seen = m_lastSeen->take();
    for (auto it = seen.cbegin(); it != seen.cend(); ++it) {
        m_recentSightings[it.key()] = std::max(m_recentSightings.value(it.key()), it.value());
        m_heldSightings[it.key()] = std::max(m_heldSightings.value(it.key()), it.value());
    }
}

void AppDelegate::serverStatusForDesktop(const QString& text) {
    const QString before = std::exchange(m_lastServerProblem, text);
    refreshStatusIcon();
    if (!text.isEmpty() && before.isEmpty()) {
        m_toldServerLost =
            notifyWhenAway(QStringLiteral("The TrevokServer server is not answering"), text);
    } else if (text.isEmpty() && !before.isEmpty() && m_toldServerLost) {
        m_toldServerLost = false;
        notifyWhenAway(QStringLiteral("The TrevokServer server is back"),
                       QStringLiteral("It answers again; sync clients reach it through the "
                                      "listener as before."));
    }
}

bool AppDelegate::notifyWhenAway(const QString& summary, const QString& body) {
    if (!m_notifier || m_quitting)
        return false;
    if (m_mainWindow && m_mainWindow->isVisible() && m_mainWindow->isActiveWindow())
        return false;
    m_notifier->notify(summary, body);
    return true;
}

void AppDelegate::replicationMayHaveFailed(const QString& source, const QString& target) {
    if (!m_health)
        return;
    const QString key = source + QLatin1Char('\n') + target;
    const auto state = m_health->stateOf(source, target);
    if (!state || state->kind != trevok::health::SyncKind::Error) {
        m_replicationsKnownInError.remove(key);
        return;
    }
    if (m_replicationsKnownInError.contains(key))
        return;
    m_replicationsKnownInError.insert(key);
    // What was in error when the console first looked is shown where the
    // administrator just logged in; only what goes wrong later is news.
    if (!m_health->hasRead())
        return;
    for (const QString& database : {source, target}) {
        const QString owner = ownerOfDatabase(database, m_projectQuery.get());
        if (!owner.isEmpty())
            m_replicationBurst->add(owner);
    }
}

void AppDelegate::tellFailedReplications(const QStringList& names) {
    notifyWhenAway(QStringLiteral("Sync stopped for %1").arg(names.join(QStringLiteral(", "))),
                   QStringLiteral("Replications of %1 are in error. Open TrevokServer to see why "
                                  "and restart them.")
                       .arg(names.join(QStringLiteral(", "))));
}
