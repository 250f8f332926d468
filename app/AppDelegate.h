#pragma once

#include "app/CredentialStorage.h"
#include "app/WindowGeometry.h"
#include "projects/ProjectProvisioning.h"
#include "records/MemberProjects.h"

#include <QDialog>
#include <QHash>
#include <QMap>
#include <QObject>
#include <QPointer>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QUrl>

#include <memory>
#include <optional>
#include <utility>

class QAbstractButton;
class QAction;
class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QStackedWidget;
class QTabWidget;
class QSystemTrayIcon;
class QTimer;
class QToolButton;
class QWidget;
class PXAppStoreWindow;
class CouchServer;
class CouchDatabase;
class MasterModel;
class ProjectQuery;
class UserQuery;

class LastSeenWriter;
class ReplicationHealth;

namespace trevok {
struct ServerChoice;
class DesktopNotifier;
class NotificationBurst;
class LastSeenRecorder;
class ServerProcess;
class SyncListener;
struct Notification;
class FailureReport;
struct StoreSession;
struct Provisioned;
namespace backup {
class BackupJob;
struct BackupEvent;
struct ServerAccess;
} // namespace backup
} // namespace trevok

// The one controller of the console: it owns every server handle, the live
// lists, the selections, the open sheets and the interface outlets. Its flows
// live in the folder of their subsystem.
class AppDelegate : public QObject {
    Q_OBJECT
public:
    explicit AppDelegate(QObject* parent = nullptr);
    ~AppDelegate() override;

    // Start-up.
    void loadMainWindow();
    void applicationDidFinishLaunching();
    // Tests that bring their own server turn the launch off.
    void setLaunchesServer(bool launches) { m_launchesServer = launches; }
    // Whether this console starts the bundled server: not for a server of
    // the administrator's choosing.
    bool launchesServer() const;
    void probeServer();
    QString getMacAddress();

    // External server process.
    QString applicationSupportFolder() const;
    void maybeSetDataDirs();
    void launchCouchDB();
    void taskTerminated();
    void cleanup();
    trevok::ServerProcess* task() const { return m_task.get(); }
    // The line on the window that says what is wrong with the server ("" and
    // hidden while it answers).
    QLabel* serverStatusLine() const { return m_serverStatusLine; }

    // Window geometry and tabs.
    void startSize();
    void normalSize();
    void switchToProjects();
    void switchToUsers();
    void switchToInfo();
    void tabViewDidSelectTabViewItem(int index);
    void listProjects() {}

    // Which server (app/ServerChoiceFlows.cpp): the bundled one, or a
    // CouchDB server at a URL, as the preferences say.
    static trevok::ServerChoice serverChoice();
    void connectServerChoiceOutlets();
    // Keeps the choice from the information tab's fields, after checking
    // them; it takes effect at the console's next start.
    void applyServerChoice();
    // At login: the server's line from its welcome and, where replication
    // documents carry a credential, the console's replication account.
    void learnServerGeneration();
    void ensureReplicationAccount();

    // Login.
    // Where the console's server answers.
    static QUrl serverURL();
    void activateLoginPasswordSheet();
    void closeLoginPasswordSheet();
    void login();
    void finishLogin();

    // Master database.
    void setUpStore();
    void createMaster();

    // Administrator password.
    void activateChangeAdminPasswordSheet();
    void closeChangeAdminPasswordSheet();
    void changeAdminPassword();

    // Users (flows in users/).
    void selectFirstUser();
    // Wires the users tab (called once the main window is loaded).
    void connectUserOutlets();
    void activateUserSheet();
    void closeUserSheet();
    void checkUser();
    void createUser();
    void activateChangeUserPasswordSheet();
    void closeChangeUserPasswordSheet();
    void changeUserPassword();
    void deleteUser();
    void deleteUserModalEnded(int returnCode);
    // The users list controller, showing the users live list once logged in.
    class UserArrayController* userTableController();
    class UserModel* newUser() const {
        return m_newUser;
    }
    CouchDatabase* privatDatabase() const { return m_privatDatabase; }

