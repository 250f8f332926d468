#include "app/AppDelegate.h"
#include "chrome/PXAppStoreWindow.h"
#include "chrome/UserDefaults.h"
#include "server/ServerChoice.h"
#include "services/Interface.h"
#include "services/Readable.h"
#include "store/CouchServer.h"

#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStackedWidget>
#include <QToolButton>

using trevok::outlet;

void AppDelegate::activateLoginPasswordSheet() {
    if (m_loginSheet.sheet || m_logedIn == 1)
        return;
    const bool customized =
        pxUserDefaults().value(QStringLiteral("TS_CustomizedPassword")).toString() ==
        QLatin1String("1");
    m_loginPasswordTextField->setVisible(!customized);

    QDialog* sheet = loadSheet(QStringLiteral("LoginSheet"), m_loginSheet.sheet,
                               &AppDelegate::login, &AppDelegate::closeLoginPasswordSheet);
    if (!sheet)
        return;
    m_loginSheet._loginPassWordTextField = outlet<QLineEdit>(sheet, "_loginPassWordTextField");
    // In the sheet, beside the field it is about, where the eye already is.
    m_loginSheet.loginWarningTextField = outlet<QLabel>(sheet, "loginWarningTextField");
    m_loginSheet.loginWarningTextField->hide();
    showSheet(sheet);
    m_loginSheet._loginPassWordTextField->setFocus();
}

QUrl AppDelegate::serverURL() {
    return serverChoice().serverURL();
}

void AppDelegate::closeLoginPasswordSheet() {
    closeSheet(std::exchange(m_loginSheet, {}).sheet);
}

void AppDelegate::login() {
    if (!m_loginSheet.sheet)
        return;
    m_loginSheet.loginWarningTextField->hide();
    const QString password = m_loginSheet._loginPassWordTextField->text();

    const trevok::ServerChoice choice = serverChoice();
    m_serverURL = choice.serverURL();
    m_server = std::make_unique<CouchServer>(m_serverURL);
    m_serverCredential = {choice.admin, password};
    m_syncSpace = {m_serverURL.toString(),
                   m_serverURL.port(m_serverURL.scheme() == QLatin1String("https") ? 443 : 80),
                   m_serverURL.scheme(), QString(), QString()};
    trevok::CredentialStorage::shared().setDefaultCredential(m_serverCredential, m_syncSpace);
    m_server->setCredential(m_serverCredential.user, m_serverCredential.password);

    const bool answered = m_server->getDatabasesAndWait().has_value();
    if (!m_loginSheet.sheet)
        return; // closed meanwhile: the administrator gave up
    if (answered) {
        // How this server wants its replications written, and the account
        // they carry there, before the first of them is looked at.
        learnServerGeneration();
        if (!m_loginSheet.sheet)
            return;
        finishLogin();
        return;
    }
    m_loginPasswordTextField->hide();
    trevok::showWarning(m_loginSheet.loginWarningTextField,
                        m_loginSheet.loginWarningTextField->text());
    m_loginSheet._loginPassWordTextField->selectAll();
    m_loginSheet._loginPassWordTextField->setFocus();
}

void AppDelegate::finishLogin() {
    setUpStore();
    m_loginSheet._loginPassWordTextField->clear();
    m_projectButton->setEnabled(true);
    m_userButton->setEnabled(true);
    closeLoginPasswordSheet();
    m_logedIn = 1;
    m_serverVersionTextField->hide();
    m_sessionStack->setCurrentIndex(1);
    switchToProjects();

    m_mainWindow->setTrafficLightButtonsLeftMargin(7);
    m_mainWindow->setFullScreenButtonRightMargin(7);
    m_mainWindow->setCenterFullScreenButton(false);
    m_mainWindow->setCenterTrafficLightButtons(false);
    m_mainWindow->setShowsTitle(true);
    m_mainWindow->setTitleBarHeight(70);

    QWidget* bar = m_mainWindow->titleBarView();
    m_titleView->setParent(bar);
    m_titleView->setGeometry(bar->rect());
    m_titleView->show();
    trevok::followParentSize(m_titleView);

    m_mainWindow->setShowsBaselineSeparator(true);
    normalSize();
    startHealth();
    // A daily backup that fell due while nobody was logged in starts now,
    // and one whose account went missing gets it again.
    ensureBackupAccount();
    scheduleNextBackup();
}
