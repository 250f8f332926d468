#include "tests/harness/AvahiSandbox.h"

#include "server/DnsSdAnnouncer.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLocalSocket>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTest>
#include <QThread>

#include <csignal>
#include <unistd.h>

namespace trevok::test {

namespace {

const QString kSystemBusSocket = QStringLiteral("/run/dbus/system_bus_socket");
const QString kAvahiPidFile = QStringLiteral("/run/avahi-daemon/pid");
constexpr int kCommandTimeoutMs = 15000;
constexpr int kAnnounceTimeoutMs = AvahiSandbox::kAnnounceTimeoutMs;

struct Run {
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
};

Run run(const QString& program, const QStringList& args, int timeoutMs = kCommandTimeoutMs) {
    QProcess p;
    p.start(program, args);
    Run r;
    if (!p.waitForStarted(5000))
        return r;
    if (!p.waitForFinished(timeoutMs)) {
        p.kill();
        p.waitForFinished(2000);
        return r;
    }
    r.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    r.out = p.readAllStandardOutput();
    r.err = p.readAllStandardError();
    return r;
}

bool systemBusAnswers() {
    QLocalSocket socket;
    socket.connectToServer(kSystemBusSocket);
    return socket.waitForConnected(1000);
}

bool processAlive(pid_t pid) {
    return pid > 0 && ::kill(pid, 0) == 0;
}

pid_t readPid(const QString& file) {
    QFile f(file);
    if (!f.open(QIODevice::ReadOnly))
        return 0;
    return pid_t(f.readAll().trimmed().toLongLong());
}

// avahi-browse -p escapes a name's bytes as "\DDD" (decimal) or "\c".
QString unescapeBrowseName(const QByteArray& escaped) {
    QByteArray bytes;
    for (qsizetype i = 0; i < escaped.size(); ++i) {
        if (escaped[i] == '\\' && i + 3 < escaped.size() && std::isdigit(uchar(escaped[i + 1])) &&
            std::isdigit(uchar(escaped[i + 2])) && std::isdigit(uchar(escaped[i + 3]))) {
            bytes += char(escaped.mid(i + 1, 3).toInt());
            i += 3;
        } else if (escaped[i] == '\\' && i + 1 < escaped.size()) {
            bytes += escaped[++i];
        } else {
            bytes += escaped[i];
        }
    }
    return QString::fromUtf8(bytes);
}

} // namespace

QList<Resolved> AvahiSandbox::browse(const QString& serviceType) {
    const Run r = run(QStringLiteral("avahi-browse"),
                      {QStringLiteral("-rtp"), DnsSdAnnouncer::avahiServiceType(serviceType)});
    QList<Resolved> found;
    static const QRegularExpression quoted(QStringLiteral("\"([^\"]*)\""));
    for (const QByteArray& line : r.out.split('\n')) {
        const QList<QByteArray> f = line.split(';');
        if (f.size() < 10 || f[0] != "=")
            continue;
        Resolved item;
        item.name = unescapeBrowseName(f[3]);
        item.type = QString::fromUtf8(f[4]);
        item.port = quint16(f[8].toUInt());
        const QString txt = QString::fromUtf8(f.mid(9).join(';'));
        for (auto it = quoted.globalMatch(txt); it.hasNext();)
            item.txt.insert(it.next().captured(1));
        found.append(item);
    }
    return found;
}

std::optional<Resolved> AvahiSandbox::browseUntil(const QString& serviceType, const QString& name,
                                                  const std::function<bool(const Resolved&)>& ok) {
    QElapsedTimer clock;
    clock.start();
    std::optional<Resolved> last;
    while (clock.elapsed() < kAnnounceTimeoutMs) {
        for (const Resolved& item : browse(serviceType)) {
            if (item.name != name)
                continue;
            last = item;
            if (ok(item))
                return item;
        }
        QTest::qWait(300);
    }
    return last;
}

bool AvahiSandbox::ip(const QStringList& args) {
    const Run r = run(QStringLiteral("ip"), args);
    if (r.exitCode != 0)
        m_ready = QStringLiteral("ip %1 failed: %2")
                      .arg(args.join(QLatin1Char(' ')), QString::fromLocal8Bit(r.err).trimmed());
    return r.exitCode == 0;
}

bool AvahiSandbox::startAvahi() {
    QFile::remove(kAvahiPidFile); // a stale one makes the daemon refuse to start
    run(QStringLiteral("ip"), {QStringLiteral("netns"), QStringLiteral("exec"), m_namespace,
                               QStringLiteral("avahi-daemon"), QStringLiteral("--no-drop-root"),
                               QStringLiteral("--no-chroot"), QStringLiteral("-D")});
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < 10000) {
        m_avahiPid = readPid(kAvahiPidFile);
        if (processAlive(m_avahiPid))
            return true;
        QThread::msleep(100);
    }
    m_avahiPid = 0;
    return false;
}

