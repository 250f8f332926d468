#include "tests/e2e/E2eScenario.h"

#include "services/Alerts.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTest>

using namespace trevok::test;

namespace {
const QString& kMaster = kMasterDatabase;
const QString kProjectDB = QStringLiteral("trevok_project_summerfair2015");
} // namespace

// The whole document web with real sync clients through the listener: users,
// a project and its members made through the console; documents written by
// one member's client reach the others, and changes of membership, emptying,
// archiving and deletion take effect while the clients keep syncing. The
// steps build on each other and run in order.
class TestEndToEnd : public QObject {
    Q_OBJECT

    TestServer m_server;
    E2eConsole m_web;
    QString m_url;
    QString m_project;
    std::unique_ptr<SyncClient> m_ann;
    std::unique_ptr<SyncClient> m_anna;
    std::unique_ptr<SyncClient> m_ben;

    std::unique_ptr<SyncClient> client(const QString& name) {
        return std::make_unique<SyncClient>(m_url, name, password(name));
    }

    QJsonObject projectDoc(const QString& id, const QString& text) {
        return {{QStringLiteral("_id"), id},
                {QStringLiteral("projectID"), m_project},
                {QStringLiteral("type"), QStringLiteral("Note")},
                {QStringLiteral("text"), text}};
    }

private Q_SLOTS:
    void initTestCase() {
        QVERIFY(m_server.start());
        trevok::alerts_for_testing::shownFailures().clear();
        QVERIFY(m_web.startAndLogIn());
        m_url = m_web.listenerUrl();
        if (m_web.portCameFromDnsSd())
            qInfo().noquote() << "listener found through its DNS-SD announcement:" << m_url;
        else
            qInfo().noquote() << "listener port taken from the listener:" << m_web.sandboxProblem();
    }

    void usersProjectAndMembersAreMade() {
        for (const char* name : {"ann", "anna", "ben"})
            QVERIFY2(m_web.addUser(QString::fromLatin1(name), password(QString::fromLatin1(name))),
                     name);
        m_project = m_web.addProject(QStringLiteral("Summer Fair 2015!"));
        QVERIFY(!m_project.isEmpty());
        QVERIFY(m_web.addMember(m_project, QStringLiteral("ann")));
        QVERIFY(m_web.addMember(m_project, QStringLiteral("ben")));
        m_ann = client(QStringLiteral("ann"));
        m_anna = client(QStringLiteral("anna"));
        m_ben = client(QStringLiteral("ben"));
        QVERIFY(m_ann->isReady() && m_anna->isReady() && m_ben->isReady());
        QVERIFY(trevok::alerts_for_testing::shownFailures().isEmpty());
    }

    void aMembersDocumentReachesTheOtherMembersOnly() {
        QVERIFY(m_ann->put(projectDoc(QStringLiteral("stand"), QStringLiteral("cakes")))
                    .value(QStringLiteral("ok"))
                    .toBool());
        QVERIFY(waitForDocument(kMaster, QStringLiteral("stand")));
        QVERIFY(waitForDocument(kProjectDB, QStringLiteral("stand")));
        QVERIFY(waitForDocument(userDB(QStringLiteral("ben")), QStringLiteral("stand")));
        QVERIFY(m_ben->waitFor(QStringLiteral("stand")));
        QCOMPARE(m_ben->get(QStringLiteral("stand")).value(QStringLiteral("text")).toString(),
                 QStringLiteral("cakes"));

        // Private information stays in its user's database.
        const QJsonObject info{{QStringLiteral("_id"), QStringLiteral("ann-info")},
                               {QStringLiteral("type"), QStringLiteral("UserInfoDoc")},
                               {QStringLiteral("projectID"), m_project}};
        QVERIFY(m_ann->put(info).value(QStringLiteral("ok")).toBool());
        QVERIFY(waitForDocument(userDB(QStringLiteral("ann")), QStringLiteral("ann-info")));
        QTest::qWait(kQuietMs);
        QVERIFY(!documentIn(kMaster, QStringLiteral("ann-info")));
        QVERIFY(m_ben->get(QStringLiteral("ann-info")).isEmpty());
        // Anna is no member.
        QVERIFY(!documentIn(userDB(QStringLiteral("anna")), QStringLiteral("stand")));
        QVERIFY(m_anna->get(QStringLiteral("stand")).isEmpty());
    }

