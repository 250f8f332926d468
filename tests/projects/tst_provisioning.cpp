#include "app/WebRepair.h"
#include "projects/ProjectProvisioning.h"
#include "records/MasterModel.h"
#include "store/CouchDatabase.h"
#include "store/CouchServer.h"
#include "tests/harness/TestServer.h"
#include "users/UserProvisioning.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QSignalSpy>
#include <QTest>

using namespace trevok;
using namespace trevok::test;

namespace {

QJsonArray replicatorRows() {
    return TestServer::getJson(QStringLiteral("/_replicator/_all_docs?include_docs=true"))
        .object()
        .value(QStringLiteral("rows"))
        .toArray();
}

// The IDs of the replications from `source` to `target`.
QStringList replications(const QString& source, const QString& target) {
    QStringList ids;
    for (const QJsonValue row : replicatorRows()) {
        const QJsonObject doc = row.toObject().value(QStringLiteral("doc")).toObject();
        if (doc.value(QStringLiteral("source")) == QJsonValue(source) &&
            doc.value(QStringLiteral("target")) == QJsonValue(target))
            ids.append(doc.value(QStringLiteral("_id")).toString());
    }
    return ids;
}

int removeDocument(const QString& path) {
    const QString rev = TestServer::getJson(path).object().value(QStringLiteral("_rev")).toString();
    return TestServer::request("DELETE", path + QStringLiteral("?rev=") + rev).status;
}

// The sequence of each database: unchanged when nothing was written.
QString sequences(const QStringList& databases) {
    QStringList seqs;
    for (const QString& db : databases)
        seqs.append(TestServer::getJson(QLatin1Char('/') + db)
                        .object()
                        .value(QStringLiteral("update_seq"))
                        .toVariant()
                        .toString());
    return seqs.join(QLatin1Char(' '));
}

} // namespace

// The provisioning of users, projects and memberships with plain values
// against the real server: each operation makes sure its pieces are so,
// whatever an earlier, stopped run left behind.
class TestProvisioning : public QObject {
    Q_OBJECT

    TestServer m_server;
    std::unique_ptr<CouchServer> m_couch;
    StoreSession m_session;
    int m_count = 0;

    QString fresh(const char* prefix) { return QLatin1String(prefix) + QString::number(++m_count); }

private Q_SLOTS:
    void initTestCase() {
        QVERIFY(m_server.start());
        QVERIFY(TestServer::createDatabase(masterDatabaseName()));
        const QJsonObject view{{QStringLiteral("map"), kAllProjectsMap}};
        QCOMPARE(
            TestServer::request(
                "PUT", QStringLiteral("/trevok_master/_design/projectmeta"),
                QJsonDocument(QJsonObject{{QStringLiteral("views"),
                                           QJsonObject{{QStringLiteral("all_projects"), view}}}})
                    .toJson())
                .status,
            201);
        m_couch = std::make_unique<CouchServer>(QUrl(TestServer::url()));
        m_couch->setCredential(QStringLiteral("admin"), TestServer::adminPassword());
        m_session = {m_couch.get(), m_couch->databaseNamed(QStringLiteral("_users")),
                     m_couch->databaseNamed(QStringLiteral("_replicator")),
                     m_couch->databaseNamed(masterDatabaseName())};
    }

