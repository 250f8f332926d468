#include "backup/BackupPlan.h"
#include "backup/DataFolderSwap.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using namespace trevok::backup;

// When a daily backup is due, what the tool's lines mean, and how a
// restore keeps the data folder it replaces.
class TestBackupPlan : public QObject {
    Q_OBJECT

    static QDateTime at(int day, int hour, int minute) {
        return QDateTime(QDate(2026, 12, day), QTime(hour, minute));
    }

private Q_SLOTS:
    void nextBackupDue_data() {
        QTest::addColumn<bool>("daily");
        QTest::addColumn<QString>("folder");
        QTest::addColumn<QDateTime>("lastAttempt");
        QTest::addColumn<QDateTime>("now");
        QTest::addColumn<QDateTime>("due");
        const QString folder = QStringLiteral("/media/backups");
        QTest::newRow("off") << false << folder << at(8, 2, 0) << at(9, 12, 0) << QDateTime();
        QTest::newRow("no folder")
            << true << QString() << at(8, 2, 0) << at(9, 12, 0) << QDateTime();
        QTest::newRow("done today")
            << true << folder << at(9, 2, 1) << at(9, 12, 0) << at(10, 2, 0);
        QTest::newRow("before today's time")
            << true << folder << at(8, 2, 1) << at(9, 1, 0) << at(9, 2, 0);
        QTest::newRow("missed today: now")
            << true << folder << at(8, 2, 1) << at(9, 12, 0) << at(9, 12, 0);
        QTest::newRow("missed for days: once, now")
            << true << folder << at(1, 2, 0) << at(9, 1, 0) << at(9, 1, 0);
        QTest::newRow("never: now")
            << true << folder << QDateTime() << at(9, 12, 0) << at(9, 12, 0);
        QTest::newRow("exactly at the time")
            << true << folder << at(8, 2, 0) << at(9, 2, 0) << at(9, 2, 0);
    }
    void nextBackupDue() {
        QFETCH(bool, daily);
        QFETCH(QString, folder);
        QFETCH(QDateTime, lastAttempt);
        QFETCH(QDateTime, now);
        QFETCH(QDateTime, due);
        BackupSettings chosen;
        chosen.daily = daily;
        chosen.folder = folder;
        chosen.at = QTime(2, 0);
        QCOMPARE(trevok::backup::nextBackupDue(chosen, lastAttempt, now), due);
    }

    void toolLinesAreTold() {
        const QLocale english(QLocale::English, QLocale::UnitedStates);
        const BackupEvent done = parseBackupEvent(
            R"({"event":"done","file":"/b/x.tbk","databases":1214,"documents":48310,"deleted":3,"bytes":212400000,"ms":41000,"removed":["/b/old.tbk"]})");
        QCOMPARE(done.kind, BackupEvent::Kind::Done);
        QCOMPARE(done.removed, QStringList{QStringLiteral("/b/old.tbk")});
        QCOMPARE(backedUpText(done, english),
                 QStringLiteral("Backed up 1,214 databases, 48,310 documents, 212.4 MB, in 41 s."));
        const BackupEvent one = parseBackupEvent(
            R"({"event":"done","databases":1,"documents":1,"bytes":900,"ms":420})");
        QCOMPARE(backedUpText(one, english),
                 QStringLiteral("Backed up 1 database, 1 document, 900 bytes, in 0.4 s."));

        const BackupEvent progress =
            parseBackupEvent(R"({"event":"database","name":"trevok_master","index":3,"of":1214})");
        QCOMPARE(progressText(progress, false, english),
                 QStringLiteral("Backing up “trevok_master” (3 of 1,214)…"));

        const BackupEvent failed = parseBackupEvent(
            R"({"event":"failed","cause":"disk-full","message":"The disk holding “/b” is full; the earlier backups are untouched."})");
        QCOMPARE(failed.cause, QStringLiteral("disk-full"));
        QCOMPARE(failureText(failed, false),
                 QStringLiteral("The backup failed. The disk holding “/b” is full; the earlier "
                                "backups are untouched."));
        QCOMPARE(parseBackupEvent("not json").kind, BackupEvent::Kind::Unknown);
    }

    void backupNames() {
        QVERIFY(isBackupFileName(QStringLiteral("trevok-backup-20261209-201500Z.tbk")));
        QVERIFY(isBackupFileName(QStringLiteral("trevok-backup-20261209-201500Z-2.tbk")));
        QVERIFY(!isBackupFileName(QStringLiteral(".trevok-backup-20261209-201500Z.tbk.partial")));
        QVERIFY(!isBackupFileName(QStringLiteral("trevok-backup-20261209-201500Z.tbk.txt")));
        QCOMPARE(backupTimeFromName(QStringLiteral("/x/trevok-backup-20261209-201500Z.tbk")),
                 QDateTime(QDate(2026, 12, 9), QTime(20, 15), Qt::UTC));
    }

    void theReplacedFolderIsKeptAndCanComeBack() {
        QTemporaryDir dir;
        const QString data = dir.path() + QStringLiteral("/data");
        QVERIFY(QDir().mkpath(data));
        QFile held(data + QStringLiteral("/held"));
        QVERIFY(held.open(QIODevice::WriteOnly) && held.write("x") == 1);
        held.close();
        const QDateTime now(QDate(2026, 12, 9), QTime(20, 15));

        const FolderSwap swap = moveDataFolderAside(data, now);
        QVERIFY2(swap.ok, qPrintable(swap.error));
        QCOMPARE(swap.aside, data + QStringLiteral(".before-restore-20261209-201500"));
        QVERIFY(QFile::exists(swap.aside + QStringLiteral("/held")));
        QVERIFY(QDir(data).isEmpty());
        QCOMPARE(QFile::permissions(data) & (QFile::ReadOther | QFile::ReadGroup),
                 QFile::Permissions());
        // A second restore in the same second gets a name of its own.
        QCOMPARE(asideFolderPath(data, now), swap.aside + QStringLiteral("-2"));

        QFile half(data + QStringLiteral("/half"));
        QVERIFY(half.open(QIODevice::WriteOnly));
        half.close();
        const QString failed = data + QStringLiteral(".failed");
        QCOMPARE(putDataFolderBack(data, swap.aside, failed), QString());
        QVERIFY(QFile::exists(data + QStringLiteral("/held")));
        QVERIFY(QFile::exists(failed + QStringLiteral("/half")));
        QVERIFY(!QFile::exists(swap.aside));
    }
};

QTEST_GUILESS_MAIN(TestBackupPlan)
#include "tst_backup_plan.moc"
