#include "app/AppDelegate.h"
#include "server/DataDirs.h"
#include "server/ServerConfigFile.h"
#include "server/ServerProcess.h"
#include "services/Readable.h"

#include <QLabel>

namespace {
// How long start-up waits for the server to answer. The launcher reads its
// configuration and opens the databases first, which takes a few seconds
// on a busy machine; a start that fails ends the wait at once.
constexpr int kServerStartWaitMs = 30000;

QString serverHome() {
    return trevok::resourcesFolder() + QStringLiteral("/server-core");
}
} // namespace

QString AppDelegate::applicationSupportFolder() const {
    return trevok::applicationSupportFolder();
}

void AppDelegate::maybeSetDataDirs() {
    // The shipped local.ini stays as installed; each person's server reads a
    // copy of it last, which takes the data section.
    const QString config = trevok::personalServerConfig();
    trevok::preparePersonalServerConfig(trevok::shippedServerConfig(serverHome()), config);
    trevok::maybeSetDataDirs(config, applicationSupportFolder());
}

void AppDelegate::launchCouchDB() {
    maybeSetDataDirs();
    // The person's copy of the configuration is read last, so it takes the
    // server's own writes (password hash, uuid) too.
    m_task = std::make_unique<trevok::ServerProcess>(
        serverHome(), applicationSupportFolder(),
        QStringList{QStringLiteral("-a"), trevok::personalServerConfig()});
    connect(m_task.get(), &trevok::ServerProcess::statusChanged, this,
            &AppDelegate::showServerStatus);
    connect(m_task.get(), &trevok::ServerProcess::serverBack, this, &AppDelegate::serverIsBack);
    // A server of this data folder that still runs from an earlier start is
    // used as it is; otherwise one is launched and start-up waits until it
    // answers (the window keeps painting) or its launch has failed.
    m_task->start();
    m_task->waitUntilSettled(kServerStartWaitMs);
    showServerStatus();
}

void AppDelegate::taskTerminated() {
    cleanup();
}

// Drops the process handle only. The controller's notification
// registrations stay: they belong to the session, not to one server
// process, and a server that ended is started again.
void AppDelegate::cleanup() {
    m_task.reset();
}

void AppDelegate::showServerStatus() {
    if (!m_serverStatusLine)
        return;
    const QString serverText = m_task ? m_task->statusText() : QString();
    serverStatusForDesktop(serverText);
    // The listener's failure shares the line: both leave sync clients without service.
    QStringList parts = m_consoleProblems;
    if (!serverText.isEmpty())
        parts.prepend(serverText);
    const QString text = parts.join(QLatin1Char(' '));
    // Losing the server is announced like a sheet's warning, so that a
    // person who cannot see the window hears it too.
    if (text.isEmpty()) {
        trevok::setLabelText(m_serverStatusLine, text);
        m_serverStatusLine->hide();
    } else {
        trevok::showWarning(m_serverStatusLine, text);
    }
}

void AppDelegate::serverIsBack() {
    showServerStatus();
    // The live lists follow their change feeds again on their own, and read
    // their queries anew when the feed answers. Archive copies run inside the server and carry on
    // after a restart; their reports are looked at again.
    if (!m_archives.isEmpty())
        scheduleArchiveCheck(0);
}
