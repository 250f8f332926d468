#include "tests/harness/ConsoleProcess.h"

#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcessEnvironment>
#include <QThread>

#include <csignal>
#include <sys/prctl.h>

namespace trevok::test {

ConsoleProcess::ConsoleProcess(const QString& binary, const QString& home, const QString& resources,
                               bool quiet) {
    m_socket = home + QStringLiteral("/control-%1").arg(++s_count);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), home + QStringLiteral("/config"));
    env.insert(QStringLiteral("XDG_DATA_HOME"), home + QStringLiteral("/data"));
    // One console per person: the caller is a person of its own.
    const QString runtime = home + QStringLiteral("/runtime");
    QDir().mkpath(runtime);
    QFile::setPermissions(runtime,
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime);
    env.insert(QStringLiteral("TREVOK_RESOURCES"), resources);
    env.insert(QStringLiteral("TREVOK_TEST_CONTROL"), m_socket);
    m_process.setProcessEnvironment(env);
    // A suite that aborts (its watchdog, a crash) runs no destructor: the
    // console must not outlive it, holding the test runner's output open.
    m_process.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
    if (quiet) {
        m_process.setStandardOutputFile(QProcess::nullDevice());
        m_process.setStandardErrorFile(QProcess::nullDevice());
    } else {
        m_process.setProcessChannelMode(QProcess::ForwardedChannels);
    }
    m_process.start(binary, {});
}

ConsoleProcess::~ConsoleProcess() {
    if (m_process.state() != QProcess::NotRunning) {
        m_process.kill();
        m_process.waitForFinished(5000);
    }
}

bool ConsoleProcess::connect() {
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < 20000) {
        m_channel.connectToServer(m_socket);
        if (m_channel.waitForConnected(500))
            return true;
        QThread::msleep(100);
    }
    return false;
}

QJsonObject ConsoleProcess::command(const QString& line, int timeoutMs) {
    m_channel.write(line.toUtf8() + '\n');
    m_channel.flush();
    QElapsedTimer clock;
    clock.start();
    while (!m_channel.canReadLine() && clock.elapsed() < timeoutMs) {
        if (!m_channel.waitForReadyRead(200) && m_channel.state() != QLocalSocket::ConnectedState)
            break;
    }
    if (!m_channel.canReadLine())
        return {};
    return QJsonDocument::fromJson(m_channel.readLine()).object();
}

bool ConsoleProcess::waitFor(const std::function<bool(const QJsonObject&)>& test, int timeoutMs) {
    QElapsedTimer clock;
    clock.start();
    do {
        if (test(state()))
            return true;
        QThread::msleep(100);
    } while (clock.elapsed() < timeoutMs);
    return false;
}

bool ConsoleProcess::lists(const char* key, const QString& value, int timeoutMs) {
    return waitFor(
        [&](const QJsonObject& s) { return s.value(QLatin1String(key)).toArray().contains(value); },
        timeoutMs);
}

bool ConsoleProcess::up() {
    return connect() && waitFor(
                            [](const QJsonObject& s) {
                                return s.value(QStringLiteral("serverPid")).toInteger() > 0;
                            },
                            30000);
}

bool copyResources(const QString& from, const QString& to) {
    QDirIterator it(from, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QString rel = QDir(from).relativeFilePath(path);
        if (rel.startsWith(QLatin1String("server-core/node_modules")))
            continue;
        if (it.fileInfo().isDir() && !it.fileInfo().isSymLink())
            QDir().mkpath(to + QLatin1Char('/') + rel);
        else if (!QFile::copy(path, to + QLatin1Char('/') + rel))
            return false;
    }
    return QFile::link(
        QFileInfo(from + QStringLiteral("/server-core/node_modules")).canonicalFilePath(),
        to + QStringLiteral("/server-core/node_modules"));
}

QString consoleDataFolder(const QString& home) {
    return home + QStringLiteral("/data/com.trevokapp.TrevokServer");
}

} // namespace trevok::test
