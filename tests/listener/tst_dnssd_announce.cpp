// The announcement checked for real: an avahi-daemon of the test's own runs
// inside a network namespace with a veth pair, so that no multicast leaves
// the machine; the test's Avahi client reaches it over the system bus, and
// avahi-browse reads the announcement back.
#include "server/DnsSdAnnouncer.h"
#include "server/SyncListener.h"
#include "server/TxtRecord.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLocalSocket>
#include <QProcess>
#include <QRegularExpression>
#include <QSet>
#include <QStandardPaths>
#include <QTest>
#include <QThread>

#include <csignal>
#include <optional>
#include <sys/types.h>
#include <unistd.h>

using namespace trevok;

namespace {

const QString kSystemBusSocket = QStringLiteral("/run/dbus/system_bus_socket");
const QString kAvahiPidFile = QStringLiteral("/run/avahi-daemon/pid");
const QString kServiceType = QStringLiteral("_trevok-sync._tcp.");
constexpr int kCommandTimeoutMs = 15000;
constexpr int kAnnounceTimeoutMs = 15000;

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

struct Resolved {
    QString name;
    QString type;
    quint16 port = 0;
    QSet<QString> txt;
};

// The resolved ("=") lines of one browse.
QList<Resolved> browse() {
    const Run r = run(QStringLiteral("avahi-browse"),
                      {QStringLiteral("-rtp"), DnsSdAnnouncer::avahiServiceType(kServiceType)});
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

// Browses until a resolved entry of that name satisfies the check.
std::optional<Resolved> browseUntil(const QString& name,
                                    const std::function<bool(const Resolved&)>& ok) {
    QElapsedTimer clock;
    clock.start();
    std::optional<Resolved> last;
    while (clock.elapsed() < kAnnounceTimeoutMs) {
        for (const Resolved& item : browse()) {
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

} // namespace

class TestDnsSdAnnounce : public QObject {
    Q_OBJECT

    QString m_namespace;
    pid_t m_busPid = 0;   // the system bus we started, if we did
    pid_t m_avahiPid = 0; // our avahi-daemon
    QString m_ready;      // empty when the environment stands, else why not

    bool ip(const QStringList& args) {
        const Run r = run(QStringLiteral("ip"), args);
        if (r.exitCode != 0)
            m_ready =
                QStringLiteral("ip %1 failed: %2")
                    .arg(args.join(QLatin1Char(' ')), QString::fromLocal8Bit(r.err).trimmed());
        return r.exitCode == 0;
    }

    bool startAvahi() {
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

    void stopAvahi() {
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

    void tearDown() {
        stopAvahi();
        if (!m_namespace.isEmpty())
            run(QStringLiteral("ip"),
                {QStringLiteral("netns"), QStringLiteral("del"), m_namespace});
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

    void setUp() {
        if (geteuid() != 0) {
            m_ready = QStringLiteral("needs root to make a network namespace for avahi-daemon");
            return;
        }
        for (const char* tool : {"ip", "avahi-daemon", "avahi-browse", "dbus-daemon"}) {
            const QString name = QString::fromLatin1(tool);
            if (QStandardPaths::findExecutable(name).isEmpty() &&
                QStandardPaths::findExecutable(
                    name, {QStringLiteral("/usr/sbin"), QStringLiteral("/sbin")})
                    .isEmpty()) {
                m_ready = QStringLiteral("%1 is not installed").arg(name);
                return;
            }
        }
        if (processAlive(readPid(kAvahiPidFile))) {
            m_ready = QStringLiteral("an avahi-daemon already runs on this machine; the test "
                                     "announces only on a daemon of its own");
            return;
        }
        if (!systemBusAnswers()) {
            QDir().mkpath(QStringLiteral("/run/dbus"));
            QFile::remove(QStringLiteral("/run/dbus/pid"));
            const Run bus = run(QStringLiteral("dbus-daemon"),
                                {QStringLiteral("--system"), QStringLiteral("--fork"),
                                 QStringLiteral("--print-pid")});
            m_busPid = pid_t(bus.out.trimmed().split('\n').value(0).toLongLong());
            QElapsedTimer clock;
            clock.start();
            while (!systemBusAnswers() && clock.elapsed() < 5000)
                QThread::msleep(50);
            if (!systemBusAnswers()) {
                m_ready = QStringLiteral("cannot start a system D-Bus: %1")
                              .arg(QString::fromLocal8Bit(bus.err).trimmed());
                return;
            }
        }
        m_namespace = QStringLiteral("trevok-dnssd-%1").arg(getpid());
        const QStringList exec = {QStringLiteral("netns"), QStringLiteral("exec"), m_namespace,
                                  QStringLiteral("ip")};
        if (!ip({QStringLiteral("netns"), QStringLiteral("add"), m_namespace})) {
            m_namespace.clear();
            return;
        }
        if (!ip(exec + QStringList{QStringLiteral("link"), QStringLiteral("set"),
                                   QStringLiteral("lo"), QStringLiteral("up")}) ||
            !ip(exec + QStringList{QStringLiteral("link"), QStringLiteral("add"),
                                   QStringLiteral("va"), QStringLiteral("type"),
                                   QStringLiteral("veth"), QStringLiteral("peer"),
                                   QStringLiteral("name"), QStringLiteral("vb")}) ||
            !ip(exec + QStringList{QStringLiteral("link"), QStringLiteral("set"),
                                   QStringLiteral("va"), QStringLiteral("up")}) ||
            !ip(exec + QStringList{QStringLiteral("link"), QStringLiteral("set"),
                                   QStringLiteral("vb"), QStringLiteral("up")}) ||
            !ip(exec + QStringList{QStringLiteral("addr"), QStringLiteral("add"),
                                   QStringLiteral("192.0.2.1/24"), QStringLiteral("dev"),
                                   QStringLiteral("va")}))
            return;
        if (!startAvahi())
            m_ready = QStringLiteral("avahi-daemon did not start in the namespace");
    }

private Q_SLOTS:
    void initTestCase() {
        setUp();
        if (!m_ready.isEmpty()) {
            tearDown();
            QSKIP(qPrintable(m_ready));
        }
    }

    void cleanupTestCase() { tearDown(); }

    void listenerIsAnnouncedWithItsTxtRecord() {
        const QString name = QStringLiteral(u"Jürgen Groß @ Büro %1").arg(getpid());
        SyncListener listener(nullptr, QStringLiteral("127.0.0.1"), 5984);
        // As start-up does it: name and type, start, then the record with the port.
        listener.setServiceName(name, kServiceType);
        QVERIFY(listener.start());
        TxtRecordDictionary record = txtRecordDictionary(QStringLiteral("0A:1B:2C:3D:4E:5F"));
        setTxtRecordPort(record, listener.port());
        listener.setTXTRecordDictionary(record);
        QTRY_COMPARE_WITH_TIMEOUT(listener.announcer()->registeredName(), name, kAnnounceTimeoutMs);

        const QSet<QString> expected = {QStringLiteral("Edition=Server"),
                                        QStringLiteral("Version=1.0"),
                                        QStringLiteral("Machine ID=0A:1B:2C:3D:4E:5F"),
                                        QStringLiteral("port=") + formatPort(listener.port())};
        const auto found = browseUntil(name, [&](const Resolved& r) { return r.txt == expected; });
        QVERIFY2(found, "avahi-browse did not find the service");
        QCOMPARE(found->type, QStringLiteral("_trevok-sync._tcp"));
        QCOMPARE(found->port, listener.port());
        QCOMPARE(found->txt, expected);
    }

    void takenNameGetsTheAlternative() {
        const QString name = QStringLiteral("Ann Smith @ studio %1").arg(getpid());
        DnsSdAnnouncer first;
        first.setService(name, kServiceType, 4001);
        first.setTxtRecord(txtRecordDictionary(QStringLiteral("00:00:00:00:00:01"), 4001));
        QVERIFY(first.start());
        QTRY_COMPARE_WITH_TIMEOUT(first.registeredName(), name, kAnnounceTimeoutMs);

        const QString alternative = name + QStringLiteral(" #2");
        QTest::ignoreMessage(QtWarningMsg,
                             qPrintable(QStringLiteral("DNS-SD: the service name \"%1\" is taken; "
                                                       "announcing as \"%2\"")
                                            .arg(name, alternative)));
        DnsSdAnnouncer second;
        second.setService(name, kServiceType, 4002);
        second.setTxtRecord(txtRecordDictionary(QStringLiteral("00:00:00:00:00:02"), 4002));
        QVERIFY(second.start());
        QTRY_COMPARE_WITH_TIMEOUT(second.registeredName(), alternative, kAnnounceTimeoutMs);
        const auto found =
            browseUntil(alternative, [](const Resolved& r) { return r.port == 4002; });
        QVERIFY2(found, "the alternative name is not browsable");
        QCOMPARE(found->port, quint16(4002));
    }

    void announcedAgainWhenTheDaemonReturns() {
        const QString name = QStringLiteral("Restart @ host %1").arg(getpid());
        DnsSdAnnouncer announcer;
        announcer.setService(name, kServiceType, 4100);
        announcer.setTxtRecord(txtRecordDictionary(QStringLiteral("00:00:00:00:00:03"), 4100));
        QVERIFY(announcer.start());
        QTRY_COMPARE_WITH_TIMEOUT(announcer.registeredName(), name, kAnnounceTimeoutMs);

        stopAvahi();
        QTRY_VERIFY_WITH_TIMEOUT(announcer.registeredName().isEmpty(), 10000);

        // Started while no daemon runs: one line, and the console goes on.
        const QString late = QStringLiteral("Late @ host %1").arg(getpid());
        QTest::ignoreMessage(QtWarningMsg,
                             "DNS-SD: avahi-daemon is not running; the sync listener will be "
                             "announced once avahi-daemon runs");
        DnsSdAnnouncer waiting;
        waiting.setService(late, kServiceType, 4200);
        QVERIFY(waiting.start());
        QTest::qWait(500);
        QVERIFY(waiting.registeredName().isEmpty());

        QVERIFY(startAvahi());
        QTRY_COMPARE_WITH_TIMEOUT(announcer.registeredName(), name, kAnnounceTimeoutMs);
        QTRY_COMPARE_WITH_TIMEOUT(waiting.registeredName(), late, kAnnounceTimeoutMs);
        QVERIFY(browseUntil(name, [](const Resolved& r) { return r.port == 4100; }));
        QVERIFY(browseUntil(late, [](const Resolved& r) { return r.port == 4200; }));
    }
};

QTEST_GUILESS_MAIN(TestDnsSdAnnounce)
#include "tst_dnssd_announce.moc"