    // Projects (flows in projects/).
    void setProjectListFilter(const QString& predicate);
    void assignUserToProject(const trevok::Notification& notification);
    void closeUserPicker();
    // Wires the projects tab's controls; called once the main window is loaded.
    void connectProjectOutlets();
    void activateProjectSheet();
    void closeProjectSheet();
    void createProject();
    void listProjectUsers();
    void openUserPanel();
    void removeUserFromProject();
    class ProjectArrayController* projectTableController() const {
        return m_projectTableController;
    }
    class ProjectModel* newProject() const {
        return m_newProject;
    }
    class CouchPersistentReplication* pull() const {
        return m_pull;
    }
    class CouchPersistentReplication* push() const {
        return m_push;
    }
    QWidget* userPanel() const { return m_userPanel; }
    class QTableView* userSelectionTableView() const {
        return m_userSelectionTableView;
    }
    class QStringListModel* membersArrayController() const {
        return m_membersArrayController;
    }

    // Archiving, emptying and deletion (projects/ArchiveFlows.cpp,
    // projects/DeletionFlows.cpp).
    void archiveProject();
    void archiveProjectModalEnded(int returnCode);
    void deleteProject();
    void deleteProjectModalEnded(int returnCode);
    void emptyProjectAndMarkAsDeleted();
    // Writes a deletion notice into the project database and waits; the
    // notice holds no ID, so `projectID` is not used.
    std::shared_ptr<class RESTOperation> createDelProjectModelWithID(const QString& projectID,
                                                                     const QString& stem,
                                                                     const QString& title);
    void deleteProjectPermanently();
    // The archive started last.
    CouchPersistentReplication* archive() const;
    // Every archive whose copy has not been finished yet, oldest first.
    QList<CouchPersistentReplication*> archivesInProgress() const;

    // Replication observation (projects/ReplicationObserver.cpp).
    void observeReplication(CouchPersistentReplication* replication);
    void stopObservingReplication(CouchPersistentReplication* replication);
    // Told of every change of an observed replication's completed, total,
    // error or mode; acts only on archives in progress.
    void observeValueForKeyPath(const QString& keyPath, QObject* object);

    // Sync health (app/HealthFlows.cpp): who was last seen through the
    // listener, and the state of every replication, shown where the
    // administrator manages users and projects.
    void connectHealthOutlets();
    // Once logged in: follow the replications, write last-seen times.
    void startHealth();
    ReplicationHealth* replicationHealth() const { return m_health; }
    LastSeenWriter* lastSeenWriter() const { return m_lastSeenWriter; }
    trevok::LastSeenRecorder* lastSeenRecorder() const { return m_lastSeen.get(); }
    // Rewrites the replication from `source` into `target` as the console
    // made it, so the server starts it again; tells the result in words on
    // the status line of `tab` (0 projects, 1 users). Returns whether it went.
    bool restartReplication(const QString& source, const QString& target, int tab);
    // The context menu offered where a replication state is shown.
    class QMenu* replicationMenu(const QString& source, const QString& target, int tab);