    void aUserIsMadeWholeFromAnyHalfState_data() {
        QTest::addColumn<QString>("broken");
        QTest::newRow("nothing") << QString();
        QTest::newRow("database") << QStringLiteral("database");
        QTest::newRow("security") << QStringLiteral("security");
        QTest::newRow("design") << QStringLiteral("design");
        QTest::newRow("replication") << QStringLiteral("replication");
    }
    void aUserIsMadeWholeFromAnyHalfState() {
        QFETCH(QString, broken);
        const QString name = fresh("user");
        const QString db = QStringLiteral("trevok_user_db_") + name;
        Provisioned made = users::createUserAndWait(
            m_session, {name, QStringLiteral("F"), QStringLiteral("L"), QStringLiteral("pw")}, {});
        QVERIFY2(made.ok(), qPrintable(made.failureText()));
        // The same user a second time: his document is there, nothing else is touched.
        QVERIFY(
            !users::createUserAndWait(m_session, {name, {}, {}, QStringLiteral("other")}, {}).ok());

        if (broken == QLatin1String("database")) {
            const QString replication = replications(db, masterDatabaseName()).value(0);
            QCOMPARE(TestServer::request("DELETE", QLatin1Char('/') + db).status, 200);
            // The server has stopped the replication from it by the time the
            // repair runs, as when an administrator deletes one by hand; else
            // the second run would find it stopped and rightly write it anew.
            QTRY_COMPARE_WITH_TIMEOUT(
                TestServer::getJson(QStringLiteral("/_replicator/") + replication)
                    .object()
                    .value(QStringLiteral("_replication_state"))
                    .toString(),
                QStringLiteral("error"), 15000);
        } else if (broken == QLatin1String("security"))
            QCOMPARE(TestServer::request("PUT",
                                         QLatin1Char('/') + db + QStringLiteral("/_security"), "{}")
                         .status,
                     200);
        else if (broken == QLatin1String("design"))
            QCOMPARE(removeDocument(QLatin1Char('/') + db + QStringLiteral("/_design/security")),
                     200);
        else if (broken == QLatin1String("replication"))
            QCOMPARE(removeDocument(QStringLiteral("/_replicator/") +
                                    replications(db, masterDatabaseName()).value(0)),
                     200);

        made = users::ensureUserWebAndWait(m_session, name, {});
        QVERIFY2(made.ok(), qPrintable(made.failureText()));
        QCOMPARE(made.mended.isEmpty(), broken.isEmpty());
        QCOMPARE(TestServer::getJson(QLatin1Char('/') + db + QStringLiteral("/_security"))
                     .object()
                     .value(QStringLiteral("readers"))
                     .toObject()
                     .value(QStringLiteral("names")),
                 QJsonValue(QJsonArray{name}));
        QVERIFY(TestServer::getJson(QLatin1Char('/') + db + QStringLiteral("/_design/security"))
                    .object()
                    .contains(QStringLiteral("validate_doc_update")));
        QCOMPARE(replications(db, masterDatabaseName()).size(), 1);

        // Whole: run again, it reads and writes nothing.
        // (The server itself writes the replication documents as they run.)
        const QString before = sequences({db});
        const QStringList replicationIDs = replications(db, masterDatabaseName());
        made = users::ensureUserWebAndWait(m_session, name, {});
        QVERIFY(made.ok() && made.mended.isEmpty());
        QCOMPARE(sequences({db}), before);
        QCOMPARE(replications(db, masterDatabaseName()), replicationIDs);

        // Deleting completes whatever an earlier deletion left.
        QVERIFY(users::deleteUserAndWait(m_session, name).ok());
        QVERIFY(users::deleteUserAndWait(m_session, name).ok());
        QCOMPARE(TestServer::request("GET", QLatin1Char('/') + db).status, 404);
        QVERIFY(replications(db, masterDatabaseName()).isEmpty());
    }

    void aProjectIsMadeWholeFromAnyHalfState_data() {
        QTest::addColumn<QString>("broken");
        QTest::newRow("nothing") << QString();
        QTest::newRow("security") << QStringLiteral("/DB/_security");
        QTest::newRow("projectmeta") << QStringLiteral("/DB/_design/projectmeta");
        QTest::newRow("master filter") << QStringLiteral("/trevok_master/_design/STEM");
        QTest::newRow("pull") << QStringLiteral("pull");
        QTest::newRow("push") << QStringLiteral("push");
        QTest::newRow("member") << QStringLiteral("member");
    }
    void aProjectIsMadeWholeFromAnyHalfState() {
        QFETCH(QString, broken);
        const QString member = fresh("member");
        QVERIFY(
            users::createUserAndWait(m_session, {member, {}, {}, QStringLiteral("pw")}, {}).ok());
        projects::ProjectRef project;
        Provisioned made =
            projects::createProjectAndWait(m_session, QStringLiteral("Half Fair %1").arg(m_count),
                                           QStringLiteral("server"), &project);
        QVERIFY2(made.ok(), qPrintable(made.failureText()));
        const QString db = projects::projectDatabaseName(project.stem);
        projects::MemberProjects memberships;
        projects::StoredMembers stored;
        bool changed = false;
        made = projects::addMemberAndWait(m_session, memberships, project.projectID, project.stem,
                                          member, &stored, &changed);
        QVERIFY2(made.ok() && changed, qPrintable(made.failureText()));
        const QString userDB = QStringLiteral("trevok_user_db_") + member;
        // Added again: already so, one replication.
        made = projects::addMemberAndWait(m_session, memberships, project.projectID, project.stem,
                                          member, &stored, &changed);
        QVERIFY(made.ok() && !changed && made.mended.isEmpty());
        QCOMPARE(stored.members, QStringList{member});
        QCOMPARE(replications(db, userDB).size(), 1);

        QString path = broken;
        path.replace(QStringLiteral("DB"), db).replace(QStringLiteral("STEM"), project.stem);
        if (broken == QLatin1String("pull"))
            path =
                QStringLiteral("/_replicator/") + replications(db, masterDatabaseName()).value(0);
        else if (broken == QLatin1String("push"))
            path =
                QStringLiteral("/_replicator/") + replications(masterDatabaseName(), db).value(0);
        else if (broken == QLatin1String("member"))
            path = QStringLiteral("/_replicator/") + replications(db, userDB).value(0);
        if (path.endsWith(QLatin1String("_security")))
            QCOMPARE(TestServer::request("PUT", path, "{}").status, 200);
        else if (!path.isEmpty())
            QCOMPARE(removeDocument(path), 200);

        made = projects::ensureProjectWebAndWait(m_session, project, {member});
        QVERIFY2(made.ok(), qPrintable(made.failureText()));
        QCOMPARE(made.mended.isEmpty(), broken.isEmpty());
        QCOMPARE(replications(db, masterDatabaseName()).size(), 1);
        QCOMPARE(replications(masterDatabaseName(), db).size(), 1);
        QCOMPARE(replications(db, userDB).size(), 1);
        const QJsonObject meta =
            TestServer::getJson(QLatin1Char('/') + db + QStringLiteral("/_design/projectmeta"))
                .object();
        QCOMPARE(meta.value(QStringLiteral("filters")).toObject().size(), 2);
        QVERIFY(TestServer::getJson(QStringLiteral("/trevok_master/_design/") + project.stem)
                    .object()
                    .value(QStringLiteral("filters"))
                    .toObject()
                    .contains(QStringLiteral("master_to_project_filter")));
        const QString before = sequences({db});
        QVERIFY(projects::ensureProjectWebAndWait(m_session, project, {member}).mended.isEmpty());
        QCOMPARE(sequences({db}), before);

        // Removing him, twice: no replication to him is left, the others stay.
        for (int run = 0; run < 2; ++run)
            QVERIFY(projects::removeMemberAndWait(m_session, memberships, project.projectID,
                                                  project.stem, member, &stored)
                        .ok());
        QVERIFY(stored.members.isEmpty());
        QVERIFY(replications(db, userDB).isEmpty());
        QCOMPARE(replications(db, masterDatabaseName()).size(), 1);
    }

