#include "app/AppDelegate.h"
#include "app/NotificationCenter.h"
#include "server/DataDirs.h"
#include "server/ServerConfigFile.h"
#include "server/ServerProcess.h"

#include <QEventLoop>
#include <QTimer>

namespace {
// Gives the server time to open its port before the start-up probe.
constexpr int kServerStartGraceMs = 1000;

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
    m_task = std::make_unique<trevok::ServerProcess>();
    connect(m_task.get(), &trevok::ServerProcess::terminated, this, &AppDelegate::taskTerminated,
            Qt::QueuedConnection);
    m_task->launch(serverHome(), trevok::personalServerConfig());

    // Wait without freezing the window: paint events run, input is held back.
    QEventLoop pause;
    QTimer::singleShot(kServerStartGraceMs, &pause, &QEventLoop::quit);
    pause.exec(QEventLoop::ExcludeUserInputEvents);
}

void AppDelegate::taskTerminated() {
    cleanup();
}

void AppDelegate::cleanup() {
    if (m_task) {
        m_task->disconnect(this);
        m_task.release()->deleteLater();
    }
    trevok::NotificationCenter::defaultCenter().removeObserver(this);
}
