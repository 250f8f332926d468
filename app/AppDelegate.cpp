#include "app/AppDelegate.h"
#include "app/LastSeenWriter.h"
#include "app/WebRepair.h"
#include "chrome/ContentMinimum.h"
#include "chrome/PXAppStoreWindow.h"
#include "lists/ProjectQuery.h"
#include "lists/UserQuery.h"
#include "server/ServerProcess.h"
#include "server/SyncListener.h"
#include "services/Alerts.h"
#include "services/BusyCursor.h"
#include "services/BusyState.h"
#include "services/Interface.h"
#include "services/NotificationCenter.h"
#include "services/ReplicationHealth.h"
#include "services/ShownText.h"
#include "services/WebSteps.h"
#include "store/CouchPersistentReplication.h"
#include "store/CouchServer.h"
#include "users/UserArrayController.h"

#include <QDialog>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStackedWidget>
#include <QTabBar>
#include <QTabWidget>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>

using trevok::outlet;

namespace {
// At exit: long enough for due autosaves to be queued, and the bound on
// sending what is queued.
constexpr int kExitSettleMs = 100;
constexpr int kExitDrainMs = 10000;
} // namespace

AppDelegate::AppDelegate(QObject* parent)
    : QObject(parent) {
    trevok::installBusyCursor();
    trevok::installBusyState();
}

AppDelegate::~AppDelegate() {
    trevok::NotificationCenter::defaultCenter().removeObserver(this);
    m_quitting = true;
    delete m_statusTimer;
    m_statusTimer = nullptr;
    // Nothing of the health display may queue requests while quitting.
    if (m_health)
        m_health->stop();
    // What is due of the listener's last notes is sent with the rest: the
    // writer reads each record before it writes, so it stays for the drain.
    if (m_lastSeenWriter)
        m_lastSeenWriter->flush();
    // Writes not waited for (a replication's document, an autosave due in a
    // few milliseconds) are still sent: quitting loses nothing already done.
    if (m_server) {
        QElapsedTimer clock;
        clock.start();
        RESTOperation::waitUntil(
            [&] { return clock.elapsed() >= kExitSettleMs && m_server->pendingOperations() == 0; },
            kExitDrainMs, kExitSettleMs / 5);
    }
    delete m_lastSeenWriter;
    m_lastSeenWriter = nullptr;
    // What reports into the window goes first: the lists and their table
    // controllers, the archive observation, the listener and the server
    // handle, whose pending requests are told to their callbacks as it goes.
    for (const ArchiveInProgress& archive : std::as_const(m_archives))
        stopObservingReplication(archive.handle());
    m_archives.clear();
    if (m_userTableController)
        m_userTableController->setContent(nullptr);
    m_query.reset();
    // Takes its table controller along.
    m_projectTableController = nullptr;
    m_projectQuery.reset();
    m_listener.reset();
    // Its reads are answered as the server handle goes: nothing may act on them.
    delete m_webRepair;
    m_webRepair = nullptr;
    m_server.reset();
    m_task.reset();
    delete m_mainWindow;
    m_mainWindow = nullptr;
}

