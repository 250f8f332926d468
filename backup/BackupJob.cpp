#include "backup/BackupJob.h"

#include "server/ServerProcess.h"

#include <QProcessEnvironment>
#include <QStandardPaths>

namespace trevok::backup {

namespace {
constexpr int kStopWaitMs = 5000;
const QString kPasswordVariable = QStringLiteral("TREVOK_BACKUP_PASSWORD");

QString nodeProgram() {
    const QString found = QStandardPaths::findExecutable(QStringLiteral("node"));
    return found.isEmpty() ? QStringLiteral("node") : found;
}

QStringList serverArguments(const ServerAccess& server) {
    return {QStringLiteral("--url"), server.url.toString(QUrl::RemoveUserInfo),
            QStringLiteral("--user"), server.user};
}
} // namespace

BackupJob::BackupJob(QObject* parent)
    : QObject(parent) {}

BackupJob::~BackupJob() {
    if (!m_process || m_process->state() == QProcess::NotRunning)
        return;
    m_process->disconnect(this);
    m_process->terminate();
    if (!m_process->waitForFinished(kStopWaitMs))
        m_process->kill();
    m_process->waitForFinished(kStopWaitMs);
}

QString BackupJob::toolPath() {
    return trevok::resourcesFolder() + QStringLiteral("/backup/bin/trevok-backup");
}

bool BackupJob::isRunning() const {
    return m_process && m_process->state() != QProcess::NotRunning;
}

void BackupJob::startBackup(const ServerAccess& server, const QString& folder, int keep) {
    start(Mode::Backup,
          QStringList{QStringLiteral("backup")} + serverArguments(server) +
              QStringList{QStringLiteral("--folder"), folder, QStringLiteral("--keep"),
                          QString::number(keep)},
          server.password);
}

void BackupJob::startRestore(const ServerAccess& server, const QString& file) {
    start(Mode::Restore,
          QStringList{QStringLiteral("restore")} + serverArguments(server) + QStringList{file},
          server.password);
}

void BackupJob::startVerify(const QString& file) {
    start(Mode::Verify, {QStringLiteral("verify"), file}, {});
}

void BackupJob::start(Mode mode, const QStringList& arguments, const QString& password) {
    if (isRunning())
        return;
    m_mode = mode;
    m_buffer.clear();
    m_last = {};
    m_told = false;
    m_process = std::make_unique<QProcess>();
    // The password goes through the environment, which only its owner can
    // read, never through the command line every user of the machine sees.
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(kPasswordVariable, password);
    m_process->setProcessEnvironment(environment);
    m_process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    connect(m_process.get(), &QProcess::readyReadStandardOutput, this, &BackupJob::readLines);
    connect(m_process.get(), &QProcess::finished, this, &BackupJob::ended);
    connect(m_process.get(), &QProcess::errorOccurred, this, [this](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart)
            failedToStart();
    });
    m_process->start(nodeProgram(), QStringList{toolPath()} + arguments);
}

void BackupJob::readLines() {
    m_buffer += m_process->readAllStandardOutput();
    for (qsizetype end = m_buffer.indexOf('\n'); end >= 0; end = m_buffer.indexOf('\n')) {
        const QByteArray line = m_buffer.left(end);
        m_buffer.remove(0, end + 1);
        const BackupEvent event = parseBackupEvent(line);
        switch (event.kind) {
        case BackupEvent::Kind::Start:
        case BackupEvent::Kind::Database:
        case BackupEvent::Kind::Verify:
            Q_EMIT progress(event);
            break;
        case BackupEvent::Kind::Done:
        case BackupEvent::Kind::Failed:
            m_last = event;
            break;
        case BackupEvent::Kind::Unknown:
            break;
        }
    }
}

void BackupJob::ended(int exitCode, QProcess::ExitStatus status) {
    readLines();
    if (m_told)
        return;
    m_told = true;
    const bool ok =
        status == QProcess::NormalExit && exitCode == 0 && m_last.kind == BackupEvent::Kind::Done;
    if (!ok && m_last.kind != BackupEvent::Kind::Failed) {
        m_last = {};
        m_last.kind = BackupEvent::Kind::Failed;
        m_last.cause = QStringLiteral("other");
        m_last.message =
            status == QProcess::CrashExit
                ? QStringLiteral("The backup tool stopped unexpectedly.")
                : QStringLiteral("The backup tool ended with code %1 without saying why.")
                      .arg(exitCode);
    }
    Q_EMIT finished(ok, m_last);
}

void BackupJob::failedToStart() {
    if (m_told)
        return;
    m_told = true;
    m_last = {};
    m_last.kind = BackupEvent::Kind::Failed;
    m_last.cause = QStringLiteral("other");
    m_last.message = QStringLiteral("The backup tool “%1” could not be started: %2.")
                         .arg(toolPath(), m_process->errorString());
    Q_EMIT finished(false, m_last);
}

} // namespace trevok::backup