    // Selections, shared by the flows of users and projects.
    QString selectedUserName() const { return m_selectedUserName; }
    QString selectedProjectID() const { return m_selectedProjectID; }
    QString selectedProjectDBName() const { return m_selectedProjectDBName; }
    QString selectedProjecName() const { return m_selectedProjecName; }
    QString selectedMemberName() const { return m_selectedMemberName; }
    // The outlets of each sheet: the sheet and the widgets its interface file
    // names, taken when it is loaded anew at every opening. When it closes
    // they are reset together, so that none points into a sheet that is gone.
    struct LoginSheet {
        QPointer<QDialog> sheet;
        QPointer<QLineEdit> _loginPassWordTextField;
        // Beside the field it is about, where the eye already is.
        QPointer<QLabel> loginWarningTextField;
        bool operator==(const LoginSheet&) const = default;
    };
    struct AdminPasswordSheet {
        QPointer<QDialog> sheet;
        QPointer<QLineEdit> tmpNewAdminPassword;
        QPointer<QLineEdit> tmpRepeatNewAdminPassword;
        QPointer<QLabel> adminPasswordSheetWarningField;
        bool operator==(const AdminPasswordSheet&) const = default;
    };
    struct AddUserSheet {
        QPointer<QDialog> sheet;
        QPointer<QLineEdit> tmpUserName;
        QPointer<QLineEdit> tmpFirstName;
        QPointer<QLineEdit> tmpLastName;
        QPointer<QLineEdit> tmpPassword;
        QPointer<QLineEdit> tmpRepeatPassword;
        QPointer<QLabel> userSheetWarningTextField;
        bool operator==(const AddUserSheet&) const = default;
    };
    struct UserPasswordSheet {
        QPointer<QDialog> sheet;
        QPointer<QLineEdit> tmpNewPassword;
        QPointer<QLineEdit> tmpRepeatNewPassword;
        QPointer<QLabel> userPasswordSheetWarningField;
        bool operator==(const UserPasswordSheet&) const = default;
    };
    struct AddProjectSheet {
        QPointer<QDialog> sheet;
        QPointer<QLineEdit> tmpProjectNameField;
        QPointer<QLabel> projectSheetWarningField;
        bool operator==(const AddProjectSheet&) const = default;
    };
    const LoginSheet& loginSheetOutlets() const { return m_loginSheet; }
    const AdminPasswordSheet& adminPasswordSheetOutlets() const { return m_adminPasswordSheet; }
    const AddUserSheet& addUserSheetOutlets() const { return m_addUserSheet; }
    const UserPasswordSheet& userPasswordSheetOutlets() const { return m_userPasswordSheet; }
    const AddProjectSheet& addProjectSheetOutlets() const { return m_addProjectSheet; }

    // Open sheets that other flows look at.
    QDialog* userSheet() const { return m_addUserSheet.sheet; }
    QDialog* userPasswordSheet() const { return m_userPasswordSheet.sheet; }
    QDialog* projectSheet() const { return m_addProjectSheet.sheet; }

    // Session state, readable by tests and the other flows.
    int logedIn() const { return m_logedIn; }
    // The handles the features' provisioning works with.
    trevok::StoreSession session() const;
    CouchServer* server() const { return m_server.get(); }
    CouchDatabase* userDatabase() const { return m_userDatabase; }
    CouchDatabase* replicationDatabase() const { return m_replicationDatabase; }
    CouchDatabase* trevokMasterDB() const { return m_trevokMasterDB; }
    bool needsTrevokMaster() const { return m_needsTrevokMaster; }
    UserQuery* query() const { return m_query.get(); }
    ProjectQuery* projectQuery() const { return m_projectQuery.get(); }
    trevok::SyncListener* listener() const { return m_listener.get(); }
    PXAppStoreWindow* mainWindow() const { return m_mainWindow; }
    QWidget* mainContent() const { return m_mainContent; }
    QDialog* loginSheet() const { return m_loginSheet.sheet; }
    QDialog* adminPasswordSheet() const { return m_adminPasswordSheet.sheet; }
    const trevok::SavedFrame& savedFrame() const { return m_savedFrame; }
    QString macAddressString() const { return m_macAddressString; }
    QString serviceName() const { return m_serviceName; }
    const QMap<QString, QString>& txtRecord() const { return m_txtRecord; }
    QString projectListPredicate() const { return m_projectListPredicate; }

    // The web made whole at every login (app/RepairFlows.cpp): what was
    // mended is told on the information tab's status line, what has no
    // record is listed there, removed only when the administrator asks.
    void connectRepairOutlets();
    void removeLeftover();
    void removeLeftoverModalEnded(int returnCode, const QString& name);
    QString infoStatusText() const;
    // The projects tab's status line: how the last project action ended.
    QString projectStatusText() const;
    // The leftovers, in words, as the information tab lists them.
    QStringList leftovers() const;
    // Reading or mending is still to come.
    bool webRepairRunning() const;

