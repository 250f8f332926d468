#include "app/AppDelegate.h"
#include "app/LastSeenWriter.h"
#include "chrome/PXAppStoreWindow.h"
#include "chrome/UserDefaults.h"
#include "lists/UserQuery.h"
#include "projects/MembersListModel.h"
#include "records/MasterModel.h"
#include "records/ProjectNames.h"
#include "records/UserNames.h"
#include "server/LastSeen.h"
#include "server/ListenerSettings.h"
#include "services/Alerts.h"
#include "services/BusyState.h"
#include "services/Interface.h"
#include "services/Readable.h"
#include "services/ReplicationHealth.h"
#include "services/ShownText.h"
#include "users/UserArrayController.h"

#include <QLabel>
#include <QListView>
#include <QMenu>
#include <QTableView>

using trevok::outlet;
using trevok::health::SyncKind;
using trevok::health::SyncState;

namespace {
const QString kMaster = trevok::masterDatabaseName();

QString stateText(const std::optional<SyncState>& state) {
    return state ? state->text() : QString::fromUtf8(trevok::health::texts::kStopped);
}
} // namespace

void AppDelegate::connectHealthOutlets() {
    const QWidget* root = m_mainContent;
    m_projectSyncField = outlet<QLabel>(root, "projectSyncField");
    m_usersStatusLabel = outlet<QLabel>(root, "usersStatusLabel");
    m_replicationsRunning = outlet<QLabel>(root, "replicationsRunning");
    m_replicationsInError = outlet<QLabel>(root, "replicationsInError");
    // Their messages quote projects' titles and the server's reasons.
    trevok::fitLabel(m_projectSyncField, 3);
    trevok::fitLabel(m_usersStatusLabel, 2);
    if (m_projectSyncField)
        m_projectSyncField->hide();
    if (m_table) {
        m_table->setContextMenuPolicy(Qt::CustomContextMenu);
        connect(m_table, &QWidget::customContextMenuRequested, this, [this](const QPoint& pos) {
            const QModelIndex index = m_table->indexAt(pos);
            if (!index.isValid())
                return;
            const QString name = userTableController()->nameAtRow(index.row());
            showReplicationMenu(trevok::users::userDatabaseName(name), kMaster, 1,
                                m_table->viewport()->mapToGlobal(pos));
        });
    }
    if (m_membersTableView) {
        m_membersTableView->setContextMenuPolicy(Qt::CustomContextMenu);
        connect(m_membersTableView, &QWidget::customContextMenuRequested, this,
                [this](const QPoint& pos) {
                    const QModelIndex index = m_membersTableView->indexAt(pos);
                    if (!index.isValid() || m_membersStem.isEmpty())
                        return;
                    showReplicationMenu(
                        trevok::projects::projectDatabaseName(m_membersStem),
                        trevok::users::userDatabaseName(index.data(Qt::EditRole).toString()), 0,
                        m_membersTableView->viewport()->mapToGlobal(pos));
                });
    }
    if (m_projectSyncField) {
        connect(m_projectSyncField, &QWidget::customContextMenuRequested, this,
                [this](const QPoint& pos) {
                    if (m_membersStem.isEmpty() || !m_health)
                        return;
                    const QString project = trevok::projects::projectDatabaseName(m_membersStem);
                    // The half of the pair in error (the push first when both are).
                    const bool pushFails =
                        m_health->stateOf(kMaster, project).value_or(SyncState{}).kind ==
                        SyncKind::Error;
                    const bool pullFails =
                        m_health->stateOf(project, kMaster).value_or(SyncState{}).kind ==
                        SyncKind::Error;
                    const QPoint at = m_projectSyncField->mapToGlobal(pos);
                    if (pullFails && !pushFails)
                        showReplicationMenu(project, kMaster, 0, at);
                    else
                        showReplicationMenu(kMaster, project, 0, at);
                });
    }
    showHealthTotals();
}