    // The login's pass over the web: what a record calls for is mended,
    // what has none is listed and removed only when asked.
    void theRepairMendsWhatHasARecordAndListsTheRest() {
        const QString user = fresh("repaired");
        const QString userDB = QStringLiteral("trevok_user_db_") + user;
        QVERIFY(users::createUserAndWait(m_session, {user, {}, {}, QStringLiteral("pw")}, {}).ok());
        QCOMPARE(removeDocument(QStringLiteral("/_replicator/") +
                                replications(userDB, masterDatabaseName()).value(0)),
                 200);
        QVERIFY(TestServer::createDatabase(QStringLiteral("trevok_user_db_nobody")));
        QVERIFY(TestServer::createDatabase(QStringLiteral("trevok_project_halfmade")));
        QVERIFY(TestServer::putDocument(
            QStringLiteral("_replicator"), QStringLiteral("stray"),
            R"({"source":"trevok_master","target":"trevok_project_gone","continuous":true})"));

        WebRepair repair(m_session);
        QSignalSpy audited(&repair, &WebRepair::audited);
        const auto auditNow = [&] {
            QStringList names;
            for (CouchDatabase* db :
                 m_couch->getDatabasesAndWait().value_or(QList<CouchDatabase*>()))
                names.append(db->name());
            repair.audit(names);
            return audited.wait(30000);
        };
        QVERIFY(auditNow());
        QVERIFY(repair.piecesToMend() >= 1);
        QStringList words;
        for (const WebRepair::Leftover& leftover : repair.leftovers())
            words.append(leftover.words);
        for (const char* name : {"trevok_user_db_nobody", "trevok_project_halfmade", "stray"})
            QVERIFY2(words.join(QLatin1Char('\n')).contains(QLatin1String(name)),
                     qPrintable(words.join(QLatin1Char('\n'))));
        const Provisioned mended = repair.mendAndWait({});
        QVERIFY2(mended.ok(), qPrintable(mended.failureText()));
        QVERIFY(WebRepair::mendedText(mended.mended).startsWith(QLatin1String("Mended 1 thing: ")));
        QCOMPARE(replications(userDB, masterDatabaseName()).size(), 1);

        // Mended: nothing more to do; then the leftovers go when asked.
        QVERIFY(auditNow());
        QCOMPARE(repair.piecesToMend(), 0);
        const QList<WebRepair::Leftover> leftovers = repair.leftovers();
        for (const WebRepair::Leftover& leftover : leftovers)
            QVERIFY(repair.removeAndWait(leftover).ok());
        QVERIFY(auditNow());
        QVERIFY(repair.leftovers().isEmpty());
        QCOMPARE(TestServer::request("GET", QStringLiteral("/trevok_project_halfmade")).status,
                 404);
    }
};

QTEST_GUILESS_MAIN(TestProvisioning)
#include "tst_provisioning.moc"
