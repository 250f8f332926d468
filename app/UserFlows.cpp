#include "app/AppDelegate.h"
#include "chrome/PXAppStoreWindow.h"
#include "lists/UserQuery.h"
#include "records/UserModel.h"
#include "records/UserNames.h"
#include "server/SyncListener.h"
#include "services/Alerts.h"
#include "services/Interface.h"
#include "services/Readable.h"
#include "store/CouchDatabase.h"
#include "store/CouchDocument.h"
#include "store/CouchServer.h"
#include "users/UserArrayController.h"
#include "users/UserProvisioning.h"

#include <QDialog>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTableView>

using trevok::outlet;
using namespace trevok::users;
using trevok::quoted;

UserArrayController* AppDelegate::userTableController() {
    if (!m_userTableController) {
        m_userTableController = new UserArrayController(this);
        connect(m_userTableController, &UserArrayController::selectionDidChange, this,
                &AppDelegate::updateUserControls);
    }
    if (m_userTableController->content() != m_query.get())
        m_userTableController->setContent(m_query.get());
    return m_userTableController;
}

void AppDelegate::connectUserOutlets() {
    const QWidget* root = m_mainContent;
    m_table = outlet<QTableView>(root, "table");
    m_addUserButton = outlet<QPushButton>(root, "addUserButton");
    m_changeUserPasswordButton = outlet<QPushButton>(root, "changeUserPasswordButton");
    m_deleteUserButton = outlet<QPushButton>(root, "deleteUserButton");
    // A member who changes his name, or a user who comes or goes, is named
    // anew below the members.
    const auto renamed = [this] { showMembersLine(); };
    connect(userTableController(), &QAbstractItemModel::dataChanged, this, renamed);
    connect(userTableController(), &QAbstractItemModel::modelReset, this, renamed);
    connect(userTableController(), &QAbstractItemModel::rowsInserted, this, renamed);
    if (m_table) {
        userTableController()->showIn(m_table);
        m_table->setEditTriggers(QAbstractItemView::NoEditTriggers);
        m_table->horizontalHeader()->setStretchLastSection(true);
        m_table->verticalHeader()->hide();
        // One line per user, whatever a name holds; what does not fit is
        // elided, and the cell's tooltip has it whole.
        m_table->setWordWrap(false);
        // Each column as wide as its heading and the dates, so that all six fit
        // the window at its first size; longer names elide, and the columns
        // can be widened by hand.
        QHeaderView* header = m_table->horizontalHeader();
        for (int column = 0; column < UserArrayController::SyncColumn; ++column)
            header->resizeSection(column, column == UserArrayController::CreatedColumn
                                              ? UserArrayController::createdColumnWidth(m_table)
                                              : header->sectionSizeHint(column));
    }
    if (m_addUserButton)
        connect(m_addUserButton, &QPushButton::clicked, this, &AppDelegate::activateUserSheet);
    if (m_changeUserPasswordButton)
        connect(m_changeUserPasswordButton, &QPushButton::clicked, this,
                &AppDelegate::activateChangeUserPasswordSheet);
    if (m_deleteUserButton)
        connect(m_deleteUserButton, &QPushButton::clicked, this, &AppDelegate::deleteUser);
    updateUserControls();
}

void AppDelegate::updateUserControls() {
    // The password change and the deletion act on one selected user.
    const bool selected =
        m_userTableController && m_userTableController->firstSelectedObject() != nullptr;
    if (m_changeUserPasswordButton)
        m_changeUserPasswordButton->setEnabled(selected);
    if (m_deleteUserButton)
        m_deleteUserButton->setEnabled(selected);
}

