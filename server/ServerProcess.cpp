#include "server/ServerProcess.h"
#include "server/ServerConfigFile.h"

#include "store/RESTOperation.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSet>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <unistd.h>

namespace trevok {

namespace {
const QString kPidFile = QStringLiteral("server-core.pid");
const QString kLogFile = QStringLiteral("server-core.log");
constexpr int kMaxRestartDelayMs = 30000;
constexpr int kFirstRestartDelayMs = 500;
constexpr qint64 kLogTailBytes = 64 * 1024;

// Sockets in the LISTEN state on the port, by inode, from the kernel's
// tables of this network namespace.
QSet<QByteArray> listeningInodes(quint16 port) {
    QSet<QByteArray> inodes;
    for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
        QFile file(QString::fromLatin1(table));
        if (!file.open(QIODevice::ReadOnly))
            continue;
        file.readLine(); // header
        while (!file.atEnd()) {
            const QList<QByteArray> fields = file.readLine().simplified().split(' ');
            // sl local_address rem_address st tx:rx tr:when retrnsmt uid timeout inode
            if (fields.size() < 10 || fields.at(3) != "0A")
                continue;
            const QByteArray& local = fields.at(1);
            bool ok = false;
            const uint localPort = local.mid(local.lastIndexOf(':') + 1).toUInt(&ok, 16);
            if (ok && localPort == port)
                inodes.insert(fields.at(9));
        }
    }
    return inodes;
}
} // namespace

QString resourcesFolder() {
    return locateResources(qEnvironmentVariable("TREVOK_RESOURCES"),
                           QCoreApplication::applicationDirPath());
}

ServerPidFile parseServerPidFile(const QByteArray& json) {
    const QJsonObject o = QJsonDocument::fromJson(json).object();
    ServerPidFile pid;
    pid.launcher = o.value(QStringLiteral("launcher")).toInteger();
    pid.server = o.value(QStringLiteral("server")).toInteger();
    pid.port = o.value(QStringLiteral("port")).toInt();
    pid.uuid = o.value(QStringLiteral("uuid")).toString();
    return pid;
}

std::optional<ServerPidFile> readServerPidFile(const QString& dataFolder) {
    QFile file(dataFolder + QLatin1Char('/') + kPidFile);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    const ServerPidFile pid = parseServerPidFile(file.readAll());
    if (pid.launcher <= 0 || pid.server <= 0)
        return std::nullopt;
    return pid;
}

bool processAlive(qint64 pid) {
    if (pid <= 0)
        return false;
    if (::kill(static_cast<pid_t>(pid), 0) != 0 && errno != EPERM)
        return false;
    // A zombie has ended all the same.
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (stat.open(QIODevice::ReadOnly)) {
        const QByteArray text = stat.readAll();
        const qsizetype close = text.lastIndexOf(')');
        if (close >= 0 && close + 2 < text.size() && text.at(close + 2) == 'Z')
            return false;
    }
    return true;
}

bool processListensOn(qint64 pid, quint16 port) {
    const QSet<QByteArray> inodes = listeningInodes(port);
    if (inodes.isEmpty() || pid <= 0)
        return false;
    const QDir fds(QStringLiteral("/proc/%1/fd").arg(pid));
    const QStringList entries = fds.entryList(QDir::System | QDir::NoDotAndDotDot);
    for (const QString& fd : entries) {
        // "socket:[12345]" is no path: read the link itself.
        QByteArray buffer(64, '\0');
        const QByteArray path = QFile::encodeName(fds.filePath(fd));
        const ssize_t n = ::readlink(path.constData(), buffer.data(), buffer.size());
        if (n <= 0)
            continue;
        buffer.truncate(n);
        if (buffer.startsWith("socket:[") && inodes.contains(buffer.mid(8, buffer.size() - 9)))
            return true;
    }
    return false;
}

bool portInUse(quint16 port) {
    return !listeningInodes(port).isEmpty();
}

