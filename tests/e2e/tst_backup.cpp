#include "server/ServerProcess.h"
#include "tests/harness/ConsoleProcess.h"
#include "tests/harness/SyncClient.h"
#include "tests/harness/TestServer.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonObject>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

#include <memory>
#include <utility>

using trevok::test::ConsoleProcess;
using trevok::test::SyncClient;
using trevok::test::TestServer;

namespace {
const QString& kAdminPassword = trevok::test::kInitialAdminPassword;
const QString kTitle = QStringLiteral("Backup Fair");
const QString kMaster = QStringLiteral("trevok_master");
constexpr int kQuietMs = 3000;
constexpr int kBackupWaitMs = 120000;

struct Console : ConsoleProcess {
    Console(const QString& home, const QString& resources)
        : ConsoleProcess(QStringLiteral(TREVOK_CONSOLE_BINARY), home, resources) {}
};

QJsonObject get(const QString& path) {
    return TestServer::request("GET", path, {}, QStringLiteral("admin"), kAdminPassword)
        .json()
        .object();
}

// Every document of a database by ID: its winning revision, or "deleted".
QMap<QString, QString> revisions(const QString& db) {
    QMap<QString, QString> revs;
    const QJsonArray rows = get(QLatin1Char('/') + db + QStringLiteral("/_changes"))
                                .value(QStringLiteral("results"))
                                .toArray();
    for (const QJsonValue row : rows) {
        const QJsonObject change = row.toObject();
        const QString id = change.value(QStringLiteral("id")).toString();
        if (id.startsWith(QLatin1String("_design/")))
            continue;
        revs[id] = change.value(QStringLiteral("deleted")).toBool()
                       ? QStringLiteral("deleted")
                       : change.value(QStringLiteral("changes"))
                             .toArray()
                             .first()
                             .toObject()
                             .value(QStringLiteral("rev"))
                             .toString();
    }
    return revs;
}

QStringList conflicts(const QString& db, const QString& id) {
    QStringList revs;
    for (const QJsonValue rev : get(QStringLiteral("/%1/%2?conflicts=true").arg(db, id))
                                    .value(QStringLiteral("_conflicts"))
                                    .toArray())
        revs.append(rev.toString());
    return revs;
}

// Deleted, not merely missing: the database's changes list the document
// as deleted.
bool deletedOnServer(const QString& db, const QString& id) {
    return revisions(db).value(id) == QLatin1String("deleted");
}

QString projectDatabase() {
    for (const QJsonValue row : get(QStringLiteral("/trevok_master/_all_docs?include_docs=true"))
                                    .value(QStringLiteral("rows"))
                                    .toArray()) {
        const QJsonObject doc = row.toObject().value(QStringLiteral("doc")).toObject();
        if (doc.value(QStringLiteral("title")).toString() == kTitle)
            return QStringLiteral("trevok_project_") +
                   doc.value(QStringLiteral("serverDBName")).toString();
    }
    return {};
}
} // namespace

// The whole service backed up while sync clients work, its data folder
// lost, and restored from the backup by the real console: what was
// acknowledged before the backup is back with its winning revisions and
// conflicts, what was deleted stays deleted when an old client syncs again,
// and what the clients wrote since comes back from them and travels on.
class TestBackup : public QObject {
    Q_OBJECT

    QTemporaryDir m_home;
    QTemporaryDir m_backups;
    QTemporaryDir m_annDir;
    QTemporaryDir m_benDir;
    QString m_resources;

    QString dataFolder() const { return trevok::test::consoleDataFolder(m_home.path()); }
    static QString listener(ConsoleProcess& console) {
        return QStringLiteral("http://127.0.0.1:%1")
            .arg(console.state().value(QStringLiteral("listenerPort")).toInt());
    }
    std::unique_ptr<SyncClient> client(ConsoleProcess& console, const QString& name,
                                       const QTemporaryDir& dir) {
        return std::make_unique<SyncClient>(listener(console), name, name + QStringLiteral("-pw"),
                                            QStringList{QStringLiteral("--dir"), dir.path()});
    }
    static QJsonObject note(const QString& id, const QString& text, const QString& project) {
        return {{QStringLiteral("_id"), id},
                {QStringLiteral("projectID"), project},
                {QStringLiteral("type"), QStringLiteral("Note")},
                {QStringLiteral("text"), text}};
    }
    static bool finished(ConsoleProcess& console, const char* prefix) {
        if (!console.waitFor(
                [](const QJsonObject& s) {
                    return !s.value(QStringLiteral("backupRunning")).toBool();
                },
                kBackupWaitMs))
            return false;
        const QString status = console.state().value(QStringLiteral("backupStatus")).toString();
        qInfo().noquote() << "backup status:" << status;
        return status.startsWith(QLatin1String(prefix));
    }

private Q_SLOTS:
    void initTestCase() {
        QVERIFY(m_home.isValid() && m_backups.isValid());
        m_resources = m_home.path() + QStringLiteral("/resources");
        QVERIFY(QDir().mkpath(m_resources));
        QVERIFY(trevok::test::copyResources(trevok::resourcesFolder(), m_resources));
    }

