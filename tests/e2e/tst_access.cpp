#include "tests/e2e/E2eScenario.h"

#include "services/Alerts.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

using namespace trevok::test;

namespace {
const QString& kMaster = kMasterDatabase;
const QString kFairDB = QStringLiteral("trevok_project_fair");

QJsonObject object(const QString& json) {
    return QJsonDocument::fromJson(json.toUtf8()).object();
}

// A replication-style revision far above anything the web holds.
QString highRevision() {
    return QStringLiteral("90-") + QString(32, QLatin1Char('f'));
}
} // namespace

// Sync clients with ordinary accounts, writing into their own databases the
// way a hostile client would (the client library's own writes and
// replication-style writes that keep the revision they give), against the web
// the console builds: what a user writes travels only into the projects he is
// a member of, and only the console changes the console's own documents.
class TestAccess : public QObject {
    Q_OBJECT

    TestServer m_server;
    E2eConsole m_web;
    QString m_url;
    QString m_fair;  // ann and ben
    QString m_other; // eve
    std::map<QString, std::unique_ptr<SyncClient>> m_clients;
    // What a refused or admitted write must not have reached.
    QStringList m_strays;

    SyncClient& client(const QString& name) { return *m_clients.at(name); }

    // The document as `name` holds it in his database on the server.
    QJsonObject stored(const QString& database, const QString& id) {
        return TestServer::getJson(QLatin1Char('/') + database + QLatin1Char('/') + id).object();
    }

    QJsonObject write(const QString& user, const QJsonObject& doc, bool replicated) {
        QJsonObject command{{QStringLiteral("op"), QStringLiteral("remotePut")},
                            {QStringLiteral("doc"), doc}};
        if (replicated)
            command.insert(QStringLiteral("new_edits"), false);
        return client(user).call(command);
    }

    // `json` with the ids of the web in place of its names.
    QString filled(QString json) {
        return json.replace(QStringLiteral("FAIR"), m_fair)
            .replace(QStringLiteral("OTHER"), m_other)
            .replace(QStringLiteral("HIGHREV"), highRevision())
            .replace(QStringLiteral("DATA"), QString(20000, QLatin1Char('x')));
    }

private Q_SLOTS:
    void initTestCase() {
        QVERIFY(m_server.start());
        trevok::alerts_for_testing::shownFailures().clear();
        QVERIFY(m_web.startAndLogIn());
        m_url = m_web.listenerUrl();
        for (const char* n : {"ann", "ben", "eve"}) {
            const QString name = QString::fromLatin1(n);
            QVERIFY2(m_web.addUser(name, password(name)), n);
        }
        m_fair = m_web.addProject(QStringLiteral("Fair"));
        m_other = m_web.addProject(QStringLiteral("Other"));
        QVERIFY(!m_fair.isEmpty() && !m_other.isEmpty());
        QVERIFY(m_web.addMember(m_fair, QStringLiteral("ann")));
        QVERIFY(m_web.addMember(m_fair, QStringLiteral("ben")));
        QVERIFY(m_web.addMember(m_other, QStringLiteral("eve")));
        for (const char* n : {"ann", "ben", "eve"}) {
            const QString name = QString::fromLatin1(n);
            m_clients[name] = std::make_unique<SyncClient>(m_url, name, password(name));
            QVERIFY(client(name).isReady());
        }
        // A document of the project, as its members share it.
        QVERIFY(client(QStringLiteral("ann"))
                    .put(object(filled(
                        QStringLiteral(R"({"_id":"stand","projectID":"FAIR","text":"cakes"})"))))
                    .value(QStringLiteral("ok"))
                    .toBool());
        QVERIFY(client(QStringLiteral("ben")).waitFor(QStringLiteral("stand"), false, 30000));
        QVERIFY(waitForDocument(userDB(QStringLiteral("ben")), m_fair));
        QVERIFY(trevok::alerts_for_testing::shownFailures().isEmpty());
    }

    void hostileWritesAreRefused_data() {
        QTest::addColumn<QString>("user");
        QTest::addColumn<bool>("replicated");
        QTest::addColumn<QString>("doc");
        const auto row = [](const char* what, const char* user, bool replicated, const char* doc) {
            QTest::newRow(what) << QString::fromLatin1(user) << replicated
                                << QString::fromUtf8(doc);
        };
        row("a stranger writes into a project", "eve", false,
            R"({"_id":"eve-in-fair","projectID":"FAIR","text":"x"})");
        row("a stranger overwrites a project's document", "eve", true,
            R"({"_id":"stand","_rev":"HIGHREV","projectID":"FAIR","text":"x"})");
        row("projectID as a list passes the master's loose comparison", "eve", false,
            R"({"_id":"eve-list","projectID":["FAIR"]})");
        row("a member rewrites his project's record", "ben", true,
            R"({"_id":"FAIR","_rev":"HIGHREV","type":"ProjectInfoDoc","projectID":"FAIR",)"
            R"("title":"Mine","serverDBName":"other","members":["ben","eve"]})");
        row("a member hides his project's record behind another kind", "ben", true,
            R"({"_id":"FAIR","_rev":"HIGHREV","type":"Note"})");
        row("a member deletes his project's record", "ben", true,
            R"({"_id":"FAIR","_rev":"HIGHREV","_deleted":true})");
        row("a user makes a project record of his own", "eve", false,
            R"({"_id":"fake","type":"ProjectInfoDoc","projectID":"OTHER"})");
        row("a user replaces the master record", "eve", true,
            R"({"_id":"trevokMasterID","_rev":"HIGHREV","masterID":"forged","type":"MasterInfoDoc"})");
        row("a deletion carries data into every project", "eve", true,
            R"({"_id":"ghost","_rev":"HIGHREV","_deleted":true,"payload":"DATA"})");
        row("a deletion carries data into a project", "eve", true,
            R"({"_id":"ghost2","_rev":"HIGHREV","_deleted":true,"projectID":"FAIR","payload":"x"})");
    }
    void hostileWritesAreRefused() {
        QFETCH(QString, user);
        QFETCH(bool, replicated);
        QFETCH(QString, doc);
        const QJsonObject body = object(filled(doc));
        QVERIFY(!body.isEmpty());
        const QJsonObject answer = write(user, body, replicated);
        QVERIFY2(answer.value(QStringLiteral("error")).toString() == QStringLiteral("forbidden"),
                 QJsonDocument(answer).toJson(QJsonDocument::Compact).constData());
        QVERIFY(!answer.value(QStringLiteral("reason")).toString().isEmpty());
        m_strays.append(body.value(QStringLiteral("_id")).toString());
    }