    // The frame the window was given last, in bottom-left coordinates.
    QRect lastFrame() const { return m_lastFrame; }

    // Serving without the window (app/BackgroundFlows.cpp). Closing the
    // window only hides it: the server, the listener and its announcement,
    // the live lists and sync health go on. Quitting is explicit.
    void connectBackgroundOutlets();
    void openWindow();
    // Stops the listener and its announcement once the queued writes are
    // sent, then ends the process; the server keeps running.
    void quitConsole();
    void setStartsAtLogin(bool starts);
    // A failure of the console's own that leaves it serving (the
    // one-instance channel could not be opened): shown on the status line.
    void addConsoleProblem(const QString& text);
    // A later start of the console handed over its request ("show").
    void anotherStartRequested(const QByteArray& request);
    QSystemTrayIcon* statusIcon() const { return m_statusIcon; }

    // The listener's security on the information tab (app/ListenerFlows.cpp):
    // the fingerprint of its certificate, and whether plain HTTP is served.
    void connectListenerOutlets();
    // Keeps the choice in "SyncListener/AllowPlain" and applies it at once.
    void setAllowsUnencryptedSync(bool allows);
    QCheckBox* allowPlainSyncCheckbox() const { return m_allowPlainSyncCheckbox; }
    QLabel* listenerFingerprintLabel() const { return m_listenerFingerprint; }
    QCheckBox* startAtLoginCheckbox() const { return m_startAtLoginCheckbox; }
    QString statusSummaryText() const;
    int notificationsSent() const;

    // Backups of the whole service (app/BackupFlows.cpp): now, daily at a
    // chosen time, and a restore that keeps the former data aside.
    void connectBackupOutlets();
    // Asks for the folder (the chosen one offered), then backs up into it.
    void backUpNow();
    void startBackupInto(const QString& folder);
    // As "Choose Folder…" does once a folder is picked.
    void setBackupFolder(const QString& folder);
    // Asks which backup, then restoreFromBackupFile().
    void restoreFromBackup();
    // Asks to confirm, saying where the current data are kept, then restores.
    void restoreFromBackupFile(const QString& file);
    bool backupRunning() const;
    QString backupStatusText() const;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void windowWasClosed();
    void refreshStatusIcon();
    // Counts who the listener saw, and keeps the notes for the last-seen
    // writer while nobody is logged in.
    void tapSightings();
    void serverStatusForDesktop(const QString& text);
    // Tells the administrator through the desktop unless the window is in
    // front of them, where the same words are shown. Whether it was told.
    bool notifyWhenAway(const QString& summary, const QString& body);
    void replicationMayHaveFailed(const QString& source, const QString& target);
    void tellFailedReplications(const QStringList& names);

    void probeChosenServer(const trevok::ServerChoice& choice);
    void showServerChoice();
    class QComboBox* m_serverKindCombo = nullptr;
    QLineEdit* m_serverURLField = nullptr;
    QLineEdit* m_serverAdminField = nullptr;
    QPushButton* m_applyServerButton = nullptr;
    QLabel* m_serverChoiceStatusLabel = nullptr;

    void showServerStatus();
    void serverIsBack();
    void startSyncListener(const QString& serviceName, const QMap<QString, QString>& txtRecord);
    void setFrame(const QRect& bottomLeftFrame, bool animate);
    void setTabImages(const char* users, const char* projects, const char* infos);
    void fillInformationTab();
    void showSheet(QDialog* sheet);
    void endSheet(QDialog* sheet);
    // Loads a sheet's interface file anew into `holder` and wires its buttons
    // (<sheet>Confirm, <sheet>Cancel) and Escape; the caller takes its
    // outlets, then shows it. nullptr when the file cannot be loaded.
    QDialog* loadSheet(const QString& file, QPointer<QDialog>& holder,
                       void (AppDelegate::*confirm)(), void (AppDelegate::*close)());
    // Ends a sheet whose outlets have been reset, and drops it, so the next
    // opening loads it anew: closeSheet(std::exchange(m_xSheet, {}).sheet).
    void closeSheet(QDialog* sheet);
    // The installation's identifier, as the last login published it.
    static QString serverID();
    // Tells what failed of an operation in one alert under `message`.
    void tellProvisioned(const trevok::Provisioned& done, const QString& message);