    void cleanupTestCase() {
        trevok::ServerProcess(m_resources + QStringLiteral("/server-core"), dataFolder()).kill();
    }

    void restoreBringsBackTheWebWithoutResurrection() {
        QString project;
        QString projectDB;
        QMap<QString, QMap<QString, QString>> before;
        QString backupFile;
        const QStringList users{QStringLiteral("ann"), QStringLiteral("ben")};
        {
            Console console(m_home.path(), m_resources);
            QVERIFY(console.upAndLoggedIn());
            for (const QString& user : users)
                QVERIFY(console.run(QStringLiteral("createUser %1 First Last %1-pw").arg(user)));
            QVERIFY(console.run(QStringLiteral("createProject ") + kTitle));
            QVERIFY(console.lists("projects", kTitle));
            QVERIFY(console.run(QStringLiteral("selectProject ") + kTitle));
            for (const QString& user : users)
                QVERIFY(console.run(QStringLiteral("doubleClickUser ") + user));
            QTRY_VERIFY_WITH_TIMEOUT(!projectDatabase().isEmpty(), 15000);
            projectDB = projectDatabase();
            for (const QJsonValue row :
                 get(QStringLiteral("/trevok_master/_all_docs?include_docs=true"))
                     .value(QStringLiteral("rows"))
                     .toArray()) {
                const QJsonObject doc = row.toObject().value(QStringLiteral("doc")).toObject();
                if (doc.value(QStringLiteral("title")).toString() == kTitle)
                    project = doc.value(QStringLiteral("projectID")).toString();
            }
            QVERIFY(!project.isEmpty());

            auto ann = client(console, QStringLiteral("ann"), m_annDir);
            auto ben = client(console, QStringLiteral("ben"), m_benDir);
            QVERIFY(ann->isReady() && ben->isReady());
            QVERIFY(ann->put(note(QStringLiteral("keep"), QStringLiteral("v1"), project))
                        .value(QStringLiteral("ok"))
                        .toBool());
            QVERIFY(ann->put(note(QStringLiteral("changed"), QStringLiteral("v1"), project))
                        .value(QStringLiteral("ok"))
                        .toBool());
            QVERIFY(ann->put(note(QStringLiteral("changed"), QStringLiteral("v2"), project))
                        .value(QStringLiteral("ok"))
                        .toBool());
            QVERIFY(ann->put(note(QStringLiteral("gone"), QStringLiteral("soon deleted"), project))
                        .value(QStringLiteral("ok"))
                        .toBool());
            for (const char* id : {"keep", "changed", "gone"})
                QVERIFY2(ben->waitFor(QString::fromLatin1(id)), id);
            QTRY_COMPARE_WITH_TIMEOUT(
                ben->get(QStringLiteral("changed")).value(QStringLiteral("text")).toString(),
                QStringLiteral("v2"), 15000);
            // Both devices edited the same document while apart: each pushes its
            // own revision, the way its replication writes it.
            for (const auto& [who, rev] :
                 {std::pair{ann.get(), "1-aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa"},
                  std::pair{ben.get(), "1-bbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbb"}}) {
                QJsonObject doc = note(QStringLiteral("clash"), QString::fromLatin1(rev), project);
                doc.insert(QStringLiteral("_rev"), QString::fromLatin1(rev));
                const QJsonObject put =
                    who->call({{QStringLiteral("op"), QStringLiteral("remotePut")},
                               {QStringLiteral("doc"), doc},
                               {QStringLiteral("new_edits"), false}});
                QCOMPARE(put.value(QStringLiteral("status")).toInt(), 201);
            }
            QTRY_VERIFY_WITH_TIMEOUT(!conflicts(projectDB, QStringLiteral("clash")).isEmpty(),
                                     20000);

            // Ben's device goes quiet holding "gone" as it was; ann deletes it.
            QVERIFY(ben->call({{QStringLiteral("op"), QStringLiteral("quit")}})
                        .value(QStringLiteral("ok"))
                        .toBool());
            ben.reset();
            QVERIFY(ann->remove(QStringLiteral("gone")).value(QStringLiteral("ok")).toBool());
            QTRY_VERIFY_WITH_TIMEOUT(deletedOnServer(projectDB, QStringLiteral("gone")), 15000);
            QTRY_VERIFY_WITH_TIMEOUT(
                deletedOnServer(QStringLiteral("trevok_user_db_ben"), QStringLiteral("gone")),
                15000);
            QTest::qWait(kQuietMs);
            for (const QString& db : {kMaster, projectDB, QStringLiteral("trevok_user_db_ann"),
                                      QStringLiteral("trevok_user_db_ben")})
                before[db] = revisions(db);
            const QStringList clashBefore = conflicts(kMaster, QStringLiteral("clash"));
            QVERIFY(!clashBefore.isEmpty());

            // A backup into a folder that is not there says so and writes nothing.
            const QString missing = m_backups.path() + QStringLiteral("/not-there");
            QVERIFY(console.run(QStringLiteral("backupNow ") + missing));
            QVERIFY(finished(console, "The backup failed."));
            QVERIFY(console.state()
                        .value(QStringLiteral("backupStatus"))
                        .toString()
                        .contains(QStringLiteral("not-there")));
            QVERIFY(!QFileInfo::exists(missing));

            QVERIFY(console.run(QStringLiteral("backupNow ") + m_backups.path()));
            QVERIFY(finished(console, "Backed up"));
            const QStringList files =
                QDir(m_backups.path())
                    .entryList({QStringLiteral("trevok-backup-*.tbk")}, QDir::Files);
            QCOMPARE(files.size(), 1);
            backupFile = m_backups.path() + QLatin1Char('/') + files.first();
            // It holds password hashes: its owner's alone.
            const QFileDevice::Permissions others =
                QFileDevice::ReadGroup | QFileDevice::WriteGroup | QFileDevice::ExeGroup |
                QFileDevice::ReadOther | QFileDevice::WriteOther | QFileDevice::ExeOther;
            QVERIFY(!(QFileInfo(backupFile).permissions() & others));

            // Written after the backup: only ann's device holds it once the disk is lost.
            QVERIFY(
                ann->put(note(QStringLiteral("after"), QStringLiteral("since the backup"), project))
                    .value(QStringLiteral("ok"))
                    .toBool());
            QTRY_VERIFY_WITH_TIMEOUT(revisions(kMaster).contains(QStringLiteral("after")), 15000);
            QVERIFY(ann->call({{QStringLiteral("op"), QStringLiteral("quit")}})
                        .value(QStringLiteral("ok"))
                        .toBool());
            ann.reset();
            QVERIFY(console.run(QStringLiteral("quit")));
            QVERIFY(console.finished(30000));
        }
        // The disk is lost: server and data folder go.
        trevok::ServerProcess(m_resources + QStringLiteral("/server-core"), dataFolder()).kill();
        QVERIFY(QDir(dataFolder()).removeRecursively());

        {
            Console fresh(m_home.path(), m_resources);
            QVERIFY(fresh.upAndLoggedIn());
            // The login made a new, empty web: nothing of the former one is there.
            QVERIFY(!revisions(kMaster).contains(QStringLiteral("keep")));
            QVERIFY(fresh.run(QStringLiteral("restoreBackup ") + backupFile));
            // Quitting meanwhile waits for the restore: a server left on half
            // its data would be worse than a console that quits late.
            QVERIFY(fresh.run(QStringLiteral("quit")));
            QVERIFY(fresh.finished(kBackupWaitMs));
            QCOMPARE(fresh.exitCode(), 0);
        }
        Console console(m_home.path(), m_resources);
        QVERIFY(console.upAndLoggedIn());
        QVERIFY(finished(console, "Restored"));
        // The empty folder it replaced is kept aside, not deleted.
        const QStringList aside =
            QFileInfo(dataFolder())
                .dir()
                .entryList({QStringLiteral("com.trevokapp.TrevokServer.before-restore-*")},
                           QDir::Dirs);
        QCOMPARE(aside.size(), 1);

        // Everything acknowledged before the backup, with its winning revision.
        for (auto it = before.cbegin(); it != before.cend(); ++it) {
            const QMap<QString, QString> now = revisions(it.key());
            for (auto doc = it->cbegin(); doc != it->cend(); ++doc)
                QVERIFY2(
                    now.value(doc.key()) == doc.value(),
                    qPrintable(QStringLiteral("%1/%2: %3, was %4")
                                   .arg(it.key(), doc.key(), now.value(doc.key()), doc.value())));
        }
        QVERIFY(!conflicts(kMaster, QStringLiteral("clash")).isEmpty());
        QVERIFY(!conflicts(projectDB, QStringLiteral("clash")).isEmpty());
        QCOMPARE(TestServer::request("GET", QStringLiteral("/_session"), {}, QStringLiteral("ann"),
                                     QStringLiteral("ann-pw"))
                     .json()
                     .object()
                     .value(QStringLiteral("userCtx"))
                     .toObject()
                     .value(QStringLiteral("name"))
                     .toString(),
                 QStringLiteral("ann"));

        // The devices sync again. Ben's still holds "gone" as it was before
        // the deletion: it must stay deleted. Ann's write since the backup
        // comes back from her device and reaches ben.
        auto ann = client(console, QStringLiteral("ann"), m_annDir);
        auto ben = client(console, QStringLiteral("ben"), m_benDir);
        QVERIFY(ann->isReady() && ben->isReady());
        QVERIFY(ben->waitFor(QStringLiteral("after"), false, 30000));
        QVERIFY(ben->waitFor(QStringLiteral("gone"), true, 30000));
        QVERIFY(ben->put(note(QStringLiteral("late"), QStringLiteral("after the restore"), project))
                    .value(QStringLiteral("ok"))
                    .toBool());
        QVERIFY(ann->waitFor(QStringLiteral("late"), false, 30000));
        QTest::qWait(kQuietMs);
        for (const QString& db : {kMaster, projectDB, QStringLiteral("trevok_user_db_ann"),
                                  QStringLiteral("trevok_user_db_ben")})
            QVERIFY2(deletedOnServer(db, QStringLiteral("gone")), qPrintable(db));
        QVERIFY(ann->get(QStringLiteral("gone")).isEmpty());
        ann.reset();
        ben.reset();

        // A daily backup chosen while logged in runs later without a login,
        // under an account of its own.
        QTemporaryDir daily;
        QVERIFY(console.run(QStringLiteral("backUpDaily 00:00 ") + daily.path()));
        const QString accountFile =
            m_home.path() + QStringLiteral("/config/com.trevokapp/backup-account.json");
        QTRY_VERIFY(QFileInfo::exists(accountFile));
        QCOMPARE(QFileInfo(accountFile).permissions() &
                     ~(QFile::ReadOwner | QFile::WriteOwner | QFile::ReadUser | QFile::WriteUser),
                 QFileDevice::Permissions());
        QVERIFY(console.run(QStringLiteral("quit")));
        QVERIFY(console.finished(30000));
        {
            QSettings settings(m_home.path() +
                                   QStringLiteral("/config/com.trevokapp/TrevokServer.ini"),
                               QSettings::IniFormat);
            settings.setValue(QStringLiteral("Backup/LastAttempt"),
                              QDateTime::currentDateTimeUtc().addDays(-2).toString(Qt::ISODate));
        }
        Console later(m_home.path(), m_resources);
        QVERIFY(later.up());
        QTRY_VERIFY_WITH_TIMEOUT(
            QDir(daily.path())
                    .entryList({QStringLiteral("trevok-backup-*.tbk")}, QDir::Files)
                    .size() == 1,
            60000);
        QVERIFY(finished(later, "Backed up"));
        QCOMPARE(later.state().value(QStringLiteral("logedIn")).toInt(), 0);
        QVERIFY(later.run(QStringLiteral("quit")));
        QVERIFY(later.finished(30000));
    }
};

QTEST_GUILESS_MAIN(TestBackup)
#include "tst_backup.moc"