    void aDeletionTravelsTheSameWay() {
        QVERIFY(m_ann->remove(QStringLiteral("stand")).value(QStringLiteral("ok")).toBool());
        QVERIFY(m_ben->waitFor(QStringLiteral("stand"), true));
        QVERIFY(waitForDocument(kMaster, QStringLiteral("stand"), false));
    }

    void aRemovedMemberReceivesNoMore() {
        QVERIFY(m_web.removeMember(m_project, QStringLiteral("ben")));
        QVERIFY(m_ann->put(projectDoc(QStringLiteral("after-ben"), QStringLiteral("late")))
                    .value(QStringLiteral("ok"))
                    .toBool());
        QVERIFY(waitForDocument(kProjectDB, QStringLiteral("after-ben")));
        QTest::qWait(kQuietMs);
        QVERIFY(!documentIn(userDB(QStringLiteral("ben")), QStringLiteral("after-ben")));
        QVERIFY(m_ben->get(QStringLiteral("after-ben")).isEmpty());
    }

    void emptyingTellsTheRemainingMembers() {
        QVERIFY(m_web.selectProject(m_project));
        trevok::alerts_for_testing::answerNextAlerts(1);
        m_web.app().deleteProject();
        trevok::alerts_for_testing::answerNextAlerts(std::nullopt);
        const QString notice = QStringLiteral("Summer Fair 2015! DeletionNotice");
        QVERIFY(QTest::qWaitFor(
            [&] { return !m_ann->find(QStringLiteral("title"), notice).isEmpty(); }, 20000));
        QCOMPARE(m_ann->find(QStringLiteral("title"), notice)
                     .first()
                     .value(QStringLiteral("wasDeleted"))
                     .toInt(),
                 1);
        QVERIFY(waitForDocument(kMaster, QStringLiteral("after-ben"), false, 20000));
        QVERIFY(m_ann->waitFor(QStringLiteral("after-ben"), true, 20000));
        QVERIFY(trevok::alerts_for_testing::shownFailures().isEmpty());
    }

    void archivingWhileClientsSync() {
        const QString winter = m_web.addProject(QStringLiteral("Winter Market"));
        QVERIFY(!winter.isEmpty());
        QVERIFY(m_web.addMember(winter, QStringLiteral("ann")));
        QVERIFY(m_web.addMember(winter, QStringLiteral("anna")));
        const auto doc = [&](const QString& id) {
            return QJsonObject{{QStringLiteral("_id"), id}, {QStringLiteral("projectID"), winter}};
        };
        QVERIFY(m_ann->put(doc(QStringLiteral("w1"))).value(QStringLiteral("ok")).toBool());
        QVERIFY(m_anna->waitFor(QStringLiteral("w1"), false, 20000));

        QVERIFY(m_web.selectProject(winter));
        trevok::alerts_for_testing::answerNextAlerts(1);
        m_web.app().archiveProject();
        trevok::alerts_for_testing::answerNextAlerts(std::nullopt);
        // The clients go on writing while the copy runs.
        QVERIFY(m_anna->put(doc(QStringLiteral("w2"))).value(QStringLiteral("ok")).toBool());

        const QString archive = QStringLiteral("archived_trevok_project_wintermarket");
        QVERIFY(waitForDocument(archive, winter, true, 30000));
        QVERIFY(m_anna->waitFor(QStringLiteral("w1"), true, 30000));
        QVERIFY(m_ann->waitFor(QStringLiteral("w1"), true, 30000));
        QVERIFY(documentIn(archive, QStringLiteral("w1")));
        const QJsonObject record =
            TestServer::getJson(QLatin1Char('/') + archive + QLatin1Char('/') + winter).object();
        QVERIFY(record.value(QStringLiteral("archived")).toBool());
        QVERIFY(trevok::alerts_for_testing::shownFailures().isEmpty());
    }

