#include "server/DataDirs.h"
#include "server/ServerConfigFile.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <unistd.h>

using namespace trevok;

// Where the console finds its resources, and the per-person copy of the
// server's configuration that receives the data section: no server needed.
class TestServerConfig : public QObject {
    Q_OBJECT

    static QByteArray read(const QString& path) {
        QFile f(path);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<unreadable>");
    }
    static bool write(const QString& path, const QByteArray& bytes) {
        QDir().mkpath(QFileInfo(path).absolutePath());
        QFile f(path);
        return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
    }

    const QByteArray m_shippedText =
        "; Local settings of the bundled server.\n[httpd]\n\n[log]\nlevel = info\n";

private Q_SLOTS:
    void resourcesFolder_data() {
        QTest::addColumn<QString>("environment");
        QTest::addColumn<QStringList>("folders");
        QTest::addColumn<QString>("expected");
        QTest::newRow("environment wins")
            << QStringLiteral("/elsewhere/res") << QStringList{QStringLiteral("bin/resources")}
            << QStringLiteral("/elsewhere/res");
        QTest::newRow("build tree") << QString() << QStringList{QStringLiteral("bin/resources")}
                                    << QStringLiteral("@/bin/resources");
        QTest::newRow("installation")
            << QString() << QStringList{QStringLiteral("share/trevokserver")}
            << QStringLiteral("@/share/trevokserver");
        QTest::newRow("build tree before installation")
            << QString()
            << QStringList{QStringLiteral("bin/resources"), QStringLiteral("share/trevokserver")}
            << QStringLiteral("@/bin/resources");
        QTest::newRow("neither: where a build tree has it")
            << QString() << QStringList() << QStringLiteral("@/bin/resources");
    }
    void resourcesFolder() {
        QFETCH(QString, environment);
        QFETCH(QStringList, folders);
        QFETCH(QString, expected);
        QTemporaryDir prefix;
        QVERIFY(QDir().mkpath(prefix.filePath(QStringLiteral("bin"))));
        for (const QString& folder : folders)
            QVERIFY(QDir().mkpath(prefix.filePath(folder)));
        expected.replace(QLatin1Char('@'), prefix.path());
        QCOMPARE(locateResources(environment, prefix.filePath(QStringLiteral("bin"))), expected);
    }

    void pathsOfTheTwoConfigurations() {
        QCOMPARE(personalServerConfig(QStringLiteral("/home/ann/.config")),
                 QStringLiteral("/home/ann/.config/com.trevokapp/server-core/local.ini"));
        QCOMPARE(shippedServerConfig(QStringLiteral("/usr/share/trevokserver/server-core")),
                 QStringLiteral("/usr/share/trevokserver/server-core/etc/couchdb/local.ini"));
        // The XDG configuration home decides where the personal copy lives.
        QTemporaryDir home;
        qputenv("XDG_CONFIG_HOME", home.path().toUtf8());
        QCOMPARE(personalServerConfig(), personalServerConfig(home.path()));
    }

    // The first start's copy, then the data section on the copy alone: the
    // shipped file stays byte for byte as installed.
    void firstStartCopiesThenAppendsToTheCopyOnly() {
        QTemporaryDir dir;
        const QString shipped =
            dir.filePath(QStringLiteral("share/server-core/etc/couchdb/local.ini"));
        const QString personal = personalServerConfig(dir.filePath(QStringLiteral("config")));
        const QString data = dir.filePath(QStringLiteral("data/com.trevokapp.TrevokServer"));
        QVERIFY(write(shipped, m_shippedText));

        QVERIFY(preparePersonalServerConfig(shipped, personal));
        QCOMPARE(read(personal), m_shippedText);
        QCOMPARE(QFile::permissions(personal), QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                                   QFileDevice::ReadUser | QFileDevice::WriteUser);

        QVERIFY(maybeSetDataDirs(personal, data));
        QCOMPARE(read(personal), m_shippedText + "[couchdb]\ndatabase_dir = " + data.toUtf8() +
                                     "\nview_index_dir = " + data.toUtf8() + "\n\n");
        QCOMPARE(read(shipped), m_shippedText);
    }