void AppDelegate::loadMainWindow() {
    m_mainWindow = new PXAppStoreWindow();
    m_mainWindow->setObjectName(QStringLiteral("mainWindow"));
    m_mainWindow->setWindowTitle(QStringLiteral("TrevokServer"));
    m_mainWindow->setAccessibleName(QStringLiteral("TrevokServer"));
    m_mainWindow->setAccessibleDescription(QStringLiteral("mainWindow"));

    m_mainContent =
        trevok::loadInterface(QStringLiteral("MainWindow"), m_mainWindow->contentView());
    if (!m_mainContent)
        m_mainContent = new QWidget(m_mainWindow->contentView());
    auto* layout = new QVBoxLayout(m_mainWindow->contentView());
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    // Above everything else, in both states of the window: what is wrong
    // with the server, until it answers again.
    m_serverStatusLine = new QLabel(m_mainWindow->contentView());
    m_serverStatusLine->setObjectName(QStringLiteral("serverStatusLine"));
    m_serverStatusLine->setAccessibleDescription(QStringLiteral("serverStatusLine"));
    m_serverStatusLine->setWordWrap(true);
    m_serverStatusLine->setContentsMargins(8, 4, 8, 4);
    m_serverStatusLine->setStyleSheet(
        QStringLiteral("QLabel#serverStatusLine { background: #fff4d6; color: #5a3d00;"
                       " border-bottom: 1px solid #e0c98f; }"));
    m_serverStatusLine->hide();
    // It quotes the server's own words.
    trevok::fitLabel(m_serverStatusLine, 2);
    layout->addWidget(m_serverStatusLine);
    layout->addWidget(m_mainContent);
    // Nothing of the window is cut off by making it small.
    trevok::followContentMinimum(m_mainWindow, m_mainWindow->contentView());

    const QWidget* root = m_mainContent;
    m_titleView = outlet<QWidget>(root, "titleView");
    m_sessionStack = outlet<QStackedWidget>(root, "sessionStack");
    m_tabView = outlet<QTabWidget>(root, "tabView");
    m_userButton = outlet<QToolButton>(root, "userButton");
    m_projectButton = outlet<QToolButton>(root, "projectButton");
    m_infoButton = outlet<QToolButton>(root, "infoButton");
    m_loginButton = outlet<QAbstractButton>(root, "loginButton");
    m_loginHeader = outlet<QLabel>(root, "loginHeader");
    m_serverVersionTextField = outlet<QLabel>(root, "serverVersionTextField");
    m_loginPasswordTextField = outlet<QLabel>(root, "loginPasswordTextField");
    m_tmpMasterName = outlet<QLineEdit>(root, "tmpMasterName");
    m_tmpClientName = outlet<QLineEdit>(root, "tmpClientName");
    m_tmpClientEmail = outlet<QLineEdit>(root, "tmpClientEmail");
    m_masterID = outlet<QLabel>(root, "masterID");
    m_bindAddress = outlet<QLabel>(root, "bindAddress");
    m_requireValidUser = outlet<QLabel>(root, "requireValidUser");
    m_wwwAuthenticate = outlet<QLabel>(root, "wwwAuthenticate");
    m_saveButton = outlet<QPushButton>(root, "saveButton");
    m_changePWButton = outlet<QAbstractButton>(root, "changePWButton");

    // The tab buttons in the title bar choose the tab; the tab view shows no bar of its own.
    m_tabView->tabBar()->hide();
    connect(m_tabView, &QTabWidget::currentChanged, this,
            &AppDelegate::tabViewDidSelectTabViewItem);
    connect(m_projectButton, &QToolButton::clicked, this, &AppDelegate::switchToProjects);
    connect(m_userButton, &QToolButton::clicked, this, &AppDelegate::switchToUsers);
    connect(m_infoButton, &QToolButton::clicked, this, &AppDelegate::switchToInfo);
    connect(m_loginButton, &QAbstractButton::clicked, this,
            &AppDelegate::activateLoginPasswordSheet);
    connect(m_changePWButton, &QAbstractButton::clicked, this,
            &AppDelegate::activateChangeAdminPasswordSheet);
    setTabImages("Users_large", "Projects_large_active", "Infos_large");
    connectUserOutlets();
    connectProjectOutlets();
    connectHealthOutlets();
    connectRepairOutlets();
    connectBackgroundOutlets();
    connectListenerOutlets();
    connectBackupOutlets();
    connectServerChoiceOutlets();
}

void AppDelegate::showSheet(QDialog* sheet) {
    // A sheet hangs from the title bar: a lighter panel with an edge of its
    // own, so that it reads as lying on top of the window.
    sheet->setStyleSheet(
        QStringLiteral("QDialog#%1 { background: #f6f6f6; border: 1px solid #a8a8a8;"
                       " border-top: none; }")
            .arg(sheet->objectName()));
    m_mainWindow->beginSheet(sheet);
}

void AppDelegate::endSheet(QDialog* sheet) {
    if (!sheet)
        return;
    m_mainWindow->endSheet(sheet);
    {
        const trevok::OwnWindowClose own;
        sheet->close();
    }
    sheet->deleteLater();
}

QDialog* AppDelegate::loadSheet(const QString& file, QPointer<QDialog>& holder,
                                void (AppDelegate::*confirm)(), void (AppDelegate::*close)()) {
    auto* sheet = qobject_cast<QDialog*>(trevok::loadInterface(file));
    if (!sheet)
        return nullptr;
    holder = sheet;
    const QString name = sheet->objectName();
    connect(sheet->findChild<QPushButton*>(name + QStringLiteral("Confirm")), &QPushButton::clicked,
            this, confirm);
    connect(sheet->findChild<QPushButton*>(name + QStringLiteral("Cancel")), &QPushButton::clicked,
            this, close);
    connect(sheet, &QDialog::rejected, this, close);
    return sheet;
}

void AppDelegate::closeSheet(QDialog* sheet) {
    if (sheet) {
        sheet->disconnect(this);
        endSheet(sheet);
    }
}

trevok::StoreSession AppDelegate::session() const {
    return {m_server.get(), m_userDatabase, m_replicationDatabase, m_trevokMasterDB};
}

void AppDelegate::tellProvisioned(const trevok::Provisioned& done, const QString& message) {
    trevok::FailureReport report;
    for (const OperationFailure& failure : done.failures)
        report.add(failure.step, failure.error);
    report.tell(m_mainWindow, message);
}
