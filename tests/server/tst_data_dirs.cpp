#include "server/DataDirs.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using namespace trevok;

class TestDataDirs : public QObject {
    Q_OBJECT

    static QByteArray read(const QString& path) {
        QFile f(path);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }
    static void write(const QString& path, const QByteArray& bytes) {
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(bytes);
    }

private Q_SLOTS:
    void firstStartAppendsOneSection() {
        QTemporaryDir dir;
        const QString ini = dir.filePath(QStringLiteral("local.ini"));
        const QString data = dir.filePath(QStringLiteral("support/com.trevokapp.TrevokServer"));
        write(ini, "; local settings\n[httpd]\nport = 5984\n");

        QVERIFY(maybeSetDataDirs(ini, data));
        QVERIFY(QFileInfo(data).isDir());
        const QByteArray expected =
            "; local settings\n[httpd]\nport = 5984\n[couchdb]\ndatabase_dir = " + data.toUtf8() +
            "\nview_index_dir = " + data.toUtf8() + "\n\n";
        QCOMPARE(read(ini), expected);
    }

    void secondStartLeavesFileUnchanged_data() {
        QTest::addColumn<QByteArray>("before");
        QTest::newRow("after a first start") << QByteArray("[couchdb]\ndatabase_dir = @\n\n");
        QTest::newRow("only inside a comment") << QByteArray("; moved away from @ last year\n");
        QTest::newRow("non-ASCII around it") << QByteArray("; Zürich @ \xc3\xa9\n");
    }
    void secondStartLeavesFileUnchanged() {
        QFETCH(QByteArray, before);
        QTemporaryDir dir;
        const QString ini = dir.filePath(QStringLiteral("local.ini"));
        const QString data = dir.filePath(QStringLiteral("data"));
        before.replace('@', data.toUtf8());
        write(ini, before);
        QVERIFY(maybeSetDataDirs(ini, data));
        QCOMPARE(read(ini), before);
    }

    void missingConfigIsReportedNotFatal() {
        QTemporaryDir dir;
        const QString data = dir.filePath(QStringLiteral("data"));
        QTest::ignoreMessage(QtWarningMsg,
                             QRegularExpression(QStringLiteral("^Error: cannot read")));
        QVERIFY(!maybeSetDataDirs(dir.filePath(QStringLiteral("missing.ini")), data));
        QVERIFY(QFileInfo(data).isDir());
    }

    void supportFolderEndsInTheConsolesComponent() {
        QVERIFY(applicationSupportFolder().endsWith(QStringLiteral("/com.trevokapp.TrevokServer")));
    }
};

QTEST_GUILESS_MAIN(TestDataDirs)
#include "tst_data_dirs.moc"
