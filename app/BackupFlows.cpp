#include "app/AppDelegate.h"
#include "backup/BackupAccount.h"
#include "backup/BackupJob.h"
#include "backup/BackupPlan.h"
#include "backup/DataFolderSwap.h"
#include "chrome/PXAppStoreWindow.h"
#include "chrome/UserDefaults.h"
#include "server/ServerProcess.h"
#include "server/SyncListener.h"
#include "services/Alerts.h"
#include "services/Interface.h"
#include "services/Readable.h"
#include "services/ServerAdmins.h"
#include "services/ShownText.h"
#include "store/CouchResource.h"
#include "store/CouchServer.h"
#include "store/RESTOperation.h"

#include <QCheckBox>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QSpinBox>
#include <QTimeEdit>
#include <QTimer>

using trevok::outlet;
using namespace trevok::backup;

namespace {
// A due time is looked at again at least this often, so that a clock set
// anew or a machine woken from sleep does not push a backup back a day.
constexpr int kScheduleRecheckMs = 10 * 60 * 1000;
constexpr int kServerStartWaitMs = 30000;
const QString kLastResultKey = QStringLiteral("Backup/LastResult");

QString shownPath(const QString& path) {
    // Whole: the end of a path is what tells one backup or folder from another.
    return trevok::isolated(trevok::oneLine(QDir::toNativeSeparators(path)));
}
} // namespace

void AppDelegate::connectBackupOutlets() {
    const QWidget* root = m_mainContent;
    m_backupFolderField = outlet<QLabel>(root, "backupFolderField");
    m_dailyBackupCheckbox = outlet<QCheckBox>(root, "dailyBackupCheckbox");
    m_backupTimeEdit = outlet<QTimeEdit>(root, "backupTimeEdit");
    m_backupKeepSpinBox = outlet<QSpinBox>(root, "backupKeepSpinBox");
    m_backUpNowButton = outlet<QPushButton>(root, "backUpNowButton");
    m_restoreBackupButton = outlet<QPushButton>(root, "restoreBackupButton");
    m_backupProgressBar = outlet<QProgressBar>(root, "backupProgressBar");
    m_backupStatusLabel = outlet<QLabel>(root, "backupStatusLabel");
    trevok::fitLabel(m_backupStatusLabel, 2);
    if (!m_backupFolderField || !m_dailyBackupCheckbox || !m_backupTimeEdit ||
        !m_backupKeepSpinBox || !m_backUpNowButton || !m_restoreBackupButton ||
        !m_backupProgressBar || !m_backupStatusLabel)
        return;

    const QSettings defaults = pxUserDefaults();
    const BackupSettings chosen = readBackupSettings(defaults);
    m_dailyBackupCheckbox->setChecked(chosen.daily);
    m_backupTimeEdit->setTime(chosen.at);
    m_backupKeepSpinBox->setRange(kMinKeep, kMaxKeep);
    m_backupKeepSpinBox->setValue(chosen.keep);
    m_backupProgressBar->hide();
    trevok::setLabelText(m_backupStatusLabel, defaults.value(kLastResultKey).toString());
    showBackupFolder();

    if (auto* choose = outlet<QPushButton>(root, "chooseBackupFolderButton"))
        connect(choose, &QPushButton::clicked, this, [this] {
            const QString folder = askForBackupFolder(QStringLiteral("Choose the Backup Folder"));
            if (!folder.isEmpty())
                setBackupFolder(folder);
        });
    connect(m_dailyBackupCheckbox, &QCheckBox::toggled, this, &AppDelegate::saveBackupSettings);
    connect(m_backupTimeEdit, &QTimeEdit::timeChanged, this, &AppDelegate::saveBackupSettings);
    connect(m_backupKeepSpinBox, &QSpinBox::valueChanged, this, &AppDelegate::saveBackupSettings);
    connect(m_backUpNowButton, &QPushButton::clicked, this, &AppDelegate::backUpNow);
    connect(m_restoreBackupButton, &QPushButton::clicked, this, &AppDelegate::restoreFromBackup);

    m_backupTimer = new QTimer(this);
    m_backupTimer->setSingleShot(true);
    connect(m_backupTimer, &QTimer::timeout, this, &AppDelegate::backupTimerFired);
    scheduleNextBackup();
}

void AppDelegate::showBackupFolder() {
    if (!m_backupFolderField)
        return;
    const QString folder = readBackupSettings(pxUserDefaults()).folder;
    trevok::setLabelText(m_backupFolderField,
                         folder.isEmpty() ? QStringLiteral("None chosen") : shownPath(folder));
    m_backupFolderField->setToolTip(trevok::plainToolTip(QDir::toNativeSeparators(folder)));
}

