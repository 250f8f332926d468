#include "app/AppDelegate.h"
#include "server/ServerConfigFile.h"
#include "server/ServerProcess.h"
#include "services/NotificationCenter.h"
#include "tests/harness/TestServer.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>

using trevok::test::TestServer;

// The console's own launch of the bundled server, from a private copy of the
// resources folder so that its shipped local.ini can be compared afterwards.
class TestServerProcess : public QObject {
    Q_OBJECT

    QTemporaryDir m_resources;

    static bool copyTree(const QString& from, const QString& to) {
        QDirIterator it(from, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden,
                        QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QString path = it.next();
            const QString rel = QDir(from).relativeFilePath(path);
            if (rel.startsWith(QLatin1String("node_modules")))
                continue;
            const QFileInfo info = it.fileInfo();
            if (info.isDir() && !info.isSymLink()) {
                QDir().mkpath(to + QLatin1Char('/') + rel);
            } else if (!QFile::copy(path, to + QLatin1Char('/') + rel)) {
                return false;
            }
        }
        return QFile::link(QFileInfo(from + QStringLiteral("/node_modules")).canonicalFilePath(),
                           to + QStringLiteral("/node_modules"));
    }

    QString localIni() const {
        return m_resources.path() + QStringLiteral("/server-core/etc/couchdb/local.ini");
    }
    QByteArray m_shipped;

private Q_SLOTS:
    void initTestCase() {
        const QString source = trevok::resourcesFolder() + QStringLiteral("/server-core");
        QVERIFY(QDir().mkpath(m_resources.path() + QStringLiteral("/server-core")));
        QVERIFY(copyTree(source, m_resources.path() + QStringLiteral("/server-core")));
        qputenv("TREVOK_RESOURCES", m_resources.path().toUtf8());
        QFile shipped(localIni());
        QVERIFY(shipped.open(QIODevice::ReadOnly));
        m_shipped = shipped.readAll();
        // A fresh configuration home: the first start of this person.
        QFile::remove(trevok::personalServerConfig());
    }

    void launchAnswersOnceStartUpHasWaitedAndItsEndKeepsTheRegistrations() {
        AppDelegate delegate;
        trevok::NotificationCenter::defaultCenter().addObserver(
            &delegate, QStringLiteral("AddUserToProject"), [](const trevok::Notification&) {});

        delegate.launchCouchDB();
        QVERIFY(delegate.task());
        QVERIFY(delegate.task()->isRunning());
        QVERIFY(!delegate.task()->adopted());
        QVERIFY(delegate.task()->statusText().isEmpty());
        // Start-up waited until the server answers.
        QCOMPARE(TestServer::anonymous("GET", QStringLiteral("/")).status, 401);
        // The server names itself in the data folder and logs there.
        const auto pid = trevok::readServerPidFile(delegate.applicationSupportFolder());
        QVERIFY(pid);
        QCOMPARE(pid->server, delegate.task()->serverPid());
        QVERIFY(!pid->uuid.isEmpty());
        QVERIFY(QFile::exists(delegate.applicationSupportFolder() +
                              QStringLiteral("/server-core.log")));

        // The data section went into the person's copy, which the server read
        // last; the shipped file is as it was.
        QFile ini(trevok::personalServerConfig());
        QVERIFY(ini.open(QIODevice::ReadOnly));
        const QString text = QString::fromUtf8(ini.readAll());
        QCOMPARE(text.count(delegate.applicationSupportFolder()), 2);
        QVERIFY(text.startsWith(QString::fromUtf8(m_shipped)));
        // The launcher was told to read it last.
        QFile cmdline(QStringLiteral("/proc/%1/cmdline").arg(delegate.task()->launcherPid()));
        QVERIFY(cmdline.open(QIODevice::ReadOnly));
        const QByteArray lastArguments = QByteArrayLiteral("-a") + '\0' +
                                         QFile::encodeName(trevok::personalServerConfig()) + '\0';
        QVERIFY(cmdline.readAll().endsWith(lastArguments));
        QFile shipped(localIni());
        QVERIFY(shipped.open(QIODevice::ReadOnly));
        QCOMPARE(shipped.readAll(), m_shipped);

        // A second console of the same data folder uses the running server.
        {
            AppDelegate second;
            second.launchCouchDB();
            QVERIFY(second.task()->isRunning());
            QVERIFY(second.task()->adopted());
            QCOMPARE(second.task()->serverPid(), pid->server);
        }

        delegate.task()->kill();
        delegate.taskTerminated();
        QVERIFY(!delegate.task());
        // The end of a server process leaves the session's registrations alone.
        QCOMPARE(trevok::NotificationCenter::defaultCenter().observerCount(
                     QStringLiteral("AddUserToProject")),
                 1);
        QTRY_COMPARE(TestServer::anonymous("GET", QStringLiteral("/")).status, 0);
    }