void AppDelegate::startHealth() {
    delete m_health;
    m_health = new ReplicationHealth(m_server.get(), this);
    connect(m_health, &ReplicationHealth::totalsChanged, this, &AppDelegate::showHealthTotals);
    connect(m_health, &ReplicationHealth::replicationChanged, this,
            [this](const QString& source, const QString& target) {
                if (m_membersStem.isEmpty())
                    return;
                const QString project = trevok::projects::projectDatabaseName(m_membersStem);
                if ((source == kMaster && target == project) ||
                    (source == project && target == kMaster))
                    showProjectSync();
            });
    connect(m_health, &ReplicationHealth::replicationChanged, this,
            &AppDelegate::replicationMayHaveFailed);
    connect(m_health, &ReplicationHealth::totalsChanged, this, &AppDelegate::refreshStatusIcon);
    userTableController()->setHealth(m_health);
    if (auto* members = qobject_cast<MembersListModel*>(m_membersArrayController))
        members->setHealth(m_health);
    m_health->start();

    delete m_lastSeenWriter;
    m_lastSeenWriter = nullptr;
    if (m_lastSeen && m_userDatabase) {
        // What the listener saw while nobody was logged in is written now.
        for (auto it = m_heldSightings.cbegin(); it != m_heldSightings.cend(); ++it)
            m_lastSeen->seen(it.key(), it.value());
        m_heldSightings.clear();
        m_lastSeenWriter =
            new LastSeenWriter(m_lastSeen, m_userDatabase,
                               trevok::lastSeenWriteSecondsFromSettings(pxUserDefaults()), this);
        connect(m_lastSeenWriter, &LastSeenWriter::sighted, this,
                [this](const QString& name, qint64 seenMs) {
                    m_recentSightings[name] = std::max(m_recentSightings.value(name), seenMs);
                });
    }
    showHealthTotals();
    showProjectSync();
}

void AppDelegate::showHealthTotals() {
    const bool known = m_health && m_health->hasRead();
    const QString dash = QStringLiteral("–");
    if (m_replicationsRunning)
        trevok::setLabelText(m_replicationsRunning,
                             known ? QString::number(m_health->runningCount()) : dash);
    if (m_replicationsInError)
        trevok::setLabelText(m_replicationsInError,
                             known ? QString::number(m_health->errorCount()) : dash);
}

void AppDelegate::showProjectSync() {
    if (!m_projectSyncField)
        return;
    if (!m_health || m_membersStem.isEmpty()) {
        m_projectSyncField->hide();
        return;
    }
    const QString project = trevok::projects::projectDatabaseName(m_membersStem);
    trevok::setLabelText(m_projectSyncField,
                         QStringLiteral("Sync with the master database — to the project: %1; "
                                        "from the project: %2.")
                             .arg(stateText(m_health->stateOf(kMaster, project)),
                                  stateText(m_health->stateOf(project, kMaster))));
    m_projectSyncField->show();
}

QMenu* AppDelegate::replicationMenu(const QString& source, const QString& target, int tab) {
    auto* menu = new QMenu(m_mainWindow);
    menu->setObjectName(QStringLiteral("replicationMenu"));
    menu->setAccessibleName(QStringLiteral("Replication"));
    menu->setAccessibleDescription(QStringLiteral("replicationMenu"));
    menu->setAttribute(Qt::WA_DeleteOnClose);
    QAction* restart = menu->addAction(QString::fromUtf8(trevok::health::texts::kRestart));
    restart->setObjectName(QStringLiteral("restartReplicationAction"));
    restart->setToolTip(
        QStringLiteral("Restart the replication from “%1” into “%2”").arg(source, target));
    const bool inError =
        m_health && m_health->stateOf(source, target).value_or(SyncState{}).kind == SyncKind::Error;
    restart->setEnabled(inError);
    connect(restart, &QAction::triggered, this, [this, source, target, tab] {
        // Chosen from a menu: carried out once any running flow has ended.
        trevok::whenIdle(this,
                         [this, source, target, tab] { restartReplication(source, target, tab); });
    });
    return menu;
}

void AppDelegate::showReplicationMenu(const QString& source, const QString& target, int tab,
                                      const QPoint& globalPos) {
    if (m_logedIn != 1)
        return;
    replicationMenu(source, target, tab)->popup(globalPos);
}

bool AppDelegate::restartReplication(const QString& source, const QString& target, int tab) {
    const auto tell = [this, tab](const QString& text) {
        if (tab == 0)
            setProjectStatus(text);
        else if (m_usersStatusLabel)
            trevok::setLabelText(m_usersStatusLabel, text);
    };
    if (m_logedIn != 1 || !m_health)
        return false;
    const QString id = m_health->documentIdOf(source, target);
    if (id.isEmpty()) {
        tell(QStringLiteral("There is no replication from “%1” into “%2” to restart.")
                 .arg(source, target));
        return false;
    }
    QString error;
    if (!m_health->restart(id, &error)) {
        const QString message = QStringLiteral("The replication from “%1” into “%2” could not be "
                                               "restarted.")
                                    .arg(source, target);
        tell(message);
        trevok::showFailureAlert(m_mainWindow, message,
                                 QStringLiteral("Rewriting its document failed: %1").arg(error));
        return false;
    }
    tell(QStringLiteral("The replication from “%1” into “%2” was restarted.").arg(source, target));
    return true;
}
