#include "app/AppDelegate.h"
#include "chrome/PXAppStoreWindow.h"
#include "chrome/UserDefaults.h"
#include "services/Alerts.h"
#include "services/Interface.h"
#include "services/Readable.h"
#include "services/ServerAdmins.h"
#include "store/CouchServer.h"

#include <QDialog>
#include <QJsonValue>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

using trevok::outlet;

void AppDelegate::activateChangeAdminPasswordSheet() {
    if (m_adminPasswordSheet.sheet || m_logedIn != 1)
        return;
    QDialog* sheet =
        loadSheet(QStringLiteral("AdminPasswordChangeSheet"), m_adminPasswordSheet.sheet,
                  &AppDelegate::changeAdminPassword, &AppDelegate::closeChangeAdminPasswordSheet);
    if (!sheet)
        return;
    m_adminPasswordSheet.tmpNewAdminPassword = outlet<QLineEdit>(sheet, "tmpNewAdminPassword");
    m_adminPasswordSheet.tmpRepeatNewAdminPassword =
        outlet<QLineEdit>(sheet, "tmpRepeatNewAdminPassword");
    m_adminPasswordSheet.adminPasswordSheetWarningField =
        outlet<QLabel>(sheet, "adminPasswordSheetWarningField");
    m_adminPasswordSheet.adminPasswordSheetWarningField->hide();
    showSheet(sheet);
    m_adminPasswordSheet.tmpNewAdminPassword->setFocus();
}

void AppDelegate::closeChangeAdminPasswordSheet() {
    closeSheet(std::exchange(m_adminPasswordSheet, {}).sheet);
}

void AppDelegate::changeAdminPassword() {
    if (!m_adminPasswordSheet.sheet)
        return;
    const auto warn = [this](const QString& text) {
        trevok::showWarning(m_adminPasswordSheet.adminPasswordSheetWarningField, text);
    };
    const QString password = m_adminPasswordSheet.tmpNewAdminPassword->text();
    if (password.isEmpty()) {
        warn(QStringLiteral("The password field can't be empty"));
        return;
    }
    if (password != m_adminPasswordSheet.tmpRepeatNewAdminPassword->text()) {
        warn(QStringLiteral("The passwords don't match, please try again."));
        return;
    }

    const QString problem =
        trevok::setServerAdminAndWait(m_server.get(), m_serverCredential.user, password);
    const bool changed = problem.isEmpty();
    if (!changed && !m_adminPasswordSheet.sheet) {
        trevok::showFailureAlert(m_mainWindow, QStringLiteral("The password was not changed."),
                                 problem);
        return;
    }
    if (!changed) {
        // The old password still holds (on a cluster: on the nodes named),
        // so say so and keep what was typed.
        warn(QStringLiteral("The server did not change the password: %1").arg(problem));
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
