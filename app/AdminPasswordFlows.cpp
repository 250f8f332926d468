#include "app/AppDelegate.h"
#include "chrome/PXAppStoreWindow.h"
#include "chrome/UserDefaults.h"
#include "services/Alerts.h"
#include "services/Interface.h"
#include "services/Readable.h"
#include "store/CouchServer.h"

#include <QDialog>
#include <QJsonValue>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

using trevok::outlet;

void AppDelegate::activateChangeAdminPasswordSheet() {
    if (m_adminPasswordSheet || m_logedIn != 1)
        return;
    QDialog* sheet =
        loadSheet(QStringLiteral("AdminPasswordChangeSheet"), m_adminPasswordSheet,
                  &AppDelegate::changeAdminPassword, &AppDelegate::closeChangeAdminPasswordSheet);
    if (!sheet)
        return;
    m_tmpNewAdminPassword = outlet<QLineEdit>(sheet, "tmpNewAdminPassword");
    m_tmpRepeatNewAdminPassword = outlet<QLineEdit>(sheet, "tmpRepeatNewAdminPassword");
    m_adminPasswordSheetWarningField = outlet<QLabel>(sheet, "adminPasswordSheetWarningField");
    m_adminPasswordSheetWarningField->hide();
    showSheet(sheet);
    m_tmpNewAdminPassword->setFocus();
}

void AppDelegate::closeChangeAdminPasswordSheet() {
    closeSheet(m_adminPasswordSheet);
}

void AppDelegate::changeAdminPassword() {
    if (!m_adminPasswordSheet)
        return;
    const auto warn = [this](const QString& text) {
        trevok::showWarning(m_adminPasswordSheetWarningField, text);
    };
    const QString password = m_tmpNewAdminPassword->text();
    if (password.isEmpty()) {
        warn(QStringLiteral("The password field can't be empty"));
        return;
    }
    if (password != m_tmpRepeatNewAdminPassword->text()) {
        warn(QStringLiteral("The passwords don't match, please try again."));
        return;
    }

    RESTOperationPtr op =
        m_server->childWithPath(QStringLiteral("_config/admins/admin"))->PUTJSON(password);
    const bool changed = op->wait();
    if (!changed && !m_adminPasswordSheet) {
        trevok::showFailureAlert(m_mainWindow, QStringLiteral("The password was not changed."),
                                 op->error());
        return;
    }
    if (!changed) {
        // The old password still holds: say so and keep what was typed.
        warn(QStringLiteral("The server did not change the password: %1").arg(op->error()));
        return;
    }
    trevok::CredentialStorage::shared().removeCredential(m_serverCredential, m_syncSpace);
    // The rest of this run goes on with the password the server now expects.
    m_serverCredential.password = password;
    m_server->setCredential(m_serverCredential.user, password);
    trevok::CredentialStorage::shared().setDefaultCredential(m_serverCredential, m_syncSpace);
    pxUserDefaults().setValue(QStringLiteral("TS_CustomizedPassword"), QStringLiteral("1"));
    closeChangeAdminPasswordSheet();
}
