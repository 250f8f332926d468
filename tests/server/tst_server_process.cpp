#include "app/AppDelegate.h"
#include "app/NotificationCenter.h"
#include "server/ServerConfigFile.h"
#include "server/ServerProcess.h"
#include "tests/harness/TestServer.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
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

    void launchAnswersWithinTheStartWaitAndItsEndCleansUp() {
        AppDelegate delegate;
        trevok::NotificationCenter::defaultCenter().addObserver(
            &delegate, QStringLiteral("AddUserToProject"), [](const trevok::Notification&) {});

        delegate.launchCouchDB();
        QVERIFY(delegate.task());
        QVERIFY(delegate.task()->isRunning());
        // The one second the launch waits is enough for the server to answer.
        QCOMPARE(TestServer::anonymous("GET", QStringLiteral("/")).status, 401);

        // The data section went into the person's copy, which the server read
        // last; the shipped file is as it was.
        QFile ini(trevok::personalServerConfig());
        QVERIFY(ini.open(QIODevice::ReadOnly));
        const QString text = QString::fromUtf8(ini.readAll());
        QCOMPARE(text.count(delegate.applicationSupportFolder()), 2);
        QVERIFY(text.startsWith(QString::fromUtf8(m_shipped)));
        QVERIFY(delegate.task()->task()->arguments().endsWith(trevok::personalServerConfig()));
        QFile shipped(localIni());
        QVERIFY(shipped.open(QIODevice::ReadOnly));
        QCOMPARE(shipped.readAll(), m_shipped);

        delegate.task()->kill();
        QTRY_VERIFY(!delegate.task());
        QCOMPARE(trevok::NotificationCenter::defaultCenter().observerCount(
                     QStringLiteral("AddUserToProject")),
                 0);
        QTRY_COMPARE(TestServer::anonymous("GET", QStringLiteral("/")).status, 0);
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