    void aLaunchThatCannotWorkIsToldInWords_data() {
        QTest::addColumn<QString>("cause");
        QTest::addColumn<QString>("told");
        QTest::newRow("port taken")
            << QStringLiteral("port") << QStringLiteral("Another program answers on 127.0.0.1:");
        QTest::newRow("configuration unreadable")
            << QStringLiteral("config") << QStringLiteral("cannot read configuration file");
    }
    void aLaunchThatCannotWorkIsToldInWords() {
        QFETCH(QString, cause);
        QFETCH(QString, told);
        QTcpServer other;
        const QString config = m_resources.path() + QStringLiteral("/unreadable.ini");
        QStringList extra;
        if (cause == QLatin1String("port")) {
            QVERIFY(other.listen(QHostAddress::LocalHost, 5984));
        } else {
            QVERIFY(QDir().mkpath(config)); // a folder where a file should be
            extra = {QStringLiteral("-a"), config};
        }
        QTemporaryDir data;
        trevok::ServerProcess server(trevok::resourcesFolder() + QStringLiteral("/server-core"),
                                     data.path(), extra);
        server.start();
        QVERIFY(!server.waitUntilSettled(30000));
        QVERIFY2(server.statusText().contains(told), qPrintable(server.statusText()));
        QDir(config).removeRecursively();
        server.kill();
    }

    void restartPausesGrowToABound() {
        int previous = 0;
        for (int attempt = 0; attempt < 40; ++attempt) {
            const int delay = trevok::restartDelayMs(attempt);
            QVERIFY(delay >= previous);
            QVERIFY(delay > 0 && delay <= 30000);
            previous = delay;
        }
        QCOMPARE(trevok::restartDelayMs(39), 30000);
    }

    void theLastErrorOfTheLogIsTheReason_data() {
        QTest::addColumn<QString>("log");
        QTest::addColumn<QString>("reason");
        QTest::newRow("none") << QStringLiteral("[d] [info] [1] started\n") << QString();
        QTest::newRow("last of two")
            << QStringLiteral("[d] [error] [1] first\n[d] [info] [1] x\n"
                              "[d] [error] [2] giving up: cannot listen on 127.0.0.1:5984\n")
            << QStringLiteral("giving up: cannot listen on 127.0.0.1:5984");
    }
    void theLastErrorOfTheLogIsTheReason() {
        QFETCH(QString, log);
        QFETCH(QString, reason);
        QCOMPARE(trevok::lastErrorInLog(log), reason);
    }

    void aSecondLaunchLeavesTheConfigurationAsItIs() {
        QFile ini(trevok::personalServerConfig());
        QVERIFY(ini.open(QIODevice::ReadOnly));
        const QByteArray before = ini.readAll();
        ini.close();
        AppDelegate delegate;
        delegate.maybeSetDataDirs();
        QVERIFY(ini.open(QIODevice::ReadOnly));
        QCOMPARE(ini.readAll(), before);
    }
};

QTEST_MAIN(TestServerProcess)
#include "tst_server_process.moc"