    // The server process.
    std::unique_ptr<trevok::ServerProcess> m_task;
    bool m_launchesServer = true;

    // Session: the server, its databases and live lists once logged in, and
    // the sync listener.
    int m_logedIn = 0;
    QUrl m_serverURL;
    std::unique_ptr<CouchServer> m_server;
    trevok::Credential m_serverCredential;
    trevok::ProtectionSpace m_syncSpace;
    bool m_needsTrevokMaster = false;
    CouchDatabase* m_userDatabase = nullptr;
    CouchDatabase* m_replicationDatabase = nullptr;
    CouchDatabase* m_trevokMasterDB = nullptr;
    MasterModel* m_newMaster = nullptr;
    std::unique_ptr<UserQuery> m_query;
    std::unique_ptr<ProjectQuery> m_projectQuery;
    std::unique_ptr<trevok::SyncListener> m_listener;
    QString m_projectListPredicate;

    // Start-up: what the listener announces, and the window's frame.
    QString m_fullUserName;
    QString m_localizedHostName;
    QString m_serviceName;
    QString m_macAddressString;
    QMap<QString, QString> m_txtRecord;
    trevok::SavedFrame m_savedFrame;
    QRect m_lastFrame;

    // Main window outlets, taken once when the main window is loaded.
    PXAppStoreWindow* m_mainWindow = nullptr;
    QWidget* m_mainContent = nullptr;
    QWidget* m_titleView = nullptr;
    QStackedWidget* m_sessionStack = nullptr;
    QTabWidget* m_tabView = nullptr;
    QToolButton* m_userButton = nullptr;
    QToolButton* m_projectButton = nullptr;
    QToolButton* m_infoButton = nullptr;
    QAbstractButton* m_loginButton = nullptr;
    QLabel* m_loginHeader = nullptr;
    QLabel* m_serverVersionTextField = nullptr;
    // The hint below the login button (the login sheet's field is in m_loginSheet).
    QLabel* m_loginPasswordTextField = nullptr;
    QLineEdit* m_tmpMasterName = nullptr;
    QLineEdit* m_tmpClientName = nullptr;
    QLineEdit* m_tmpClientEmail = nullptr;
    QLabel* m_masterID = nullptr;
    QLabel* m_bindAddress = nullptr;
    QLabel* m_requireValidUser = nullptr;
    QLabel* m_wwwAuthenticate = nullptr;
    QPushButton* m_saveButton = nullptr;
    QAbstractButton* m_changePWButton = nullptr;
    QLabel* m_serverStatusLine = nullptr;
    QLabel* m_listenerFingerprint = nullptr;
    QCheckBox* m_allowPlainSyncCheckbox = nullptr;

    // Serving without the window.
    QAction* m_closeAction = nullptr;
    QAction* m_quitAction = nullptr;
    QSystemTrayIcon* m_statusIcon = nullptr;
    QCheckBox* m_startAtLoginCheckbox = nullptr;
    QAbstractButton* m_quitButton = nullptr;
    QTimer* m_statusTimer = nullptr;
    trevok::DesktopNotifier* m_notifier = nullptr;
    trevok::NotificationBurst* m_replicationBurst = nullptr;
    bool m_toldHowToReopen = false;
    bool m_quitting = false;
    // Failures of the listener and the console told on the status line
    // after the server's.
    QStringList m_consoleProblems;
    QString m_lastServerProblem;
    bool m_toldServerLost = false;
    // source + "\n" + target of the replications known to be in error.
    QSet<QString> m_replicationsKnownInError;
    // User name → when the listener last saw them (ms since the epoch).
    QHash<QString, qint64> m_recentSightings;
    QHash<QString, qint64> m_heldSightings;