QString AppDelegate::askForBackupFolder(const QString& title) {
    const QString current = readBackupSettings(pxUserDefaults()).folder;
    return QFileDialog::getExistingDirectory(m_mainWindow, title,
                                             current.isEmpty() ? QDir::homePath() : current);
}

void AppDelegate::setBackupFolder(const QString& folder) {
    QSettings defaults = pxUserDefaults();
    BackupSettings chosen = readBackupSettings(defaults);
    chosen.folder = QDir::cleanPath(folder);
    writeBackupSettings(defaults, chosen);
    showBackupFolder();
    scheduleNextBackup();
}

void AppDelegate::saveBackupSettings() {
    if (!m_dailyBackupCheckbox)
        return;
    QSettings defaults = pxUserDefaults();
    BackupSettings chosen = readBackupSettings(defaults);
    chosen.daily = m_dailyBackupCheckbox->isChecked();
    chosen.at = m_backupTimeEdit->time();
    chosen.keep = m_backupKeepSpinBox->value();
    const bool newlyDaily = chosen.daily && !readBackupSettings(defaults).daily;
    writeBackupSettings(defaults, chosen);
    // Turning the schedule on starts counting from now: the day's time
    // that has already passed is not a backup missed.
    if (newlyDaily)
        setLastBackupAttempt(defaults, QDateTime::currentDateTime());
    if (chosen.daily && chosen.folder.isEmpty())
        setBackupStatus(QStringLiteral("Choose a backup folder for the daily backups."));
    ensureBackupAccount();
    scheduleNextBackup();
}

void AppDelegate::setBackupStatus(const QString& text) {
    if (m_backupStatusLabel)
        trevok::setLabelText(m_backupStatusLabel, text);
}

QString AppDelegate::backupStatusText() const {
    return trevok::fullLabelText(m_backupStatusLabel);
}

bool AppDelegate::backupRunning() const {
    return (m_backupJob && m_backupJob->isRunning()) || m_restoring;
}

void AppDelegate::showBackupControls() {
    const bool busy = backupRunning();
    if (m_backUpNowButton)
        m_backUpNowButton->setEnabled(!busy);
    if (m_restoreBackupButton)
        m_restoreBackupButton->setEnabled(!busy);
    if (m_backupProgressBar)
        m_backupProgressBar->setVisible(busy);
}

void AppDelegate::scheduleNextBackup() {
    if (!m_backupTimer)
        return;
    const QSettings defaults = pxUserDefaults();
    const QDateTime now = QDateTime::currentDateTime();
    const QDateTime due =
        nextBackupDue(readBackupSettings(defaults), lastBackupAttempt(defaults), now);
    if (!due.isValid()) {
        m_backupTimer->stop();
        return;
    }
    m_backupTimer->start(int(std::clamp<qint64>(now.msecsTo(due), 0, kScheduleRecheckMs)));
}

void AppDelegate::backupTimerFired() {
    const QSettings defaults = pxUserDefaults();
    const QDateTime now = QDateTime::currentDateTime();
    const BackupSettings chosen = readBackupSettings(defaults);
    const QDateTime due = nextBackupDue(chosen, lastBackupAttempt(defaults), now);
    if (!due.isValid())
        return;
    if (due > now) {
        scheduleNextBackup();
        return;
    }
    if (backupRunning()) {
        m_backupTimer->start(kScheduleRecheckMs);
        return;
    }
    if (!backupServerAccess()) {
        // Neither a login nor the backup account gives a credential;
        // finishLogin() looks at the schedule again.
        setBackupStatus(QStringLiteral("A daily backup is due; it starts once you log in."));
        return;
    }
    startBackupInto(chosen.folder);
}

void AppDelegate::backUpNow() {
    if (backupRunning() || m_logedIn != 1)
        return;
    const QString folder = askForBackupFolder(QStringLiteral("Back Up Now"));
    if (folder.isEmpty())
        return;
    setBackupFolder(folder);
    startBackupInto(folder);
}

std::optional<trevok::backup::ServerAccess> AppDelegate::backupServerAccess() const {
    if (m_logedIn == 1)
        return ServerAccess{m_serverURL, m_serverCredential.user, m_serverCredential.password};
    if (const auto account = readBackupAccount(backupAccountFile()))
        return ServerAccess{serverURL(), account->user, account->password};
    return std::nullopt;
}

