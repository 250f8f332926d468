// The announcement checked for real: an avahi-daemon of the test's own runs
// inside a network namespace with a veth pair, so that no multicast leaves
// the machine; the test's Avahi client reaches it over the system bus, and
// avahi-browse reads the announcement back.
#include "server/DnsSdAnnouncer.h"
#include "server/SyncListener.h"
#include "server/TxtRecord.h"
#include "tests/harness/AvahiSandbox.h"

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
using namespace trevok::test;

namespace {
const QString kServiceType = QStringLiteral("_trevok-sync._tcp.");
constexpr int kAnnounceTimeoutMs = AvahiSandbox::kAnnounceTimeoutMs;

std::optional<Resolved> browseUntil(const QString& name,
                                    const std::function<bool(const Resolved&)>& ok) {
    return AvahiSandbox::browseUntil(kServiceType, name, ok);
}
} // namespace

class TestDnsSdAnnounce : public QObject {
    Q_OBJECT

    AvahiSandbox m_sandbox;

private Q_SLOTS:
    void initTestCase() {
        const QString why = m_sandbox.setUp();
        if (!why.isEmpty()) {
            m_sandbox.tearDown();
            QSKIP(qPrintable(why));
        }
    }

    void cleanupTestCase() { m_sandbox.tearDown(); }

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

        m_sandbox.stopAvahi();
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

        QVERIFY(m_sandbox.startAvahi());
        QTRY_COMPARE_WITH_TIMEOUT(announcer.registeredName(), name, kAnnounceTimeoutMs);
        QTRY_COMPARE_WITH_TIMEOUT(waiting.registeredName(), late, kAnnounceTimeoutMs);
        QVERIFY(browseUntil(name, [](const Resolved& r) { return r.port == 4100; }));
        QVERIFY(browseUntil(late, [](const Resolved& r) { return r.port == 4200; }));
    }
};

QTEST_GUILESS_MAIN(TestDnsSdAnnounce)
#include "tst_dnssd_announce.moc"