void AppDelegate::selectFirstUser() {
    UserArrayController* users = userTableController();
    if (!users->hasSelection() && users->rowCount() > 0)
        users->selectionModel()->setCurrentIndex(
            users->index(0, 0), QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    updateUserControls();
}

// ---- Adding a user ----

void AppDelegate::activateUserSheet() {
    if (m_addUserSheet.userSheetWarningTextField)
        m_addUserSheet.userSheetWarningTextField->hide();
    if (m_addUserSheet.sheet || m_logedIn != 1)
        return;
    switchToUsers();
    QDialog* sheet = loadSheet(QStringLiteral("AddUserSheet"), m_addUserSheet.sheet,
                               &AppDelegate::checkUser, &AppDelegate::closeUserSheet);
    if (!sheet)
        return;
    m_addUserSheet.tmpUserName = outlet<QLineEdit>(sheet, "tmpUserName");
    m_addUserSheet.tmpFirstName = outlet<QLineEdit>(sheet, "tmpFirstName");
    m_addUserSheet.tmpLastName = outlet<QLineEdit>(sheet, "tmpLastName");
    m_addUserSheet.tmpPassword = outlet<QLineEdit>(sheet, "tmpPassword");
    m_addUserSheet.tmpRepeatPassword = outlet<QLineEdit>(sheet, "tmpRepeatPassword");
    m_addUserSheet.userSheetWarningTextField = outlet<QLabel>(sheet, "userSheetWarningTextField");
    m_addUserSheet.userSheetWarningTextField->hide();
    showSheet(sheet);
    m_addUserSheet.tmpUserName->setFocus();
}

void AppDelegate::closeUserSheet() {
    closeSheet(std::exchange(m_addUserSheet, {}).sheet);
}

void AppDelegate::checkUser() {
    if (!m_addUserSheet.sheet)
        return;
    m_addUserSheet.userSheetWarningTextField->hide();
    const auto warn = [this](const QString& text) {
        trevok::showWarning(m_addUserSheet.userSheetWarningTextField, text);
    };
    const QString name = m_addUserSheet.tmpUserName->text();
    if (name.isEmpty())
        return warn(QStringLiteral("The username is missing."));
    if (m_addUserSheet.tmpLastName->text().isEmpty())
        return warn(QStringLiteral("The last name is missing."));
    if (m_addUserSheet.tmpPassword->text().isEmpty())
        return warn(QStringLiteral("The password is missing."));
    if (m_addUserSheet.tmpPassword->text() != m_addUserSheet.tmpRepeatPassword->text())
        return warn(QStringLiteral("The passwords don't match."));
    // The name becomes part of a database name: refuse what the server would
    // refuse there, before any of the user's things is written.
    if (!isValidDatabaseName(userDatabaseName(name)))
        return warn(QStringLiteral("The username may hold only lower-case letters a to z, digits "
                                   "and _ $ ( ) + - /."));
    // Read anew: another console or client may have added the user meanwhile.
    const StoredProperties existing =
        m_userDatabase->documentWithID(userDocumentID(name))->readPropertiesAndWait();
    if (!m_addUserSheet.sheet)
        return; // closed meanwhile: nothing was written yet
    if (existing.found())
        return warn(QStringLiteral("A user with this username exists already."));
    if (existing.status == StoredProperties::Failed)
        return warn(QStringLiteral("The server could not tell whether the username is taken: ") +
                    existing.error);
    createUser();
}

void AppDelegate::createUser() {
    // The sheet's fields are read once, before anything waits.
    const NewUser user{m_addUserSheet.tmpUserName->text(), m_addUserSheet.tmpFirstName->text(),
                       m_addUserSheet.tmpLastName->text(), m_addUserSheet.tmpPassword->text()};
    const trevok::Provisioned made =
        createUserAndWait(session(), user, m_memberProjects.projectsOf(user.name), &m_newUser);
    m_privatDatabase = m_server->databaseNamed(userDatabaseName(user.name));
    closeUserSheet();
    tellProvisioned(
        made, QStringLiteral("The user %1 was not set up completely.").arg(quoted(user.name)));
}

// ---- Changing a user's password ----

void AppDelegate::activateChangeUserPasswordSheet() {
    if (m_addProjectSheet.sheet || m_logedIn != 1 || m_userPasswordSheet.sheet)
        return;
    if (!userTableController()->hasSelection())
        return;
    QDialog* sheet =
        loadSheet(QStringLiteral("UserPasswordChangeSheet"), m_userPasswordSheet.sheet,
                  &AppDelegate::changeUserPassword, &AppDelegate::closeChangeUserPasswordSheet);
    if (!sheet)
        return;
    m_userPasswordSheet.tmpNewPassword = outlet<QLineEdit>(sheet, "tmpNewPassword");
    m_userPasswordSheet.tmpRepeatNewPassword = outlet<QLineEdit>(sheet, "tmpRepeatNewPassword");
    m_userPasswordSheet.userPasswordSheetWarningField =
        outlet<QLabel>(sheet, "userPasswordSheetWarningField");
    m_userPasswordSheet.userPasswordSheetWarningField->hide();
    // Whose password changes must be plain before anything is typed.
    if (const UserModel* user = userTableController()->firstSelectedObject()) {
        const QString title =
            QStringLiteral("New password for %1").arg(user->stringValue(QStringLiteral("name")));
        trevok::setLabelText(outlet<QLabel>(sheet, "userPasswordSheetTitle"), title);
        sheet->setWindowTitle(title);
        sheet->setAccessibleName(title);
    }
    showSheet(sheet);
    m_userPasswordSheet.tmpNewPassword->setFocus();
}

void AppDelegate::closeChangeUserPasswordSheet() {
    closeSheet(std::exchange(m_userPasswordSheet, {}).sheet);
}

void AppDelegate::changeUserPassword() {
    if (!m_userPasswordSheet.sheet)
        return;
    const auto warn = [this](const QString& text) {
        trevok::showWarning(m_userPasswordSheet.userPasswordSheetWarningField, text);
    };
    UserModel* user = userTableController()->firstSelectedObject();
    const QString password = m_userPasswordSheet.tmpNewPassword->text();
    if (password.isEmpty())
        return warn(QStringLiteral("The password is missing."));
    if (password != m_userPasswordSheet.tmpRepeatNewPassword->text())
        return warn(QStringLiteral("The passwords don't match."));
    if (!user)
        return warn(QStringLiteral("No user is selected."));
    // Saved now rather than by the autosave, so that the sync listener ends
    // the feeds opened with the old password as soon as the server has the
    // new one, not at its next check.
    const QString name = user->storedProperties().value(QStringLiteral("name")).toString();
    trevok::users::changeUserPassword(user, password)
        ->onCompletion(this, [this, name](RESTOperation& saved) {
            if (saved.isSuccessful() && m_listener)
                m_listener->recheckAccount(name);
        });
    closeChangeUserPasswordSheet();
}

// ---- Deleting a user ----

void AppDelegate::deleteUser() {
    if (m_addProjectSheet.sheet || m_logedIn != 1)
        return;
    if (!userTableController()->hasSelection())
        return;
    trevok::runConfirmationAlert(m_mainWindow,
                                 {QStringLiteral("Do you want to delete this user?"),
                                  QStringLiteral("You can't undo this action."),
                                  QStringLiteral("Delete User"), QStringLiteral("deleteUserAlert")},
                                 [self = QPointer<AppDelegate>(this)](int returnCode) {
                                     if (self)
                                         self->deleteUserModalEnded(returnCode);
                                 });
}

void AppDelegate::deleteUserModalEnded(int returnCode) {
    if (returnCode != 1)
        return;
    UserModel* user = userTableController()->firstSelectedObject();
    if (!user)
        return;
    // The stored name names the user's things, not an unsaved change of it.
    m_selectedUserName = user->storedProperties().value(QStringLiteral("name")).toString();
    const QString name = m_selectedUserName;
    const trevok::Provisioned removed = deleteUserAndWait(session(), name);
    // Its open feeds end now, not at the listener's next check.
    if (m_listener)
        m_listener->recheckAccount(name);

    tellProvisioned(removed,
                    QStringLiteral("The user %1 was not deleted completely.").arg(quoted(name)));
}
