#include "app/AppDelegate.h"
#include "chrome/PXAppStoreWindow.h"
#include "server/ServerChoice.h"
#include "server/ServiceName.h"
#include "server/TxtRecord.h"
#include "services/Interface.h"
#include "services/NotificationCenter.h"
#include "services/Readable.h"
#include "store/CouchDatabase.h"
#include "store/CouchServer.h"
#include "store/StoreLog.h"

#include <QLabel>
#include <QTabWidget>
#include <QTimer>
#include <QToolButton>

namespace {
const QString kProbeUp = QStringLiteral("unauthorized: Authentication required.");
} // namespace

void AppDelegate::applicationDidFinishLaunching() {
    if (launchesServer())
        launchCouchDB();

    trevok::NotificationCenter::defaultCenter().addObserver(
        this, QStringLiteral("AddUserToProject"),
        [this](const trevok::Notification& n) { assignUserToProject(n); });

    gRESTLogLevel = 3;
    gCouchLogLevel = 1;
    m_logedIn = 0;
    startSize();

    m_fullUserName = trevok::fullUserName();
    m_localizedHostName = trevok::localizedHostName();
    m_serviceName = trevok::composeServiceName(m_fullUserName, m_localizedHostName);
    m_txtRecord = trevok::txtRecordDictionary(getMacAddress());

    // Start-up does not wait for the listener: it comes up once the event loop runs.
    QTimer::singleShot(
        0, this, [this, name = m_serviceName, txt = m_txtRecord] { startSyncListener(name, txt); });

    probeServer();

    m_loginButton->setEnabled(true);
    trevok::setLabelText(m_loginHeader, QStringLiteral("Login"));
    if (m_loginSheet.loginWarningTextField)
        m_loginSheet.loginWarningTextField->hide();
    m_projectButton->setEnabled(false);
    m_userButton->setEnabled(false);

    m_projectListPredicate = QStringLiteral("wasDeleted == NO");
}

void AppDelegate::probeServer() {
    const trevok::ServerChoice choice = serverChoice();
    if (!choice.isBundled()) {
        probeChosenServer(choice);
        return;
    }
    CouchServer probe(QUrl(QStringLiteral("http://localhost:5984")));
    RESTOperationPtr op = probe.databaseNamed(QStringLiteral("dummidb"))->GET();
    if (!op->wait() && op->error() == kProbeUp) {
        trevok::setLabelText(m_serverVersionTextField,
                             QStringLiteral("The server is up and running."));
        m_serverVersionTextField->show();
    }
}