    // Sheets: all empty while closed.
    LoginSheet m_loginSheet;
    AdminPasswordSheet m_adminPasswordSheet;
    AddUserSheet m_addUserSheet;
    UserPasswordSheet m_userPasswordSheet;
    AddProjectSheet m_addProjectSheet;

    // Selections.
    QString m_selectedUserName;
    QString m_selectedProjectID;
    QString m_selectedProjectDBName;
    QString m_selectedProjecName;
    QString m_selectedMemberName;

    // Users: the users tab's outlets and the user being created.
    void updateUserControls();
    class UserArrayController* m_userTableController = nullptr;
    class QTableView* m_table = nullptr;
    QPushButton* m_addUserButton = nullptr;
    QPushButton* m_changeUserPasswordButton = nullptr;
    QPushButton* m_deleteUserButton = nullptr;
    class UserModel* m_newUser = nullptr;
    CouchDatabase* m_privatDatabase = nullptr;

    // Projects.
    // Why a stem cannot name a new project ("" when it can).
    QString stemInUse(const QString& stem);
    void setProjectStatus(const QString& text);
    QString pickedUserName() const;
    QString pickedMemberName() const;
    // Shows the selected project's members when the selection or the
    // record's master copy changes.
    void followSelectedProject();
    // Puts `members` of the project `projectID` (database stem `stem`, as of
    // the record's revision `generation`) into the members list and their
    // full names into the line below it.
    // The line below the members, from the users list as it is now.
    void showMembersLine();
    void showMembers(const QString& projectID, const QString& stem, const QStringList& members,
                     int generation);
    // The selected project's pair of replications with the master database.
    void showProjectSync();
    // The members shown, as of which record.
    QString m_membersStem;
    QString m_membersProjectID;
    int m_membersGeneration = 0;

    // The projects tab's outlets, the project being created and its
    // replications, and the user picker panel.
    class ProjectArrayController* m_projectTableController = nullptr;
    class QTableView* m_projectTableView = nullptr;
    class QListView* m_membersTableView = nullptr;
    QLabel* m_projectStatusLabel = nullptr;
    QLabel* m_projectMembersFullNameField = nullptr;
    class QStringListModel* m_membersArrayController = nullptr;
    class ProjectModel* m_newProject = nullptr;
    class CouchPersistentReplication* m_pull = nullptr;
    class CouchPersistentReplication* m_push = nullptr;
    QPointer<QWidget> m_userPanel;
    // What the window widened by for the open panel, and the width it then
    // had: given back at closing unless the administrator resized it since.
    int m_userPanelGrowth = 0;
    int m_userPanelGrownWidth = 0;
    class QTableView* m_userSelectionTableView = nullptr;
    // A project as the archiving and deletion flows act on it.
    using ProjectRef = trevok::projects::ProjectRef;
    // The first selected entry of the projects table, also stored in the
    // selection members; false (and told) when there is none to act on.
    bool takeSelectedProject(ProjectRef* project);
    void rememberSelectedProject(const ProjectRef& project);
    // The emptying step for one project, whatever is selected now; failures
    // are told in one alert under `failedMessage`. Returns whether all went.
    bool emptyProject(const ProjectRef& project, const QString& failedMessage);

    // The access rule (flows in projects/AccessFlows.cpp): which live
    // projects each user may write into, and the validation of each user
    // database that says so.
    trevok::projects::MemberProjects m_memberProjects;
    // At login: the memberships from the master database's records, then
    // every user database's rule mended where it differs, not waited for.
    void loadMemberProjects();
    void mendUserAccess();
    // Whether the project database the record names is that project's own
    // (it holds that record), or is gone while nothing of another project
    // carries the stem; "" or the mismatch in words. `members` receives the
    // members its record lists.
    QString checkProjectDatabase(const ProjectRef& project, QStringList* members);

