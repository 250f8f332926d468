#include "server/ListenerCertificate.h"
#include "server/SyncListener.h"
#include "tests/harness/TestServer.h"

#include <QFile>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

using trevok::test::TestServer;

namespace {

struct Reply {
    int status = 0;
    QByteArray body;
    QJsonObject json() const { return QJsonDocument::fromJson(body).object(); }
};

// The TLS front of the bundled server (tls_front.js) with a certificate of
// its own, and what it has passed on.
class TlsFront {
public:
    bool start(const QString& keyFile, const QString& certificateFile) {
        m_process.setProgram(QStringLiteral("node"));
        m_process.setArguments({QStringLiteral(TREVOK_TLS_FRONT), keyFile, certificateFile,
                                QString::number(TestServer::port())});
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_process.start();
        if (!m_process.waitForStarted(5000))
            return false;
        while (m_process.waitForReadyRead(10000)) {
            m_output += m_process.readAll();
            const qsizetype at = m_output.indexOf("port ");
            const qsizetype end = m_output.indexOf('\n', at);
            if (at >= 0 && end > at) {
                m_port = m_output.mid(at + 5, end - at - 5).toUShort();
                m_output.remove(0, end + 1);
                return m_port != 0;
            }
        }
        return false;
    }
    ~TlsFront() {
        m_process.terminate();
        if (!m_process.waitForFinished(5000))
            m_process.kill();
        m_process.waitForFinished(5000);
    }
    quint16 port() const { return m_port; }
    // The lines "forwarded METHOD URL host=HOST" since the last call.
    QList<QByteArray> takeForwarded() {
        m_output += m_process.readAll();
        QList<QByteArray> lines = m_output.split('\n');
        m_output = lines.takeLast();
        return lines;
    }

private:
    QProcess m_process;
    QByteArray m_output;
    quint16 m_port = 0;
};

QByteArray basic(const QString& user, const QString& password) {
    return "Basic " + (user + QLatin1Char(':') + password).toUtf8().toBase64();
}

} // namespace

class TestTlsUpstream : public QObject {
    Q_OBJECT

    TestServer m_server;
    QTemporaryDir m_dir;
    // A front whose certificate is for "localhost", and one whose is for
    // another name; the trust file holds both certificates.
    std::unique_ptr<TlsFront> m_ownName;
    std::unique_ptr<TlsFront> m_otherName;
    QString m_trustFile;
    std::unique_ptr<trevok::SyncListener> m_listener;
    QNetworkAccessManager m_manager;

    QString writeFile(const QString& name, const QByteArray& contents) {
        const QString path = m_dir.filePath(name);
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly) || file.write(contents) != contents.size())
            return {};
        return path;
    }

    std::unique_ptr<TlsFront> startFront(const QString& name) {
        QString problem;
        const auto pair = trevok::makeSelfSignedCertificate(name, {name}, 1, &problem);
        if (!pair) {
            qWarning("%s", qUtf8Printable(problem));
            return nullptr;
        }
        auto front = std::make_unique<TlsFront>();
        const QString key = writeFile(name + QStringLiteral(".key"), pair->keyPem);
        const QString certificate = writeFile(name + QStringLiteral(".pem"), pair->certificatePem);
        QFile trust(m_trustFile);
        if (key.isEmpty() || certificate.isEmpty() || !trust.open(QIODevice::Append) ||
            trust.write(pair->certificatePem) != pair->certificatePem.size() ||
            !front->start(key, certificate))
            return nullptr;
        return front;
    }

    Reply send(const QByteArray& method, const QString& path, const QByteArray& body = {}) {
        QNetworkRequest req(
            QUrl(QStringLiteral("http://127.0.0.1:%1%2").arg(m_listener->port()).arg(path)));
        req.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/json"));
        req.setRawHeader("Authorization", basic(QStringLiteral("ann"), QStringLiteral("pw")));
        QNetworkReply* reply = m_manager.sendCustomRequest(req, method, body);
        QSignalSpy finished(reply, &QNetworkReply::finished);
        finished.wait(20000);
        Reply result;
        result.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        result.body = reply->readAll();
        reply->deleteLater();
        return result;
    }

