// Sync over the network without giving passwords away: a real sync client
// through the TLS listener, trusting exactly the certificate announced over
// DNS-SD; the traffic on the wire, captured in the suite's own network
// namespace; plain HTTP turned off and on from the information tab; and a
// broken certificate at start.
#include "services/ShownText.h"
#include "tests/e2e/E2eScenario.h"

#include "chrome/UserDefaults.h"
#include "server/DnsSdAnnouncer.h"
#include "server/ListenerCertificate.h"
#include "server/SyncListener.h"

#include <QCheckBox>
#include <QFile>
#include <QLabel>
#include <QProcess>
#include <QRegularExpression>
#include <QSslSocket>
#include <QStandardPaths>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

using namespace trevok;
using namespace trevok::test;

namespace {

const QString kPlainType = QStringLiteral("_trevok-sync._tcp.");
const QString kTlsType = QStringLiteral("_trevok-syncs._tcp.");
const QString kUser = QStringLiteral("tina");

QJsonObject note(const QString& id) {
    return {{QStringLiteral("_id"), id}, {QStringLiteral("text"), QStringLiteral("private")}};
}

// The first bytes a port answers to a plain-HTTP request; empty when it
// refuses the connection or closes it without a word.
QByteArray plainAnswer(quint16 port) {
    QTcpSocket socket;
    socket.connectToHost(QStringLiteral("127.0.0.1"), port);
    if (!socket.waitForConnected(3000))
        return {};
    socket.write("GET / HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
    QByteArray answer;
    while (socket.waitForReadyRead(3000))
        answer += socket.readAll();
    return answer;
}

bool refusesConnections(quint16 port) {
    QTcpSocket socket;
    socket.connectToHost(QStringLiteral("127.0.0.1"), port);
    return !socket.waitForConnected(3000) &&
           socket.error() == QAbstractSocket::ConnectionRefusedError;
}

// Whether the port completes a TLS handshake and answers HTTP inside it.
bool answersOverTls(quint16 port) {
    QSslSocket socket;
    socket.setPeerVerifyMode(QSslSocket::VerifyNone);
    socket.connectToHostEncrypted(QStringLiteral("127.0.0.1"), port);
    if (!socket.waitForEncrypted(5000))
        return false;
    socket.write("GET / HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
    QByteArray answer;
    while (socket.waitForReadyRead(3000))
        answer += socket.readAll();
    return answer.startsWith("HTTP/1.1 ");
}

bool announced(const QString& type, const QString& name) {
    for (const Resolved& r : AvahiSandbox::browse(type))
        if (r.name == name)
            return true;
    return false;
}

// Everything that crosses one TCP port of the loopback interface, as anyone
// on the path would see it.
class Capture {
public:
    explicit Capture(quint16 port) {
        m_process.setProcessChannelMode(QProcess::MergedChannels);
        m_process.start(QStringLiteral("tcpdump"),
                        {QStringLiteral("-i"), QStringLiteral("lo"), QStringLiteral("-U"),
                         QStringLiteral("--immediate-mode"), QStringLiteral("-s"),
                         QStringLiteral("0"),
                         // It writes into the test's own folder, not as a user of its own.
                         QStringLiteral("-Z"), QStringLiteral("root"), QStringLiteral("-w"), path(),
                         QStringLiteral("tcp port %1").arg(port)});
        m_ready = m_process.waitForStarted(5000) &&
                  QTest::qWaitFor(
                      [this] { return m_log.append(m_process.readAll()).contains("listening on"); },
                      10000);
    }
    ~Capture() { stop(); }
    bool isReady() const { return m_ready; }
    QByteArray log() { return m_log.append(m_process.readAll()); }
    QByteArray stop() {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.terminate();
            m_process.waitForFinished(5000);
        }
        QFile file(path());
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

private:
    QString path() const { return m_dir.filePath(QStringLiteral("sync.pcap")); }
    QTemporaryDir m_dir;
    QProcess m_process;
    QByteArray m_log;
    bool m_ready = false;
};

} // namespace

class TestTlsSync : public QObject {
    Q_OBJECT

    TestServer m_server;
    std::unique_ptr<E2eConsole> m_web;
    QString m_announcedPin;
    quint16 m_announcedTlsPort = 0;
    int m_docs = 0;

    SyncListener* listener() { return m_web->app().listener(); }
    QString nextId() { return QStringLiteral("note-%1").arg(++m_docs); }
    QString tlsUrl() const {
        return QStringLiteral("https://127.0.0.1:%1").arg(m_announcedTlsPort);
    }

private Q_SLOTS:
    void initTestCase() {
        if (QStandardPaths::findExecutable(QStringLiteral("tcpdump")).isEmpty())
            QSKIP("tcpdump is not installed");
        QVERIFY(m_server.start());
        // A first start: the console makes its certificate.
        QFile::remove(listenerCertificatePaths().certificate);
        QFile::remove(listenerCertificatePaths().key);
        m_web = std::make_unique<E2eConsole>();
        QVERIFY(m_web->startAndLogIn());
        if (!m_web->sandboxProblem().isEmpty())
            QSKIP(qPrintable(m_web->sandboxProblem()));
        QVERIFY(m_web->addUser(kUser, password(kUser)));
        QVERIFY(listener()->tlsPort() != 0);
    }

    void cleanupTestCase() { m_web.reset(); }

    void tlsServiceIsAnnouncedWithItsFingerprint() {
        const auto found = AvahiSandbox::browseUntil(kTlsType, m_web->app().serviceName(),
                                                     [](const Resolved& r) { return r.port != 0; });
        QVERIFY2(found, "the TLS service is not announced");
        m_announcedTlsPort = found->port;
        for (const QString& entry : found->txt)
            if (entry.startsWith(QStringLiteral("Fingerprint=")))
                m_announcedPin = entry.mid(int(qstrlen("Fingerprint=")));
        QCOMPARE(m_announcedTlsPort, listener()->tlsPort());
        const QMap<QString, QString>& plain = m_web->app().txtRecord();
        QCOMPARE(found->txt,
                 (QSet<QString>{QStringLiteral("Edition=Server"), QStringLiteral("Version=1.0"),
                                QStringLiteral("Machine ID=") +
                                    plain.value(QStringLiteral("Machine ID")),
                                QStringLiteral("port=%1").arg(m_announcedTlsPort),
                                QStringLiteral("Fingerprint=") + m_announcedPin}));
        // What the administrator compares with what a client shows.
        QCOMPARE(m_web->app().listenerFingerprintLabel()->text(), m_announcedPin);
        QCOMPARE(m_announcedPin.size(), 32 * 3 - 1);
    }

    void clientTrustsOnlyThePinnedCertificate_data() {
        QTest::addColumn<bool>("rightPin");
        QTest::newRow("the announced pin") << true;
        QTest::newRow("another pin") << false;
    }
    void clientTrustsOnlyThePinnedCertificate() {
        QFETCH(bool, rightPin);
        QVERIFY(!m_announcedPin.isEmpty());
        QString pin = m_announcedPin;
        pin.replace(0, 2,
                    pin.startsWith(QStringLiteral("00")) ? QStringLiteral("11")
                                                         : QStringLiteral("00"));
        SyncClient client(tlsUrl(), kUser, password(kUser),
                          {QStringLiteral("--pin"), rightPin ? m_announcedPin : pin});
        QVERIFY(client.isReady());
        QCOMPARE(client.readyEvent().value(QStringLiteral("pinned")).toBool(), rightPin);
        const QString id = nextId();
        QVERIFY(client.put(note(id)).value(QStringLiteral("ok")).toBool());
        if (rightPin) {
            QVERIFY(waitForDocument(userDB(kUser), id));
            return;
        }
        QTest::qWait(kQuietMs);
        QVERIFY(!documentIn(userDB(kUser), id));
    }

    void noCredentialCrossesTheNetworkReadable_data() {
        QTest::addColumn<bool>("encrypted");
        QTest::newRow("plain listener, as the test sees it") << false;
        QTest::newRow("TLS listener") << true;
    }
    void noCredentialCrossesTheNetworkReadable() {
        QFETCH(bool, encrypted);
        QVERIFY(!m_announcedPin.isEmpty());
        const quint16 port = encrypted ? m_announcedTlsPort : listener()->port();
        Capture capture(port);
        QVERIFY(capture.isReady());
        QByteArray cookie;
        {
            QStringList options{QStringLiteral("--session")};
            if (encrypted)
                options << QStringLiteral("--pin") << m_announcedPin;
            SyncClient client(encrypted ? tlsUrl()
                                        : QStringLiteral("http://127.0.0.1:%1").arg(port),
                              kUser, password(kUser), options);
            QVERIFY(client.isReady());
            cookie = client.readyEvent().value(QStringLiteral("cookie")).toString().toUtf8();
            QVERIFY2(cookie.startsWith("AuthSession=") && cookie.size() > 20, cookie.constData());
            const QString id = nextId();
            QVERIFY(client.put(note(id)).value(QStringLiteral("ok")).toBool());
            QVERIFY(waitForDocument(userDB(kUser), id));
        }
        const QByteArray wire = capture.stop();
        QVERIFY2(wire.size() > 1000, capture.log().constData());
        const QByteArray session = cookie.mid(int(qstrlen("AuthSession=")));
        QCOMPARE(wire.contains(password(kUser).toUtf8()), !encrypted);
        QCOMPARE(wire.contains(session), !encrypted);
    }

    void theTlsPortAnswersNoPlainRequest() {
        const QByteArray answer = plainAnswer(listener()->tlsPort());
        QVERIFY2(!answer.contains("HTTP/"), answer.constData());
        QVERIFY(plainAnswer(listener()->port()).startsWith("HTTP/1.1 "));
    }

    void unencryptedSyncCanBeTurnedOffAndOn() {
        const QString name = m_web->app().serviceName();
        const quint16 plainPort = listener()->port();
        QCheckBox* allowPlain = m_web->app().allowPlainSyncCheckbox();
        QVERIFY(allowPlain && allowPlain->isChecked());
        QCOMPARE(allowPlain->accessibleDescription(), QStringLiteral("allowPlainSyncCheckbox"));
        QVERIFY(announced(kPlainType, name));

        allowPlain->click();
        QCOMPARE(pxUserDefaults().value(QStringLiteral("SyncListener/AllowPlain")).toBool(), false);
        QVERIFY(refusesConnections(plainPort));
        QVERIFY(listener()->announcer()->registeredName().isEmpty());
        // The daemon hears its own announcements back on the sandbox's link
        // and forgets them at their goodbye.
        QTRY_VERIFY_WITH_TIMEOUT(!announced(kPlainType, name), 30000);
        QVERIFY(answersOverTls(listener()->tlsPort()));
        QVERIFY(announced(kTlsType, name));

        allowPlain->click();
        QCOMPARE(pxUserDefaults().value(QStringLiteral("SyncListener/AllowPlain")).toBool(), true);
        QCOMPARE(listener()->port(), plainPort);
        QVERIFY(plainAnswer(plainPort).startsWith("HTTP/1.1 "));
        const auto back = AvahiSandbox::browseUntil(
            kPlainType, name, [&](const Resolved& r) { return r.port == plainPort; });
        QVERIFY(back);
        QVERIFY(back->txt.contains(QStringLiteral("port=%1").arg(plainPort)));
    }

    void brokenCertificateIsToldAndPlainSyncGoesOn() {
        m_web.reset();
        const ListenerCertificatePaths paths = listenerCertificatePaths();
        QFile certificate(paths.certificate);
        QVERIFY(certificate.open(QIODevice::WriteOnly | QIODevice::Truncate));
        certificate.write("-----BEGIN CERTIFICATE-----\nbroken\n-----END CERTIFICATE-----\n");
        certificate.close();

        m_web = std::make_unique<E2eConsole>();
        QTest::ignoreMessage(QtWarningMsg,
                             QRegularExpression(QStringLiteral("^Error: Encrypted sync is off")));
        QVERIFY(m_web->startAndLogIn());
        QTRY_VERIFY(listener()->isRunning());
        QCOMPARE(listener()->tlsPort(), quint16(0));
        QVERIFY(plainAnswer(listener()->port()).startsWith("HTTP/1.1 "));
        QVERIFY2(
            trevok::fullLabelText(m_web->app().serverStatusLine())
                .contains(QStringLiteral("Encrypted sync is off: The certificate file holds no PEM "
                                         "certificate.")),
            qPrintable(trevok::fullLabelText(m_web->app().serverStatusLine())));
        QVERIFY(m_web->app().listenerFingerprintLabel()->text().contains(
            QStringLiteral("encrypted sync is off")));
        // The administrator's file is his to mend: left as it was.
        QVERIFY(certificate.open(QIODevice::ReadOnly));
        QVERIFY(certificate.readAll().contains("broken"));
    }
};

QTEST_MAIN(TestTlsSync)
#include "tst_tls_sync.moc"