    void deletingAProjectAndAUserLeavesTheOthersSyncing() {
        const QString spring = m_web.addProject(QStringLiteral("Spring Walk"));
        QVERIFY(!spring.isEmpty());
        QVERIFY(m_web.addMember(spring, QStringLiteral("ann")));
        QVERIFY(m_web.addMember(spring, QStringLiteral("anna")));
        QVERIFY(m_web.addMember(spring, QStringLiteral("ben")));

        QVERIFY(m_web.selectProject(m_project));
        m_web.app().deleteProjectPermanently();
        QVERIFY(m_web.selectUser(QStringLiteral("ann")));
        trevok::alerts_for_testing::answerNextAlerts(1);
        m_web.app().deleteUser();
        trevok::alerts_for_testing::answerNextAlerts(std::nullopt);
        m_ann.reset();

        for (const QJsonObject& doc : TestServer::documents(QStringLiteral("_replicator"))) {
            for (const char* end : {"source", "target"}) {
                const QString name = doc.value(QString::fromLatin1(end)).toString();
                QVERIFY2(name != kProjectDB && name != userDB(QStringLiteral("ann")),
                         qPrintable(name));
            }
        }
        QVERIFY(TestServer::request("GET", QLatin1Char('/') + kProjectDB).status == 404);
        QVERIFY(
            TestServer::request("GET", QLatin1Char('/') + userDB(QStringLiteral("ann"))).status ==
            404);

        QVERIFY(m_anna
                    ->put({{QStringLiteral("_id"), QStringLiteral("s1")},
                           {QStringLiteral("projectID"), spring}})
                    .value(QStringLiteral("ok"))
                    .toBool());
        QVERIFY(m_ben->waitFor(QStringLiteral("s1"), false, 20000));
        QVERIFY(trevok::alerts_for_testing::shownFailures().isEmpty());
    }

    void noUserReadsAnotherUsersDatabase_data() {
        QTest::addColumn<QString>("user");
        QTest::addColumn<QString>("database");
        QTest::newRow("ann reads ben's") << QStringLiteral("ann") << userDB(QStringLiteral("ben"));
        QTest::newRow("ben reads anna's")
            << QStringLiteral("ben") << userDB(QStringLiteral("anna"));
        QTest::newRow("anonymous reads ann's") << QString() << userDB(QStringLiteral("ann"));
    }
    void noUserReadsAnotherUsersDatabase() {
        QFETCH(QString, user);
        QFETCH(QString, database);
        const QString path = QLatin1Char('/') + segment(database) + QStringLiteral("/_all_docs");
        const int direct =
            TestServer::request("GET", path, {}, user, user.isEmpty() ? QString() : password(user))
                .status;
        QVERIFY2(direct == 401 || direct == 403, qPrintable(QString::number(direct)));
        QNetworkAccessManager manager;
        QNetworkRequest request(QUrl(m_url + path));
        if (!user.isEmpty())
            request.setRawHeader(
                "Authorization",
                "Basic " + (user + QLatin1Char(':') + password(user)).toUtf8().toBase64());
        QNetworkReply* reply = manager.get(request);
        QVERIFY(QTest::qWaitFor([reply] { return reply->isFinished(); }, 10000));
        const int through = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        QVERIFY2(through == 401 || through == 403, qPrintable(QString::number(through)));
        reply->deleteLater();
    }

    void cleanupTestCase() {
        m_ann.reset();
        m_anna.reset();
        m_ben.reset();
    }
};

QTEST_MAIN(TestEndToEnd)
#include "tst_e2e.moc"