    // Later starts keep what the person's server wrote into the copy (its
    // password hash), even when a newer installation ships another file.
    void laterStartsKeepThePersonalCopy_data() {
        QTest::addColumn<QByteArray>("shippedNow");
        QTest::newRow("same installation") << m_shippedText;
        QTest::newRow("updated installation") << QByteArray("[log]\nlevel = debug\n");
        QTest::newRow("shipped file gone") << QByteArray();
    }
    void laterStartsKeepThePersonalCopy() {
        QFETCH(QByteArray, shippedNow);
        QTemporaryDir dir;
        const QString shipped = dir.filePath(QStringLiteral("local.ini"));
        const QString personal = personalServerConfig(dir.filePath(QStringLiteral("config")));
        const QString data = dir.filePath(QStringLiteral("data"));
        const QByteArray mine = m_shippedText + "[couchdb]\ndatabase_dir = " + data.toUtf8() +
                                "\nview_index_dir = " + data.toUtf8() +
                                "\n\n[admins]\nadmin = -pbkdf2-abc,def,10\n";
        QVERIFY(write(personal, mine));
        if (!shippedNow.isEmpty())
            QVERIFY(write(shipped, shippedNow));

        QVERIFY(preparePersonalServerConfig(shipped, personal));
        QVERIFY(maybeSetDataDirs(personal, data));
        QCOMPARE(read(personal), mine);
    }

    void noShippedFileStartsAnEmptyCopy() {
        QTemporaryDir dir;
        const QString personal = personalServerConfig(dir.path());
        const QString data = dir.filePath(QStringLiteral("data"));
        QVERIFY(preparePersonalServerConfig(dir.filePath(QStringLiteral("missing.ini")), personal));
        QVERIFY(maybeSetDataDirs(personal, data));
        QCOMPARE(read(personal), "[couchdb]\ndatabase_dir = " + data.toUtf8() +
                                     "\nview_index_dir = " + data.toUtf8() + "\n\n");
    }

    void failuresAreReportedAndLeaveNoHalfFile_data() {
        QTest::addColumn<QString>("blocker");
        QTest::addColumn<QString>("message");
        // A file where the configuration folder should be.
        QTest::newRow("folder cannot be made")
            << QStringLiteral("config/com.trevokapp") << QStringLiteral("^Error: cannot create");
        // A folder where the personal file should be.
        QTest::newRow("a folder in the way")
            << QStringLiteral("config/com.trevokapp/server-core/local.ini/")
            << QStringLiteral("^Error: .* is not a file");
    }
    void failuresAreReportedAndLeaveNoHalfFile() {
        QFETCH(QString, blocker);
        QFETCH(QString, message);
        QTemporaryDir dir;
        const QString shipped = dir.filePath(QStringLiteral("local.ini"));
        const QString personal = personalServerConfig(dir.filePath(QStringLiteral("config")));
        QVERIFY(write(shipped, m_shippedText));
        if (blocker.endsWith(QLatin1Char('/')))
            QVERIFY(QDir().mkpath(dir.filePath(blocker)));
        else
            QVERIFY(write(dir.filePath(blocker), "not a folder"));

        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(message));
        QVERIFY(!preparePersonalServerConfig(shipped, personal));
        QVERIFY(!QFileInfo(personal).isFile());
        QCOMPARE(read(shipped), m_shippedText);
    }

    void unreadableShippedFileMakesNoCopy() {
        if (geteuid() == 0)
            QSKIP("root reads every file");
        QTemporaryDir dir;
        const QString shipped = dir.filePath(QStringLiteral("local.ini"));
        const QString personal = personalServerConfig(dir.filePath(QStringLiteral("config")));
        QVERIFY(write(shipped, m_shippedText));
        QVERIFY(QFile::setPermissions(shipped, QFileDevice::WriteOwner));
        QTest::ignoreMessage(QtWarningMsg,
                             QRegularExpression(QStringLiteral("^Error: cannot read")));
        QVERIFY(!preparePersonalServerConfig(shipped, personal));
        QVERIFY(!QFileInfo::exists(personal));
    }

    // Two people on one installation: one shipped file, two homes, and each
    // server configuration names its own person's data folder only.
    void twoHomesGetTwoConfigurations() {
        QTemporaryDir dir;
        const QString shipped = dir.filePath(QStringLiteral("usr/share/local.ini"));
        QVERIFY(write(shipped, m_shippedText));
        QStringList configs;
        for (const QString& who : {QStringLiteral("ann"), QStringLiteral("bob")}) {
            const QString home = dir.filePath(QStringLiteral("home/") + who);
            const QString personal = personalServerConfig(home + QStringLiteral("/.config"));
            QVERIFY(preparePersonalServerConfig(shipped, personal));
            QVERIFY(maybeSetDataDirs(personal, home + QStringLiteral("/.local/share/data")));
            configs << QString::fromUtf8(read(personal));
        }
        QCOMPARE(configs[0].count(QStringLiteral("/home/ann/")), 2);
        QCOMPARE(configs[1].count(QStringLiteral("/home/bob/")), 2);
        QVERIFY(!configs[0].contains(QStringLiteral("/home/bob/")));
        QVERIFY(!configs[1].contains(QStringLiteral("/home/ann/")));
        QCOMPARE(read(shipped), m_shippedText);
    }
};

QTEST_MAIN(TestServerConfig)
#include "tst_server_config.moc"
