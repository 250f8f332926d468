#include "app/AppDelegate.h"
#include "chrome/PXAppStoreWindow.h"
#include "chrome/UserDefaults.h"
#include "desktop/Autostart.h"
#include "records/MasterModel.h"
#include "records/RecordFields.h"
#include "records/ServerSettings.h"
#include "services/Interface.h"
#include "services/Readable.h"
#include "services/ServerAdmins.h"
#include "store/CouchDatabase.h"
#include "store/CouchDocument.h"
#include "store/CouchServer.h"

#include <QCheckBox>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QToolButton>

namespace {
constexpr int kProjectsTab = 0;
constexpr int kUsersTab = 1;
constexpr int kInfoTab = 2;

QString tabIdentifier(int index) {
    switch (index) {
    case kProjectsTab:
        return QStringLiteral("ProjectList");
    case kInfoTab:
        return QStringLiteral("MasterSetup");
    default:
        return QStringLiteral("UserList");
    }
}
} // namespace

void AppDelegate::startSize() {
    auto defaults = pxUserDefaults();
    const QString key = QStringLiteral("NSWindow Frame TrevokServer");
    m_savedFrame = defaults.contains(key) ? trevok::parseSavedFrame(defaults.value(key).toString())
                                          : trevok::SavedFrame{};
    setFrame(trevok::startFrame(m_savedFrame), false);
    // Only from now on: a frame the window had before start-up placed it is
    // not the administrator's and must not replace the saved one.
    m_mainWindow->setFrameAutosaveName(QStringLiteral("TrevokServer"));
}

void AppDelegate::normalSize() {
    setFrame(trevok::normalFrame(m_savedFrame), true);
}

void AppDelegate::setFrame(const QRect& frame, bool animate) {
    m_lastFrame = frame;
    m_mainWindow->setFrame(QRectF(frame), true, animate);
}

void AppDelegate::setTabImages(const char* users, const char* projects, const char* infos) {
    m_userButton->setIcon(QIcon(trevok::imagePath(QString::fromLatin1(users))));
    m_projectButton->setIcon(QIcon(trevok::imagePath(QString::fromLatin1(projects))));
    m_infoButton->setIcon(QIcon(trevok::imagePath(QString::fromLatin1(infos))));
    m_userButton->setProperty("imageName", QString::fromLatin1(users));
    m_projectButton->setProperty("imageName", QString::fromLatin1(projects));
    m_infoButton->setProperty("imageName", QString::fromLatin1(infos));
}

void AppDelegate::switchToProjects() {
    m_tabView->setCurrentIndex(kProjectsTab);
    setTabImages("Users_large", "Projects_large_active", "Infos_large");
}

void AppDelegate::switchToUsers() {
    m_tabView->setCurrentIndex(kUsersTab);
    setTabImages("Users_large_active", "Projects_large", "Infos_large");
    selectFirstUser();
    closeUserPicker();
}

void AppDelegate::switchToInfo() {
    m_tabView->setCurrentIndex(kInfoTab);
    setTabImages("Users_large", "Projects_large", "Infos_large_active");
    closeUserPicker();
}

void AppDelegate::tabViewDidSelectTabViewItem(int index) {
    const QString identifier = tabIdentifier(index);
    if (identifier == QLatin1String("MasterSetup"))
        fillInformationTab();
    else if (identifier == QLatin1String("ProjectList"))
        listProjects();
}

void AppDelegate::fillInformationTab() {
    // The entry may have been removed by hand meanwhile.
    if (m_startAtLoginCheckbox)
        m_startAtLoginCheckbox->setChecked(trevok::startsAtLogin());
    // Before login there is neither a session server nor a master database.
    if (!m_server || !m_trevokMasterDB)
        return;
    CouchDocument* master = m_trevokMasterDB->documentWithID(trevok::masterRecordID());
    m_tmpClientEmail->setText(
        master->propertyForKeyAndWait(QStringLiteral("ownerEmail")).toString());
    m_tmpClientName->setText(
        master->propertyForKeyAndWait(trevok::records::kOwnerNameField).toString());
    // Shown for reference; the record's identifier is never edited here.
    trevok::setLabelText(m_masterID,
                         master->propertyForKeyAndWait(QStringLiteral("masterID")).toString());
    m_saveButton->setFlat(true);
    m_saveButton->setStyleSheet(
        QStringLiteral("background: transparent; border: none; color: transparent;"));

    RESTOperationPtr op = m_server->childWithPath(trevok::localConfigPath(m_server.get()))->GET();
    // On failure stale values would pass for the server's current settings.
    const trevok::ServerSettings settings =
        op->wait() && op->responseBody().isObject()
            ? trevok::serverSettingsFromConfig(op->responseBody().toObject())
            : trevok::unknownServerSettings();
    trevok::setLabelText(m_bindAddress, settings.bindAddress);
    trevok::setLabelText(m_requireValidUser, settings.requireValidUser);
    trevok::setLabelText(m_wwwAuthenticate, settings.wwwAuthenticate);
}