    // An archive copy in progress, with the project it belongs to, so that its
    // completion empties that project and no other.
    struct ArchiveInProgress {
        // The archive replication (a QObject pointer, so that this header
        // needs no store header).
        QPointer<QObject> replication;
        CouchPersistentReplication* handle() const;
        ProjectRef project;
        // Project records marked archived, by document ID.
        QStringList markedRecords;
        // When the copy was first seen completed (ms since epoch; 0: not yet).
        qint64 completedSinceMs = 0;
        // The error last told to the administrator.
        QString toldError;
    };
    void scheduleArchiveCheck(int delayMs);
    void checkArchives();
    // Finishes a completed archive; false when it must be tried again later.
    bool finishArchive(ArchiveInProgress& archive);
    ArchiveInProgress* archiveOfProject(const QString& projectID);

    // Repair of the web at login.
    void startWebRepair(const QStringList& databases, bool atLogin);
    // Every database the server holds, checked and mended again.
    void checkWholeWebAgain();
    void scheduleWebMend(int delayMs);
    void mendWeb();
    void showLeftovers();
    void setInfoStatus(const QString& text);
    class WebRepair* m_webRepair = nullptr;
    bool m_webRepairPending = false;
    bool m_webRepairAtLogin = false;
    QLabel* m_infoStatusLabel = nullptr;
    class QListWidget* m_leftoversList = nullptr;
    QPushButton* m_removeLeftoverButton = nullptr;

    // Backups.
    void showBackupFolder();
    QString askForBackupFolder(const QString& title);
    void saveBackupSettings();
    void setBackupStatus(const QString& text);
    void showBackupControls();
    void scheduleNextBackup();
    void backupTimerFired();
    void makeBackupJob();
    // The administrator's session when logged in, else the backup account.
    std::optional<trevok::backup::ServerAccess> backupServerAccess() const;
    // Makes the daily backups' own account when they are chosen, it is
    // missing and the administrator is logged in.
    void ensureBackupAccount();
    void backupProgressed(const trevok::backup::BackupEvent& event);
    void backupJobFinished(bool ok, const trevok::backup::BackupEvent& last);
    // The restore's steps after the confirmation: the backup read through,
    // the server stopped and its folder moved aside, the backup written into
    // a fresh one; on failure the former folder comes back.
    void startRestore(const QString& file);
    void swapDataForRestore();
    void restoreDone(const trevok::backup::BackupEvent& done);
    void undoRestore(const QString& why);
    void endRestore(bool ok, const QString& text);
    trevok::backup::BackupJob* m_backupJob = nullptr;
    QTimer* m_backupTimer = nullptr;
    bool m_restoring = false;
    bool m_quitAfterRestore = false;
    QString m_restoreFile;
    QString m_restoreAside;
    QLabel* m_backupFolderField = nullptr;
    QCheckBox* m_dailyBackupCheckbox = nullptr;
    class QTimeEdit* m_backupTimeEdit = nullptr;
    class QSpinBox* m_backupKeepSpinBox = nullptr;
    QPushButton* m_backUpNowButton = nullptr;
    QPushButton* m_restoreBackupButton = nullptr;
    class QProgressBar* m_backupProgressBar = nullptr;
    QLabel* m_backupStatusLabel = nullptr;

    // Sync health (flows in app/HealthFlows.cpp).
    void showHealthTotals();
    void showReplicationMenu(const QString& source, const QString& target, int tab,
                             const QPoint& globalPos);
    std::shared_ptr<trevok::LastSeenRecorder> m_lastSeen;
    ReplicationHealth* m_health = nullptr;
    LastSeenWriter* m_lastSeenWriter = nullptr;
    QLabel* m_projectSyncField = nullptr;
    QLabel* m_usersStatusLabel = nullptr;
    QLabel* m_replicationsRunning = nullptr;
    QLabel* m_replicationsInError = nullptr;

    // Archives: the one started last, and every one in progress.
    QPointer<QObject> m_archive;
    QList<ArchiveInProgress> m_archives;
    bool m_checkingArchives = false;
    bool m_archiveCheckScheduled = false;
};