QString lastErrorInLog(const QString& logText) {
    const QStringList lines = logText.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    for (auto it = lines.crbegin(); it != lines.crend(); ++it) {
        const qsizetype at = it->indexOf(QLatin1String("] [error] ["));
        if (at < 0)
            continue;
        // "[date] [error] [pid] reason"
        const qsizetype reason = it->indexOf(QLatin1String("] "), at + 11);
        return reason < 0 ? QString() : it->mid(reason + 2).trimmed();
    }
    return {};
}

QString lastServerError(const QString& dataFolder) {
    QFile log(dataFolder + QLatin1Char('/') + kLogFile);
    if (!log.open(QIODevice::ReadOnly))
        return {};
    if (log.size() > kLogTailBytes)
        log.seek(log.size() - kLogTailBytes);
    return lastErrorInLog(QString::fromUtf8(log.readAll()));
}

int restartDelayMs(int attempt) {
    const int shift = std::clamp(attempt, 0, 16);
    return static_cast<int>(
        std::min<qint64>(kMaxRestartDelayMs, qint64(kFirstRestartDelayMs) << shift));
}

ServerProcess::ServerProcess(QString serverHome, QString dataFolder, QStringList extraArguments,
                             quint16 port, QObject* parent)
    : QObject(parent)
    , m_home(std::move(serverHome))
    , m_dataFolder(std::move(dataFolder))
    , m_extraArguments(std::move(extraArguments))
    , m_port(port) {
    m_watch.setInterval(kWatchIntervalMs);
    connect(&m_watch, &QTimer::timeout, this, &ServerProcess::check);
    m_relaunch.setSingleShot(true);
    connect(&m_relaunch, &QTimer::timeout, this, &ServerProcess::relaunch);
}

// The server outlives the console on purpose: nothing is stopped here.
ServerProcess::~ServerProcess() = default;

ServerProcess::Seen ServerProcess::look() const {
    Seen seen;
    seen.pid = readServerPidFile(m_dataFolder);
    seen.up = seen.pid && seen.pid->port == m_port && processAlive(seen.pid->launcher) &&
              processAlive(seen.pid->server) && processListensOn(seen.pid->server, m_port);
    return seen;
}

void ServerProcess::start() {
    const Seen seen = look();
    if (seen.up) {
        m_adopted = true;
        qInfo().noquote() << QStringLiteral("Using the server already running for %1 (pid %2)")
                                 .arg(m_dataFolder)
                                 .arg(seen.pid->server);
    } else {
        relaunch();
    }
    m_watch.start();
    check();
}

bool ServerProcess::waitUntilSettled(int timeoutMs) {
    RESTOperation::waitUntil([this] { return m_status != Status::Starting; }, timeoutMs,
                             kWatchIntervalMs / 5);
    return isRunning();
}

void ServerProcess::setStatus(Status status, const QString& text) {
    if (status == m_status && text == m_text)
        return;
    m_status = status;
    m_text = text;
    if (!text.isEmpty())
        qInfo().noquote() << QStringLiteral("Server: %1").arg(text);
    Q_EMIT statusChanged();
}

void ServerProcess::check() {
    const Seen seen = look();
    if (seen.up) {
        m_launcherPid = seen.pid->launcher;
        m_serverPid = seen.pid->server;
        if (m_status != Status::Running) {
            m_attempt = 0;
            m_relaunch.stop();
            const bool back = m_everRunning;
            m_everRunning = true;
            setStatus(Status::Running, QString());
            if (back) {
                qInfo().noquote()
                    << QStringLiteral("Server: answering again (pid %1)").arg(m_serverPid);
                Q_EMIT serverBack();
            }
        }
        return;
    }
    const bool launcherAlive = processAlive(m_launcherPid);
    switch (m_status) {
    case Status::Running:
        setStatus(Status::Lost,
                  launcherAlive
                      ? QStringLiteral("The server has stopped. It is being started again…")
                      : QStringLiteral("The server and its launcher have stopped. The server is "
                                       "being started again…"));
        if (!launcherAlive)
            scheduleRelaunch();
        break;
    case Status::Starting:
        if (!launcherAlive) {
            const QString reason = lastServerError(m_dataFolder);
            setStatus(Status::Failed,
                      reason.isEmpty()
                          ? QStringLiteral("The server could not be started. The console tries "
                                           "again shortly.")
                          : QStringLiteral("The server could not be started: %1. The console "
                                           "tries again shortly.")
                                .arg(reason));
            scheduleRelaunch();
        }
        break;
    case Status::Lost:
    case Status::Failed:
    case Status::PortTaken:
        if (!launcherAlive && !m_relaunch.isActive())
            scheduleRelaunch();
        break;
    case Status::NotStarted:
        break;
    }
}