void AppDelegate::ensureBackupAccount() {
    if (m_logedIn != 1 || !m_server || !readBackupSettings(pxUserDefaults()).daily ||
        readBackupAccount(backupAccountFile()))
        return;
    const BackupAccount account{kBackupAccountName, generateBackupPassword()};
    QString problem = trevok::setServerAdminAndWait(m_server.get(), account.user, account.password);
    if (problem.isEmpty())
        problem = writeBackupAccount(backupAccountFile(), account);
    if (!problem.isEmpty()) {
        qWarning().noquote() << QStringLiteral("Error: the backup account: %1").arg(problem);
        setBackupStatus(QStringLiteral("Daily backups run only while you are logged in: their "
                                       "account could not be made (%1).")
                            .arg(problem));
    }
}

void AppDelegate::makeBackupJob() {
    if (m_backupJob)
        return;
    m_backupJob = new BackupJob(this);
    connect(m_backupJob, &BackupJob::progress, this, &AppDelegate::backupProgressed);
    connect(m_backupJob, &BackupJob::finished, this, &AppDelegate::backupJobFinished);
}

void AppDelegate::startBackupInto(const QString& folder) {
    const std::optional<ServerAccess> access = backupServerAccess();
    if (backupRunning() || !access)
        return;
    {
        QSettings defaults = pxUserDefaults();
        setLastBackupAttempt(defaults, QDateTime::currentDateTime());
    }
    makeBackupJob();
    m_backupProgressBar->setRange(0, 0);
    setBackupStatus(QStringLiteral("Backing up into “%1”…").arg(shownPath(folder)));
    m_backupJob->startBackup(*access, folder, readBackupSettings(pxUserDefaults()).keep);
    showBackupControls();
}

void AppDelegate::backupProgressed(const BackupEvent& event) {
    const bool restoring = m_backupJob->mode() == BackupJob::Mode::Restore;
    if (event.of > 0 && event.kind == BackupEvent::Kind::Database) {
        m_backupProgressBar->setRange(0, event.of);
        m_backupProgressBar->setValue(event.index - 1);
    } else if (event.kind != BackupEvent::Kind::Start) {
        m_backupProgressBar->setRange(0, 0);
    }
    setBackupStatus(progressText(event, restoring));
}

void AppDelegate::backupJobFinished(bool ok, const BackupEvent& last) {
    switch (m_backupJob->mode()) {
    case BackupJob::Mode::Backup: {
        const QString text = ok ? backedUpText(last) : failureText(last, false);
        QSettings defaults = pxUserDefaults();
        defaults.setValue(kLastResultKey, text);
        setBackupStatus(text);
        if (!ok && last.cause == QLatin1String("unauthorized") && m_logedIn != 1) {
            // The account was removed or changed on the server: the next
            // login makes it again.
            QFile::remove(backupAccountFile());
        }
        if (!ok) {
            qWarning().noquote() << QStringLiteral("Error: %1").arg(text);
            notifyWhenAway(QStringLiteral("The TrevokServer backup failed"), text);
        }
        showBackupControls();
        scheduleNextBackup();
        return;
    }
    case BackupJob::Mode::Verify:
        if (ok) {
            swapDataForRestore();
        } else {
            endRestore(false, failureText(last, true) + QStringLiteral(" Nothing was changed."));
        }
        return;
    case BackupJob::Mode::Restore:
        if (ok)
            restoreDone(last);
        else
            undoRestore(failureText(last, true));
        return;
    }
}

void AppDelegate::restoreFromBackup() {
    if (backupRunning() || m_logedIn != 1)
        return;
    const QString folder = readBackupSettings(pxUserDefaults()).folder;
    const QString file =
        QFileDialog::getOpenFileName(m_mainWindow, QStringLiteral("Restore from Backup"),
                                     folder.isEmpty() ? QDir::homePath() : folder,
                                     QStringLiteral("Backups (trevok-backup-*.tbk)"));
    if (!file.isEmpty())
        restoreFromBackupFile(file);
}

