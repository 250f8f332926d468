#include "server/ServerProcess.h"
#include "server/ServerConfigFile.h"

#include <QCoreApplication>
#include <QDebug>
#include <QFileInfo>

namespace trevok {

QString resourcesFolder() {
    return locateResources(qEnvironmentVariable("TREVOK_RESOURCES"),
                           QCoreApplication::applicationDirPath());
}

ServerProcess::ServerProcess(QObject* parent)
    : QObject(parent) {}

ServerProcess::~ServerProcess() {
    if (m_task) {
        // The server outlives the console on purpose: detach instead of killing.
        m_task->disconnect(this);
        m_task.release()->setParent(nullptr);
    }
}

void ServerProcess::launch(const QString& serverHome, const QString& lastConfigFile) {
    m_task = std::make_unique<QProcess>();
    m_task->setWorkingDirectory(serverHome);
    m_task->setProgram(serverHome + QStringLiteral("/bin/couchdb"));
    QStringList arguments{QStringLiteral("-i")};
    if (!lastConfigFile.isEmpty())
        arguments << QStringLiteral("-a") << lastConfigFile;
    m_task->setArguments(arguments);
    m_task->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    connect(m_task.get(), &QProcess::readyReadStandardOutput, this, &ServerProcess::drainOutput);
    connect(m_task.get(), &QProcess::finished, this, [this] { Q_EMIT terminated(); });
    connect(m_task.get(), &QProcess::errorOccurred, this, [this](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart) {
            qWarning().noquote() << QStringLiteral("Error: the server could not be started: %1")
                                        .arg(m_task->errorString());
            Q_EMIT terminated();
        }
    });
    m_task->start(QIODevice::ReadWrite);
}

bool ServerProcess::isRunning() const {
    return m_task && m_task->state() != QProcess::NotRunning;
}

void ServerProcess::kill() {
    if (isRunning()) {
        m_task->kill();
        m_task->waitForFinished(5000);
    }
}

void ServerProcess::drainOutput() {
    // The output is not used; reading it only keeps the pipe from filling.
    if (m_task)
        m_task->readAllStandardOutput();
}

} // namespace trevok