private Q_SLOTS:
    void initTestCase() {
        if (QStandardPaths::findExecutable(QStringLiteral("node")).isEmpty())
            QSKIP("no node to run the TLS front with");
        QVERIFY(m_dir.isValid());
        m_trustFile = m_dir.filePath(QStringLiteral("trusted.pem"));
        QVERIFY(m_server.start());
        QVERIFY(TestServer::createSyncUser(QStringLiteral("ann")));
        m_ownName = startFront(QStringLiteral("localhost"));
        QVERIFY(m_ownName);
        m_otherName = startFront(QStringLiteral("elsewhere.example"));
        QVERIFY(m_otherName);
    }

    void cleanup() {
        m_listener.reset();
        qunsetenv("SSL_CERT_FILE");
    }

    void cleanupTestCase() {
        m_ownName.reset();
        m_otherName.reset();
        m_server.stop();
    }

    void throughATlsUpstream_data() {
        QTest::addColumn<bool>("ownName");
        QTest::addColumn<bool>("trusted");
        QTest::addColumn<QString>("doc");
        QTest::newRow("trusted, for its name") << true << true << QStringLiteral("sealed");
        QTest::newRow("not trusted") << true << false << QStringLiteral("untrusted");
        QTest::newRow("trusted, for another name") << false << true << QStringLiteral("misnamed");
    }
    void throughATlsUpstream() {
        QFETCH(bool, ownName);
        QFETCH(bool, trusted);
        QFETCH(QString, doc);
        TlsFront& front = ownName ? *m_ownName : *m_otherName;
        // Read when the listener starts, as the system's store is.
        if (trusted)
            qputenv("SSL_CERT_FILE", QFile::encodeName(m_trustFile));
        else
            qunsetenv("SSL_CERT_FILE");
        m_listener = std::make_unique<trevok::SyncListener>();
        const QString upstream = QStringLiteral("https://localhost:%1").arg(front.port());
        QString why;
        QVERIFY2(m_listener->setUpstream(QUrl(upstream), &why), qUtf8Printable(why));
        QVERIFY(m_listener->start());
        front.takeForwarded();

        doc.prepend(QStringLiteral("/trevok_user_db_ann/"));
        const Reply session = send("GET", QStringLiteral("/_session"));
        const Reply written = send("PUT", doc, R"({"text":"sealed"})");
        if (!(ownName && trusted)) {
            // Refused like a server that is down, before anything is sent.
            QCOMPARE(session.status, 502);
            QCOMPARE(written.status, 502);
            QCOMPARE(written.json().value(QStringLiteral("error")).toString(),
                     QStringLiteral("bad_gateway"));
            QCOMPARE(front.takeForwarded(), QList<QByteArray>());
            QCOMPARE(TestServer::request("GET", doc).status, 404);
            return;
        }
        // The caller is who the server behind the TLS front says.
        QCOMPARE(session.status, 200);
        QCOMPARE(session.json()
                     .value(QStringLiteral("userCtx"))
                     .toObject()
                     .value(QStringLiteral("name"))
                     .toString(),
                 QStringLiteral("ann"));
        QCOMPARE(written.status, 201);
        const Reply read = send("GET", doc);
        QCOMPARE(read.status, 200);
        QCOMPARE(read.json().value(QStringLiteral("text")).toString(), QStringLiteral("sealed"));
        QCOMPARE(TestServer::getJson(doc).object().value(QStringLiteral("text")).toString(),
                 QStringLiteral("sealed"));

        // A change feed waits upstream and comes back when the change does.
        QNetworkRequest feedRequest(
            QUrl(QStringLiteral("http://127.0.0.1:%1/trevok_user_db_ann/"
                                "_changes?feed=longpoll&since=now&timeout=20000")
                     .arg(m_listener->port())));
        feedRequest.setRawHeader("Authorization",
                                 basic(QStringLiteral("ann"), QStringLiteral("pw")));
        QNetworkReply* feed = m_manager.get(feedRequest);
        QTest::qWait(500);
        QVERIFY(!feed->isFinished());
        QVERIFY(TestServer::putDocument(QStringLiteral("trevok_user_db_ann"),
                                        QStringLiteral("while-waiting"), "{}"));
        QTRY_VERIFY_WITH_TIMEOUT(feed->isFinished(), 10000);
        QVERIFY2(feed->readAll().contains("while-waiting"), "the feed missed the change");
        feed->deleteLater();

        // What reached the front names the upstream, not the listener: a
        // server behind a TLS front of its own is found by that name.
        const QList<QByteArray> forwarded = front.takeForwarded();
        QVERIFY(!forwarded.isEmpty());
        const QByteArray upstreamHost = "host=localhost:" + QByteArray::number(front.port());
        for (const QByteArray& line : forwarded)
            QVERIFY2(line.endsWith(upstreamHost), line.constData());
    }
};

QTEST_MAIN(TestTlsUpstream)
#include "tst_tls_upstream.moc"