void ServerProcess::scheduleRelaunch() {
    m_relaunch.start(restartDelayMs(m_attempt++));
}

void ServerProcess::relaunch() {
    const Seen seen = look();
    if (seen.up) {
        check();
        return;
    }
    if (processAlive(m_launcherPid))
        return; // it restarts the server itself
    if (portInUse(m_port)) {
        // Our own server may still be on its way out after its launcher ended.
        if (seen.pid && processAlive(seen.pid->server)) {
            m_relaunch.start(kWatchIntervalMs);
            return;
        }
        setStatus(Status::PortTaken,
                  QStringLiteral("Another program answers on 127.0.0.1:%1, so the console cannot "
                                 "start its own server there. Quit that program; the console "
                                 "tries again shortly.")
                      .arg(m_port));
        scheduleRelaunch();
        return;
    }
    launch();
}

void ServerProcess::launch() {
    QDir().mkpath(m_dataFolder);
    QProcess process;
    process.setWorkingDirectory(m_home);
    process.setProgram(m_home + QStringLiteral("/bin/couchdb"));
    process.setArguments(QStringList{QStringLiteral("-i")} + m_extraArguments);
    // Nothing is ever read from the server: it writes its log itself. What
    // it says before it knows its data folder goes to the same file.
    process.setStandardInputFile(QProcess::nullDevice());
    process.setStandardOutputFile(QProcess::nullDevice());
    process.setStandardErrorFile(m_dataFolder + QLatin1Char('/') + kLogFile, QIODevice::Append);
    qint64 pid = 0;
    if (!process.startDetached(&pid)) {
        setStatus(Status::Failed,
                  QStringLiteral("The server could not be started: %1. The console tries again "
                                 "shortly.")
                      .arg(process.errorString()));
        scheduleRelaunch();
        return;
    }
    m_launcherPid = pid;
    m_serverPid = 0;
    // A server being started again keeps the line that says it was lost.
    setStatus(Status::Starting, m_status == Status::Lost ? m_text : QString());
    qInfo().noquote() << QStringLiteral("Launched the server (launcher pid %1)").arg(pid);
}

bool ServerProcess::stop(int timeoutMs) {
    m_watch.stop();
    m_relaunch.stop();
    const std::optional<ServerPidFile> pid = readServerPidFile(m_dataFolder);
    const qint64 launcher = pid && pid->launcher > 0 ? pid->launcher : m_launcherPid;
    if (launcher > 0)
        ::kill(static_cast<pid_t>(launcher), SIGTERM);
    const bool ended = RESTOperation::waitUntil(
        [&] {
            return !processAlive(launcher) && !(pid && processAlive(pid->server)) &&
                   !portInUse(m_port);
        },
        timeoutMs);
    if (!ended)
        kill();
    setStatus(Status::NotStarted, QString());
    m_adopted = false;
    return !portInUse(m_port);
}

void ServerProcess::kill() {
    m_watch.stop();
    m_relaunch.stop();
    const std::optional<ServerPidFile> pid = readServerPidFile(m_dataFolder);
    for (qint64 p : {m_launcherPid, pid ? pid->launcher : 0, pid ? pid->server : 0}) {
        if (p > 0)
            ::kill(static_cast<pid_t>(p), SIGKILL);
    }
    RESTOperation::waitUntil(
        [&] {
            return !processAlive(m_launcherPid) && !(pid && processAlive(pid->server)) &&
                   !portInUse(m_port);
        },
        10000);
    QFile::remove(m_dataFolder + QLatin1Char('/') + kPidFile);
    setStatus(Status::NotStarted, QString());
}

} // namespace trevok