void AppDelegate::restoreFromBackupFile(const QString& file) {
    if (backupRunning() || m_logedIn != 1)
        return;
    if (!m_task) {
        trevok::showFailureAlert(
            m_mainWindow, QStringLiteral("This server cannot be restored from here."),
            QStringLiteral("A restore replaces the data folder of the server TrevokServer "
                           "starts itself; this server was started by someone else."));
        return;
    }
    const QString aside = asideFolderPath(applicationSupportFolder(), QDateTime::currentDateTime());
    const QDateTime made = backupTimeFromName(file);
    const QString when = made.isValid()
                             ? QLocale().toString(made.toLocalTime(), QLocale::LongFormat)
                             : QStringLiteral("the backup");
    trevok::runConfirmationAlert(
        m_mainWindow,
        {QStringLiteral("Do you want to restore the service from “%1”?")
             .arg(trevok::shownName(QFileInfo(file).fileName())),
         QStringLiteral("Every user, project and document returns to its state of %1. The sync "
                        "listener stops until the backup is read in; sync clients then bring "
                        "back what they wrote since. The current data are kept aside in “%2”.")
             .arg(when, shownPath(aside)),
         QStringLiteral("Restore"), QStringLiteral("restoreBackupAlert")},
        [self = QPointer<AppDelegate>(this), file](int returnCode) {
            if (self && returnCode == 1)
                self->startRestore(file);
        });
}

void AppDelegate::startRestore(const QString& file) {
    if (backupRunning() || m_logedIn != 1 || !m_task)
        return;
    makeBackupJob();
    m_restoring = true;
    m_restoreFile = file;
    m_restoreAside.clear();
    m_backupProgressBar->setRange(0, 0);
    setBackupStatus(
        QStringLiteral("Checking “%1”…").arg(trevok::shownName(QFileInfo(file).fileName())));
    showBackupControls();
    // Read through once before anything is stopped or moved: a damaged
    // backup must leave the service exactly as it is.
    m_backupJob->startVerify(file);
}

void AppDelegate::swapDataForRestore() {
    setBackupStatus(QStringLiteral("Stopping the sync listener and the server…"));
    if (m_listener)
        m_listener->stop();
    if (!m_task->stop()) {
        m_task->start();
        endRestore(false, QStringLiteral("The restore failed. The server did not stop, so its data "
                                         "were left as they are."));
        return;
    }
    const FolderSwap swap =
        moveDataFolderAside(applicationSupportFolder(), QDateTime::currentDateTime());
    if (!swap.ok) {
        endRestore(false,
                   QStringLiteral("The restore failed. %1 Nothing was changed.").arg(swap.error));
        return;
    }
    m_restoreAside = swap.aside;
    qInfo().noquote() << QStringLiteral("Restore: the former data are in %1").arg(swap.aside);
    setBackupStatus(QStringLiteral("Starting the server on an empty data folder…"));
    m_task->start();
    if (!m_task->waitUntilSettled(kServerStartWaitMs)) {
        undoRestore(QStringLiteral("The restore failed. The server did not start on a new data "
                                   "folder: %1")
                        .arg(m_task->statusText()));
        return;
    }
    m_backupJob->startRestore(*backupServerAccess(), m_restoreFile);
}

void AppDelegate::restoreDone(const BackupEvent& done) {
    const QString text =
        restoredText(done, trevok::shownName(QFileInfo(m_restoreFile).fileName())) +
        QStringLiteral(" The former data are kept in “%1”.").arg(shownPath(m_restoreAside));
    endRestore(true, text);
    if (m_quitAfterRestore)
        return; // the next login makes the web whole
    // The records came back with the databases; what they name but the
    // backup did not hold (a replication running, a rule) is made again.
    if (m_server)
        checkWholeWebAgain();
}

void AppDelegate::undoRestore(const QString& why) {
    QString text = why;
    m_task->stop();
    const QString failedKeep = m_restoreAside;
    const QString problem = putDataFolderBack(
        applicationSupportFolder(), m_restoreAside,
        failedRestoreFolderPath(applicationSupportFolder(), QDateTime::currentDateTime()));
    if (problem.isEmpty())
        text += QStringLiteral(" The former data are back in place.");
    else
        text += QStringLiteral(" The former data could not be put back: %1 They are in “%2”.")
                    .arg(problem, shownPath(failedKeep));
    m_task->start();
    m_task->waitUntilSettled(kServerStartWaitMs);
    endRestore(false, text);
}

void AppDelegate::endRestore(bool ok, const QString& text) {
    m_restoring = false;
    QSettings defaults = pxUserDefaults();
    defaults.setValue(kLastResultKey, text);
    if (m_quitAfterRestore) {
        // Told at the next start, on the tab.
        qInfo().noquote() << text;
        quitConsole();
        return;
    }
    if (m_listener && !m_listener->isRunning())
        m_listener->start();
    setBackupStatus(text);
    showBackupControls();
    if (!ok)
        trevok::showFailureAlert(m_mainWindow, QStringLiteral("The restore did not complete."),
                                 text);
}