void AvahiSandbox::stopAvahi() {
    if (!processAlive(m_avahiPid))
        return;
    ::kill(m_avahiPid, SIGTERM);
    QElapsedTimer clock;
    clock.start();
    while (processAlive(m_avahiPid) && clock.elapsed() < 5000)
        QThread::msleep(50);
    if (processAlive(m_avahiPid))
        ::kill(m_avahiPid, SIGKILL);
    m_avahiPid = 0;
}

void AvahiSandbox::tearDown() {
    stopAvahi();
    if (!m_namespace.isEmpty())
        run(QStringLiteral("ip"), {QStringLiteral("netns"), QStringLiteral("del"), m_namespace});
    m_namespace.clear();
    if (processAlive(m_busPid)) {
        ::kill(m_busPid, SIGTERM);
        QElapsedTimer clock;
        clock.start();
        while (processAlive(m_busPid) && clock.elapsed() < 5000)
            QThread::msleep(50);
        // The bus leaves its pid file and socket behind; a later start
        // would take the stale pid file for a running bus.
        if (!processAlive(m_busPid)) {
            QFile::remove(QStringLiteral("/run/dbus/pid"));
            QFile::remove(kSystemBusSocket);
        }
    }
    m_busPid = 0;
}

QString AvahiSandbox::setUp() {
    m_ready.clear();
    if (geteuid() != 0) {
        m_ready = QStringLiteral("needs root to make a network namespace for avahi-daemon");
        return m_ready;
    }
    for (const char* tool : {"ip", "avahi-daemon", "avahi-browse", "dbus-daemon"}) {
        const QString name = QString::fromLatin1(tool);
        if (QStandardPaths::findExecutable(name).isEmpty() &&
            QStandardPaths::findExecutable(name,
                                           {QStringLiteral("/usr/sbin"), QStringLiteral("/sbin")})
                .isEmpty()) {
            m_ready = QStringLiteral("%1 is not installed").arg(name);
            return m_ready;
        }
    }
    if (processAlive(readPid(kAvahiPidFile))) {
        m_ready = QStringLiteral("an avahi-daemon already runs on this machine; the test "
                                 "announces only on a daemon of its own");
        return m_ready;
    }
    if (!systemBusAnswers()) {
        QDir().mkpath(QStringLiteral("/run/dbus"));
        QFile::remove(QStringLiteral("/run/dbus/pid"));
        const Run bus = run(
            QStringLiteral("dbus-daemon"),
            {QStringLiteral("--system"), QStringLiteral("--fork"), QStringLiteral("--print-pid")});
        m_busPid = pid_t(bus.out.trimmed().split('\n').value(0).toLongLong());
        QElapsedTimer clock;
        clock.start();
        while (!systemBusAnswers() && clock.elapsed() < 5000)
            QThread::msleep(50);
        if (!systemBusAnswers()) {
            m_ready = QStringLiteral("cannot start a system D-Bus: %1")
                          .arg(QString::fromLocal8Bit(bus.err).trimmed());
            return m_ready;
        }
    }
    m_namespace = QStringLiteral("trevok-dnssd-%1").arg(getpid());
    const QStringList exec = {QStringLiteral("netns"), QStringLiteral("exec"), m_namespace,
                              QStringLiteral("ip")};
    if (!ip({QStringLiteral("netns"), QStringLiteral("add"), m_namespace})) {
        m_namespace.clear();
        return m_ready;
    }
    if (!ip(exec + QStringList{QStringLiteral("link"), QStringLiteral("set"), QStringLiteral("lo"),
                               QStringLiteral("up")}) ||
        !ip(exec + QStringList{QStringLiteral("link"), QStringLiteral("add"), QStringLiteral("va"),
                               QStringLiteral("type"), QStringLiteral("veth"),
                               QStringLiteral("peer"), QStringLiteral("name"),
                               QStringLiteral("vb")}) ||
        !ip(exec + QStringList{QStringLiteral("link"), QStringLiteral("set"), QStringLiteral("va"),
                               QStringLiteral("up")}) ||
        !ip(exec + QStringList{QStringLiteral("link"), QStringLiteral("set"), QStringLiteral("vb"),
                               QStringLiteral("up")}) ||
        !ip(exec + QStringList{QStringLiteral("addr"), QStringLiteral("add"),
                               QStringLiteral("192.0.2.1/24"), QStringLiteral("dev"),
                               QStringLiteral("va")}))
        return m_ready;
    if (!startAvahi())
        m_ready = QStringLiteral("avahi-daemon did not start in the namespace");
    return m_ready;
}

} // namespace trevok::test