    void refusedWritesReachNoOtherDatabase() {
        // A write admitted in the writer's own database that names no project
        // of his stays out of the project as well.
        const QJsonObject unrouted = write(
            QStringLiteral("eve"),
            object(filled(QStringLiteral(R"({"_id":"stand","_rev":"HIGHREV","text":"x"})"))), true);
        QCOMPARE(unrouted.value(QStringLiteral("status")).toInt(), 201);
        QTest::qWait(kQuietMs);
        for (const QString& database : {kFairDB, userDB(QStringLiteral("ann"))}) {
            for (const QString& id : std::as_const(m_strays)) {
                if (id == QStringLiteral("stand") || id == m_fair)
                    continue;
                QVERIFY2(!documentIn(database, id), qPrintable(database + QLatin1Char('/') + id));
            }
            QCOMPARE(stored(database, QStringLiteral("stand")).value(QStringLiteral("text")),
                     QJsonValue(QStringLiteral("cakes")));
        }
        QCOMPARE(client(QStringLiteral("ann"))
                     .get(QStringLiteral("stand"))
                     .value(QStringLiteral("text"))
                     .toString(),
                 QStringLiteral("cakes"));
        for (const QString& database : {kMaster, kFairDB, userDB(QStringLiteral("ann"))}) {
            const QJsonObject record = stored(database, m_fair);
            QCOMPARE(record.value(QStringLiteral("title")).toString(), QStringLiteral("Fair"));
            QCOMPARE(record.value(QStringLiteral("serverDBName")).toString(),
                     QStringLiteral("fair"));
            QVERIFY(!record.value(QStringLiteral("_deleted")).toBool());
        }
        QVERIFY(stored(kMaster, QStringLiteral("trevokMasterID"))
                    .value(QStringLiteral("masterID"))
                    .toString() != QStringLiteral("forged"));
        QVERIFY(!documentIn(kMaster, QStringLiteral("fake")));
        QVERIFY(trevok::alerts_for_testing::shownFailures().isEmpty());
    }

    void membersKeepWritingAndDeleting() {
        SyncClient& ben = client(QStringLiteral("ben"));
        QVERIFY(ben.put(object(filled(
                            QStringLiteral(R"({"_id":"stand","projectID":"FAIR","text":"pies"})"))))
                    .value(QStringLiteral("ok"))
                    .toBool());
        QVERIFY(QTest::qWaitFor(
            [&] {
                return client(QStringLiteral("ann"))
                           .get(QStringLiteral("stand"))
                           .value(QStringLiteral("text")) == QJsonValue(QStringLiteral("pies"));
            },
            15000));
        QVERIFY(ben.remove(QStringLiteral("stand")).value(QStringLiteral("ok")).toBool());
        QVERIFY(client(QStringLiteral("ann")).waitFor(QStringLiteral("stand"), true));
    }

    void aRemovedMemberWritesNoMoreUntilAddedAgain() {
        const auto note = [&](const QString& id) {
            return object(filled(QStringLiteral(R"({"_id":")") + id +
                                 QStringLiteral(R"(","projectID":"FAIR"})")));
        };
        QVERIFY(m_web.removeMember(m_fair, QStringLiteral("ben")));
        QJsonObject answer = write(QStringLiteral("ben"), note(QStringLiteral("late")), false);
        QCOMPARE(answer.value(QStringLiteral("error")).toString(), QStringLiteral("forbidden"));
        QVERIFY(answer.value(QStringLiteral("reason")).toString().contains(m_fair));

        QVERIFY(m_web.addMember(m_fair, QStringLiteral("ben")));
        answer = write(QStringLiteral("ben"), note(QStringLiteral("back")), false);
        QCOMPARE(answer.value(QStringLiteral("status")).toInt(), 201);
        QVERIFY(client(QStringLiteral("ann")).waitFor(QStringLiteral("back")));
        QVERIFY(trevok::alerts_for_testing::shownFailures().isEmpty());
    }

    void anArchivedProjectTakesNoMoreWrites() {
        QVERIFY(m_web.selectProject(m_other));
        trevok::alerts_for_testing::answerNextAlerts(1);
        m_web.app().archiveProject();
        trevok::alerts_for_testing::answerNextAlerts(std::nullopt);
        const QJsonObject answer =
            write(QStringLiteral("eve"),
                  object(filled(QStringLiteral(R"({"_id":"after","projectID":"OTHER"})"))), false);
        QCOMPARE(answer.value(QStringLiteral("error")).toString(), QStringLiteral("forbidden"));
    }

    void cleanupTestCase() { m_clients.clear(); }
};

QTEST_MAIN(TestAccess)
#include "tst_access.moc"
