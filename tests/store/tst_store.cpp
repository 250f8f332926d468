#include "store/Couch.h"
#include "store/DocumentRewrite.h"
#include "store/OperationGroup.h"
#include "store/RequestTrickle.h"
#include "tests/harness/TestServer.h"

#include <QCoreApplication>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QTimeZone>

using trevok::test::segment;
using trevok::test::TestServer;

namespace {

// A record model of its own, to check that subclasses get one model per document.
class NoteModel : public CouchModel {
    Q_OBJECT
public:
    explicit NoteModel(CouchDocument* document)
        : CouchModel(document) {}
    QJsonObject propertiesToSave() override {
        if (!hasValue(QStringLiteral("type")))
            setValue(QStringLiteral("type"), QStringLiteral("note"));
        return CouchModel::propertiesToSave();
    }
};

QJsonObject obj(std::initializer_list<std::pair<QString, QJsonValue>> members) {
    QJsonObject o;
    for (const auto& [k, v] : members)
        o.insert(k, v);
    return o;
}

bool rowsHaveID(const QList<CouchQueryRow>& rows, const QString& id) {
    return std::any_of(rows.begin(), rows.end(),
                       [&](const CouchQueryRow& r) { return r.documentID() == id; });
}

QStringList capturedLog;
void captureMessage(QtMsgType, const QMessageLogContext&, const QString& text) {
    capturedLog.append(text);
}

} // namespace

class TestStore : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase();
    void init();

    void unwaitedWritesTakeEffectInOrder();
    void savesAndDeletesEndInTheLastState_data();
    void savesAndDeletesEndInTheLastState();
    void errorTexts_data();
    void errorTexts();
    void silentServerTimesOut();
    void databaseNames_data();
    void databaseNames();
    void documentIDs_data();
    void documentIDs();
    void getDatabasesGivesHandlesNamedByTheirURL();
    void designDocumentSavedTwiceKeepsBoth();
    void unsavedViewDefinitionIsQueried();
    void queryParameters();
    void modelIdentityAcrossReloads();
    void modelAttachedToDatabaseBecomesDocument();
    void oneShotReplicationCompletes();
    void continuousFilteredReplication();
    void passwordsNeverLogged();
    void rewriteStartsFromTheStoredBody_data();
    void rewriteStartsFromTheStoredBody();
    void readsTellMissingFromFailed_data();
    void readsTellMissingFromFailed();
    void securityIsWrittenAndKept();
    void groupCollectsEveryFailure();
    void modelMadeWithoutReadLoadsOnRequest();
    void feedsShareNetworkManagers();
    void trickleKeepsAFewInFlight();
    void liveQueryFollowsOutsideWritesAndRestart(); // restarts the server: keep it last

private:
    std::unique_ptr<CouchServer> adminServer();
    CouchDatabase* freshDatabase(CouchServer* server, const QString& name);

    TestServer m_server;
    std::unique_ptr<CouchServer> m_store;
};

void TestStore::initTestCase() {
    QString resources = qEnvironmentVariable("TREVOK_RESOURCES");
    if (resources.isEmpty())
        resources = QCoreApplication::applicationDirPath() + QStringLiteral("/resources");
    if (!QFile::exists(resources + QStringLiteral("/server-core/bin/couchdb")))
        QSKIP("the bundled server is not installed in the resources folder");
    QVERIFY2(m_server.start(), "the bundled server did not start");
}

void TestStore::cleanupTestCase() {
    m_store.reset();
    m_server.stop();
}

void TestStore::init() {
    m_store = adminServer();
}

std::unique_ptr<CouchServer> TestStore::adminServer() {
    auto server = std::make_unique<CouchServer>(QUrl(TestServer::url()));
    server->setCredential(QStringLiteral("admin"), TestServer::adminPassword());
    return server;
}

CouchDatabase* TestStore::freshDatabase(CouchServer* server, const QString& name) {
    CouchDatabase* db = server->databaseNamed(name);
    db->DELETE()->wait();
    if (!db->create()->wait())
        return nullptr;
    return db;
}

void TestStore::unwaitedWritesTakeEffectInOrder() {
    CouchDatabase* db = freshDatabase(m_store.get(), QStringLiteral("order"));
    QVERIFY(db);
    CouchDocument* counter = db->documentWithID(QStringLiteral("counter"));
    QList<RESTOperationPtr> ops;
    for (int i = 0; i < 200; ++i) {
        // Each write of the same document needs the revision of the one
        // before, which is known only when that one has been answered.
        ops.append(counter->putProperties(obj({{QStringLiteral("n"), i}})));
        ops.append(db->documentWithID(QStringLiteral("d%1").arg(i, 3, 10, QLatin1Char('0')))
                       ->putProperties(obj({{QStringLiteral("n"), i}})));
    }
    auto all = db->getAllDocuments();
    const auto rows = all->rowsAndWait();
    QVERIFY(rows);
    for (const auto& op : ops)
        QVERIFY2(op->isFinished() && op->isSuccessful(), qPrintable(op->error()));
    QCOMPARE(rows->size(), 201);
    const QJsonObject stored = TestServer::getJson(QStringLiteral("/order/counter")).object();
    QCOMPARE(stored.value(QStringLiteral("n")).toInt(), 199);
    QCOMPARE(couchRevisionGeneration(stored.value(QStringLiteral("_rev")).toString()), 200);
    QCOMPARE(counter->currentRevisionID(), stored.value(QStringLiteral("_rev")).toString());
}

void TestStore::savesAndDeletesEndInTheLastState_data() {
    QTest::addColumn<QString>("steps"); // s: save, d: putProperties with _deleted, D: DELETE
    QTest::newRow("save delete") << QStringLiteral("sd");
    QTest::newRow("save delete save") << QStringLiteral("sds");
    QTest::newRow("save save DELETE save DELETE") << QStringLiteral("ssDsD");
    QTest::newRow("save DELETE save save") << QStringLiteral("sDss");
    QTest::newRow("save d s d s") << QStringLiteral("sdsds");
}

void TestStore::savesAndDeletesEndInTheLastState() {
    QFETCH(QString, steps);
    CouchDatabase* db = freshDatabase(m_store.get(), QStringLiteral("mix"));
    QVERIFY(db);
    CouchDocument* doc = db->documentWithID(QStringLiteral("doc"));
    RESTOperationPtr last;
    int n = 0;
    for (const QChar step : steps) {
        if (step == QLatin1Char('s'))
            last = doc->putProperties(obj({{QStringLiteral("n"), ++n}}));
        else if (step == QLatin1Char('d'))
            last = doc->putProperties(obj({{QStringLiteral("_deleted"), true}}));
        else
            last = doc->DELETE();
    }
    QVERIFY2(last->wait(), qPrintable(last->error()));
    const auto reply = TestServer::request("GET", QStringLiteral("/mix/doc"));
    if (steps.endsWith(QLatin1Char('s'))) {
        QCOMPARE(reply.status, 200);
        QCOMPARE(reply.json().object().value(QStringLiteral("n")).toInt(), n);
        QCOMPARE(doc->propertiesAndWait()->value(QStringLiteral("n")).toInt(), n);
    } else {
        QCOMPARE(reply.status, 404);
        QVERIFY(!doc->propertiesAndWait());
    }
}

void TestStore::errorTexts_data() {
    QTest::addColumn<int>("kind");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("error");
    QTest::newRow("no credential")
        << 0 << 401 << QStringLiteral("unauthorized: Authentication required.");
    QTest::newRow("missing document") << 1 << 404 << QStringLiteral("not_found: missing");
    QTest::newRow("conflict") << 2 << 409 << QStringLiteral("conflict: Document update conflict.");
}

void TestStore::errorTexts() {
    QFETCH(int, kind);
    QFETCH(int, status);
    QFETCH(QString, error);
    RESTOperationPtr op;
    if (kind == 0) {
        CouchServer anonymous{QUrl(TestServer::url())};
        QVERIFY(!anonymous.getDatabasesAndWait());
        QCOMPARE(anonymous.error(), error);
        op = anonymous.GET(QStringLiteral("_all_dbs"));
        QVERIFY(!op->wait());
    } else {
        CouchDatabase* db = freshDatabase(m_store.get(), QStringLiteral("errors"));
        QVERIFY(db);
        if (kind == 1) {
            op = db->documentWithID(QStringLiteral("nothing"))->GET();
        } else {
            CouchDocument* doc = db->documentWithID(QStringLiteral("doc"));
            QVERIFY(doc->putProperties(obj({{QStringLiteral("n"), 1}}))->wait());
            // Another client changes it: our revision is stale now.
            QVERIFY(TestServer::putDocument(QStringLiteral("errors"), QStringLiteral("doc"),
                                            QByteArrayLiteral("{\"_rev\":\"") +
                                                doc->currentRevisionID().toUtf8() + "\",\"n\":2}"));
            op = doc->putProperties(obj({{QStringLiteral("n"), 3}}));
        }
        QVERIFY(!op->wait());
    }
    QCOMPARE(op->httpStatus(), status);
    // CouchDB ends the conflict reason with a full stop, the bundled server not.
    QVERIFY2(op->error() == error || op->error() + QLatin1Char('.') == error,
             qPrintable(op->error()));
}

void TestStore::silentServerTimesOut() {
    QTcpServer silent;
    QVERIFY(silent.listen(QHostAddress::LocalHost));
    QList<QTcpSocket*> accepted;
    connect(&silent, &QTcpServer::newConnection, this, [&] {
        while (QTcpSocket* s = silent.nextPendingConnection())
            accepted.append(s); // held open, never answered
    });
    CouchServer server{QUrl(QStringLiteral("http://127.0.0.1:%1").arg(silent.serverPort()))};
    server.setRequestTimeout(300);
    RESTOperationPtr first = server.GET(QStringLiteral("_all_dbs"));
    RESTOperationPtr second = server.databaseNamed(QStringLiteral("x"))->create();
    QElapsedTimer clock;
    clock.start();
    QVERIFY(!first->wait());
    QVERIFY(clock.elapsed() < 5000);
    QCOMPARE(first->httpStatus(), 0);
    QVERIFY2(first->error().contains(QStringLiteral("timed out")), qPrintable(first->error()));
    // The queue goes on after a timeout.
    QVERIFY(!second->wait());
    QVERIFY(second->error().contains(QStringLiteral("timed out")));
    QVERIFY(!accepted.isEmpty());
    QVERIFY(!server.getDatabasesAndWait());
    QVERIFY(server.error().contains(QStringLiteral("timed out")));
}

void TestStore::databaseNames_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("valid"); // the server accepts it as a database name
    QTest::newRow("slash") << QStringLiteral("a/b") << true;
    QTest::newRow("security lookalike") << QStringLiteral("names/_security") << true;
    QTest::newRow("plus") << QStringLiteral("a+b") << true;
    QTest::newRow("dollar parens minus") << QStringLiteral("a$(b)-c_d") << true;
    QTest::newRow("question mark") << QStringLiteral("a?b") << false;
    QTest::newRow("hash") << QStringLiteral("a#b") << false;
    QTest::newRow("percent") << QStringLiteral("a%2fb") << false;
    QTest::newRow("blank") << QStringLiteral("a b") << false;
    QTest::newRow("dot dot") << QStringLiteral("..") << false;
    QTest::newRow("dot dot config") << QStringLiteral("../_config") << false;
    QTest::newRow("upper case") << QStringLiteral("Names") << false;
    QTest::newRow("non-ASCII") << QStringLiteral("zürich") << false;
}

void TestStore::databaseNames() {
    QFETCH(QString, name);
    QFETCH(bool, valid);
    const QByteArray dbsBefore = TestServer::request("GET", QStringLiteral("/_all_dbs")).body;
    const QByteArray configBefore =
        TestServer::request("GET", QStringLiteral("/_config/admins")).body;
    CouchDatabase* db = m_store->databaseNamed(name);
    QCOMPARE(m_store->databaseNamed(name), db);
    QCOMPARE(db->name(), name);
    // One path segment, whatever the name holds.
    QVERIFY(db->url().toEncoded().endsWith(QByteArray("/" + QUrl::toPercentEncoding(name))));
    RESTOperationPtr created = db->create();
    QCOMPARE(created->wait(), valid);
    if (valid) {
        QStringList names;
        for (const QJsonValue& v : TestServer::getJson(QStringLiteral("/_all_dbs")).array())
            names.append(v.toString());
        if (!names.contains(name)) {
            db->DELETE()->wait();
            QSKIP("the bundled server does not keep this name as given");
        }
        CouchDocument* doc = db->documentWithID(QStringLiteral("doc"));
        QVERIFY(doc->putProperties(obj({{QStringLiteral("name"), name}}))->wait());
        const QJsonObject stored =
            TestServer::getJson(QLatin1Char('/') + segment(name) + QStringLiteral("/doc")).object();
        QCOMPARE(stored.value(QStringLiteral("name")).toString(), name);
        QVERIFY(db->DELETE()->wait());
        QCOMPARE(TestServer::request("GET", QLatin1Char('/') + segment(name)).status, 404);
    } else {
        QVERIFY(!created->error().isEmpty());
        // A refused name addresses nothing else.
        QVERIFY(!db->DELETE()->wait());
        QVERIFY(!db->documentWithID(QStringLiteral("doc"))->putProperties({})->wait());
        QVERIFY(!db->GET()->wait());
    }
    QCOMPARE(TestServer::request("GET", QStringLiteral("/_all_dbs")).body, dbsBefore);
    QCOMPARE(TestServer::request("GET", QStringLiteral("/_config/admins")).body, configBefore);
}

void TestStore::documentIDs_data() {
    QTest::addColumn<QString>("id");
    QTest::newRow("slash") << QStringLiteral("a/b");
    QTest::newRow("security lookalike") << QStringLiteral("x/_security");
    QTest::newRow("question mark") << QStringLiteral("a?b=c");
    QTest::newRow("hash") << QStringLiteral("a#b");
    QTest::newRow("percent") << QStringLiteral("a%2Fb%");
    QTest::newRow("blanks") << QStringLiteral(" a b ");
    QTest::newRow("plus") << QStringLiteral("a+b");
    QTest::newRow("dots") << QStringLiteral("../_config");
    QTest::newRow("upper case") << QStringLiteral("UPPER Case");
    QTest::newRow("non-ASCII") << QStringLiteral("org.couchdb.user:Zoë Ünal 東京");
}

void TestStore::documentIDs() {
    QFETCH(QString, id);
    CouchDatabase* db = m_store->databaseNamed(QStringLiteral("ids"));
    db->create()->wait();
    CouchDocument* doc = db->documentWithID(id);
    QCOMPARE(db->documentWithID(id), doc);
    QVERIFY(doc->putProperties(obj({{QStringLiteral("id"), id}}))->wait());
    const auto reply = TestServer::request("GET", QStringLiteral("/ids/") + segment(id));
    QCOMPARE(reply.status, 200);
    QCOMPARE(reply.json().object().value(QStringLiteral("_id")).toString(), id);
    // A fresh handle reads it back through its own URL.
    auto other = adminServer();
    const auto read =
        other->databaseNamed(QStringLiteral("ids"))->documentWithID(id)->propertiesAndWait();
    QVERIFY(read);
    QCOMPARE(read->value(QStringLiteral("id")).toString(), id);
    QVERIFY(doc->DELETE()->wait());
    QCOMPARE(TestServer::request("GET", QStringLiteral("/ids/") + segment(id)).status, 404);
}

void TestStore::getDatabasesGivesHandlesNamedByTheirURL() {
    QVERIFY(freshDatabase(m_store.get(), QStringLiteral("listed+one$")));
    const auto dbs = m_store->getDatabasesAndWait();
    QVERIFY(dbs);
    bool found = false;
    for (CouchDatabase* db : *dbs) {
        const QString last = db->url().path(QUrl::FullyEncoded).section(QLatin1Char('/'), -1);
        QCOMPARE(QUrl::fromPercentEncoding(last.toUtf8()), db->name());
        found = found || db->name() == QStringLiteral("listed+one$");
    }
    QVERIFY(found);
    QVERIFY(m_store->databaseNamed(QStringLiteral("listed+one$"))->DELETE()->wait());
}

void TestStore::designDocumentSavedTwiceKeepsBoth() {
    CouchDatabase* db = freshDatabase(m_store.get(), QStringLiteral("design"));
    QVERIFY(db);
    // Someone else's member of the same design document stays.
    QVERIFY(TestServer::putDocument(QStringLiteral("design"), QStringLiteral("_design/meta"),
                                    QByteArrayLiteral("{\"lists\":{\"keep\":\"x\"}}")));
    CouchDesignDocument* design = db->designDocumentWithName(QStringLiteral("meta"));
    QCOMPARE(design->documentID(), QStringLiteral("_design/meta"));
    design->defineViewNamed(QStringLiteral("v1"),
                            QStringLiteral("function(doc){emit(doc._id,null);}"));
    RESTOperationPtr first = design->saveChanges(); // not waited for
    design->defineFilterNamed(QStringLiteral("f1"),
                              QStringLiteral("function(doc,req){return true;}"));
    QVERIFY2(design->saveChanges()->wait(), qPrintable(design->saveChanges()->error()));
    QVERIFY(first->isSuccessful());
    const QJsonObject stored = TestServer::getJson(QStringLiteral("/design/_design/meta")).object();
    QCOMPARE(stored.value(QStringLiteral("views"))
                 .toObject()
                 .value(QStringLiteral("v1"))
                 .toObject()
                 .value(QStringLiteral("map"))
                 .toString(),
             QStringLiteral("function(doc){emit(doc._id,null);}"));
    QCOMPARE(
        stored.value(QStringLiteral("filters")).toObject().value(QStringLiteral("f1")).toString(),
        QStringLiteral("function(doc,req){return true;}"));
    QVERIFY(stored.contains(QStringLiteral("lists")));
}

void TestStore::unsavedViewDefinitionIsQueried() {
    CouchDatabase* db = freshDatabase(m_store.get(), QStringLiteral("views"));
    QVERIFY(db);
    for (int i = 0; i < 3; ++i)
        db->documentWithID(QStringLiteral("d%1").arg(i))
            ->putProperties(obj({{QStringLiteral("n"), i}}));
    CouchDesignDocument* design = db->designDocumentWithName(QStringLiteral("meta"));
    for (const int wanted : {1, 2}) {
        // Redefined before every use, never saved by the caller.
        design->defineViewNamed(
            QStringLiteral("only"),
            QStringLiteral("function(doc){if(doc.n === %1) emit(doc.n, doc._id);}").arg(wanted));
        auto query = design->queryViewNamed(QStringLiteral("only"));
        const auto rows = query->rowsAndWait();
        QVERIFY2(rows, qPrintable(query->error()));
        QCOMPARE(rows->size(), 1);
        QCOMPARE(rows->at(0).key().toInt(), wanted);
        QCOMPARE(rows->at(0).documentID(), QStringLiteral("d%1").arg(wanted));
    }
}

void TestStore::queryParameters() {
    CouchDatabase* db = freshDatabase(m_store.get(), QStringLiteral("params"));
    QVERIFY(db);
    for (const QString& id :
         {QStringLiteral("a"), QStringLiteral("b+1"), QStringLiteral("c"), QStringLiteral("d")})
        db->documentWithID(id)->putProperties(obj({{QStringLiteral("v"), id}}));
    auto query = db->getAllDocuments();
    query->setDescending(true);
    query->setStartKey(QStringLiteral("c"));
    query->setEndKey(QStringLiteral("b+1"));
    query->setPrefetch(true);
    const auto rows = query->rowsAndWait();
    QVERIFY(rows);
    QCOMPARE(rows->size(), 2);
    QCOMPARE(rows->at(0).documentID(), QStringLiteral("c"));
    QCOMPARE(rows->at(1).documentID(), QStringLiteral("b+1"));
    QCOMPARE(rows->at(1).documentProperties()->value(QStringLiteral("v")).toString(),
             QStringLiteral("b+1"));
    CouchDocument* doc = rows->at(1).document();
    QCOMPARE(doc, db->documentWithID(QStringLiteral("b+1")));
    QVERIFY(doc->hasCachedProperties());
    QCOMPARE(doc->cachedProperties()->value(QStringLiteral("v")).toString(), QStringLiteral("b+1"));
}

void TestStore::modelIdentityAcrossReloads() {
    CouchDatabase* db = freshDatabase(m_store.get(), QStringLiteral("models"));
    QVERIFY(db);
    QVERIFY(db->documentWithID(QStringLiteral("n1"))
                ->putProperties(obj({{QStringLiteral("t"), 1}}))
                ->wait());
    auto live = db->getAllDocuments()->asLiveQuery();
    live->setPrefetch(true);
    QSignalSpy spy(live.get(), &CouchQuery::rowsChanged);
    live->start();
    QTRY_VERIFY(spy.count() >= 1);
    NoteModel* model =
        CouchModel::modelForDocument<NoteModel>(live->currentRows().at(0).document());
    QVERIFY(model);
    QCOMPARE(model->getValue(QStringLiteral("t")).toInt(), 1);
    QSignalSpy changed(model, &CouchModel::changed);
    const QString rev = model->document()->currentRevisionID();
    QVERIFY(
        TestServer::putDocument(QStringLiteral("models"), QStringLiteral("n1"),
                                QByteArrayLiteral("{\"_rev\":\"") + rev.toUtf8() + "\",\"t\":2}"));
    QTRY_COMPARE(model->getValue(QStringLiteral("t")).toInt(), 2);
    QVERIFY(changed.count() >= 1);
    QCOMPARE(CouchModel::modelForDocument<NoteModel>(live->currentRows().at(0).document()), model);
    QCOMPARE(db->documentWithID(QStringLiteral("n1"))->modelObject(), model);
    // A further model of the same document is another object.
    CouchModel further(db->documentWithID(QStringLiteral("n1")));
    QVERIFY(&further != model);
    QCOMPARE(further.getValue(QStringLiteral("t")).toInt(), 2);
    QCOMPARE(db->documentWithID(QStringLiteral("n1"))->modelObject(), model);
    // Unsaved changes are not overwritten by a reload.
    model->setValue(QStringLiteral("mine"), true);
    QVERIFY(model->needsSave());
    QVERIFY(model->save()->wait());
    QVERIFY(!model->needsSave());
    const QJsonObject stored = TestServer::getJson(QStringLiteral("/models/n1")).object();
    QCOMPARE(stored.value(QStringLiteral("type")).toString(), QStringLiteral("note"));
    QCOMPARE(stored.value(QStringLiteral("t")).toInt(), 2);
    QCOMPARE(stored.value(QStringLiteral("mine")).toBool(), true);
}

void TestStore::modelAttachedToDatabaseBecomesDocument() {
    CouchDatabase* db = freshDatabase(m_store.get(), QStringLiteral("newmodels"));
    QVERIFY(db);
    auto* model = new NoteModel(nullptr);
    QVERIFY(model->isNew());
    model->setAutosaves(true);
    const QDateTime when = QDateTime(QDate(2015, 3, 4), QTime(5, 6, 7, 89), Qt::UTC);
    model->setDateValue(QStringLiteral("created"), when);
    model->setValue(QStringLiteral("title"), QStringLiteral("x"));
    model->setDatabase(db);
    QVERIFY(model->document());
    const QString id = model->document()->documentID();
    QVERIFY(!id.isEmpty());
    QCOMPARE(CouchModel::modelForDocument<NoteModel>(model->document()), model);
    // Autosave writes it shortly.
    QTRY_COMPARE(TestServer::request("GET", QStringLiteral("/newmodels/") + segment(id)).status,
                 200);
    QTRY_VERIFY(!model->isNew());
    const QJsonObject stored =
        TestServer::getJson(QStringLiteral("/newmodels/") + segment(id)).object();
    QCOMPARE(stored.value(QStringLiteral("created")).toString(),
             QStringLiteral("2015-03-04T05:06:07.089Z"));
    QCOMPARE(model->dateValue(QStringLiteral("created")), when);
    QCOMPARE(stored.value(QStringLiteral("type")).toString(), QStringLiteral("note"));
    // An autosaved change follows.
    model->setValue(QStringLiteral("title"), QStringLiteral("y"));
    QTRY_COMPARE(TestServer::getJson(QStringLiteral("/newmodels/") + segment(id))
                     .object()
                     .value(QStringLiteral("title"))
                     .toString(),
                 QStringLiteral("y"));
    // Detaching deletes the document.
    model->setDatabase(nullptr);
    QTRY_COMPARE(TestServer::request("GET", QStringLiteral("/newmodels/") + segment(id)).status,
                 404);
}

void TestStore::oneShotReplicationCompletes() {
    CouchDatabase* source = freshDatabase(m_store.get(), QStringLiteral("rep_source"));
    CouchDatabase* target = freshDatabase(m_store.get(), QStringLiteral("rep_target"));
    QVERIFY(source && target);
    for (int i = 0; i < 5; ++i)
        source->documentWithID(QStringLiteral("d%1").arg(i))
            ->putProperties(obj({{QStringLiteral("n"), i}}));
    CouchPersistentReplication* rep =
        source->replicationToDatabaseAtURL(QStringLiteral("rep_target"));
    QSignalSpy completed(rep, &CouchPersistentReplication::completedChanged);
    QSignalSpy mode(rep, &CouchPersistentReplication::modeChanged);
    QTRY_COMPARE_WITH_TIMEOUT(rep->state(), int(CouchPersistentReplication::StateCompleted), 20000);
    QCOMPARE(rep->completed(), 5);
    QVERIFY(completed.count() >= 1);
    QVERIFY(mode.count() >= 1);
    QCOMPARE(rep->mode(), int(CouchPersistentReplication::ModeStopped));
    QCOMPARE(TestServer::getJson(QStringLiteral("/rep_target/_all_docs"))
                 .object()
                 .value(QStringLiteral("rows"))
                 .toArray()
                 .size(),
             5);
    const QJsonObject doc = TestServer::getJson(QStringLiteral("/_replicator/") +
                                                segment(rep->document()->documentID()))
                                .object();
    QCOMPARE(doc.value(QStringLiteral("source")).toString(), QStringLiteral("rep_source"));
    QCOMPARE(doc.value(QStringLiteral("target")).toString(), QStringLiteral("rep_target"));
    // Its document can be deleted with the revision the handle followed.
    QVERIFY(rep->document()->DELETE()->wait());
}

void TestStore::continuousFilteredReplication() {
    CouchDatabase* source = freshDatabase(m_store.get(), QStringLiteral("crep_source"));
    CouchDatabase* target = freshDatabase(m_store.get(), QStringLiteral("crep_target"));
    QVERIFY(source && target);
    CouchDesignDocument* design = source->designDocumentWithName(QStringLiteral("f"));
    design->defineFilterNamed(
        QStringLiteral("pass"),
        QStringLiteral("function(doc, req) { return doc.type !== 'secret'; }"));
    QVERIFY(design->saveChanges()->wait());
    const QList<CouchPersistentReplication*> pair =
        target->replicateWithURL(QStringLiteral("crep_source"), false);
    QCOMPARE(pair.size(), 2);
    QCOMPARE(pair[0]->source(), QStringLiteral("crep_source"));
    QCOMPARE(pair[0]->target(), QStringLiteral("crep_target"));
    QCOMPARE(pair[1]->source(), QStringLiteral("crep_target"));
    CouchPersistentReplication* pull = pair[0];
    pull->setFilter(QStringLiteral("f/pass"));
    RESTOperationPtr written = pull->start();
    QVERIFY(written->wait());
    // The very first revision of the replication document already had it all.
    const QString firstRev =
        written->responseBody().toObject().value(QStringLiteral("rev")).toString();
    QCOMPARE(couchRevisionGeneration(firstRev), 1);
    const QJsonObject first = TestServer::getJson(QStringLiteral("/_replicator/") +
                                                  segment(pull->document()->documentID()) +
                                                  QStringLiteral("?rev=") + firstRev)
                                  .object();
    QCOMPARE(first.value(QStringLiteral("filter")).toString(), QStringLiteral("f/pass"));
    QCOMPARE(first.value(QStringLiteral("continuous")).toBool(), true);
    QTRY_COMPARE_WITH_TIMEOUT(pull->state(), int(CouchPersistentReplication::StateTriggered),
                              10000);

    source->documentWithID(QStringLiteral("hidden"))
        ->putProperties(obj({{QStringLiteral("type"), QStringLiteral("secret")}}));
    source->documentWithID(QStringLiteral("shown"))
        ->putProperties(obj({{QStringLiteral("type"), QStringLiteral("open")}}));
    QTRY_COMPARE_WITH_TIMEOUT(
        TestServer::request("GET", QStringLiteral("/crep_target/shown")).status, 200, 15000);
    QCOMPARE(TestServer::request("GET", QStringLiteral("/crep_target/hidden")).status, 404);
    for (CouchPersistentReplication* rep : pair)
        QVERIFY(rep->document()->DELETE()->wait());
}

void TestStore::passwordsNeverLogged() {
    const int restLevel = gRESTLogLevel;
    const int couchLevel = gCouchLogLevel;
    gRESTLogLevel = 3;
    gCouchLogLevel = 3;
    capturedLog.clear();
    const QtMessageHandler previous = qInstallMessageHandler(captureMessage);
    const QString secret = QStringLiteral("s3cr3t-Pässword");
    CouchServer server{QUrl(TestServer::url())};
    server.setCredential(QStringLiteral("admin"), secret); // wrong: every request fails
    server.getDatabasesAndWait();
    server.databaseNamed(QStringLiteral("_users"))
        ->documentWithID(QStringLiteral("org.couchdb.user:nobody"))
        ->putProperties(obj({{QStringLiteral("password"), secret}}))
        ->wait();
    m_store->childWithPath(QStringLiteral("_config/admins/nobody"))->PUTJSON(secret)->wait();
    m_store->childWithPath(QStringLiteral("_config/admins/nobody"))->DELETE()->wait();
    qInstallMessageHandler(previous);
    gRESTLogLevel = restLevel;
    gCouchLogLevel = couchLevel;
    QVERIFY(!capturedLog.isEmpty());
    const QByteArray basic = (QStringLiteral("admin:") + secret).toUtf8().toBase64();
    for (const QString& line : std::as_const(capturedLog)) {
        QVERIFY2(!line.contains(secret), qPrintable(line));
        QVERIFY2(!line.contains(QString::fromLatin1(basic)), qPrintable(line));
    }
}

// Each case: whether the document exists, how many other writes land between
// the rewrite's read and its write, how many reads it may make, and what
// comes of it. A write that lands meanwhile is kept, never undone.
void TestStore::rewriteStartsFromTheStoredBody_data() {
    QTest::addColumn<bool>("exists");
    QTest::addColumn<int>("interference");
    QTest::addColumn<int>("attempts");
    QTest::addColumn<bool>("change");
    QTest::addColumn<int>("result");
    QTest::addColumn<QString>("errorStart");
    QTest::addColumn<bool>("waits");
    const auto r = [](Rewrite v) { return static_cast<int>(v); };
    for (const bool waits : {true, false}) {
        const char* form = waits ? "waiting" : "not waiting";
        QTest::addRow("plain, %s", form)
            << true << 0 << 2 << true << r(Rewrite::Written) << QString() << waits;
        QTest::addRow("one write meanwhile, read again, %s", form)
            << true << 1 << 2 << true << r(Rewrite::Written) << QString() << waits;
        QTest::addRow("keeps changing, %s", form)
            << true << 3 << 3 << true << r(Rewrite::Failed)
            << QStringLiteral("conflict: the document kept changing") << waits;
        QTest::addRow("left alone, %s", form)
            << true << 0 << 2 << false << r(Rewrite::Unchanged) << QString() << waits;
        QTest::addRow("missing, %s", form)
            << false << 0 << 2 << true << r(Rewrite::Gone) << QString() << waits;
    }
}

void TestStore::rewriteStartsFromTheStoredBody() {
    QFETCH(bool, exists);
    QFETCH(int, interference);
    QFETCH(int, attempts);
    QFETCH(bool, change);
    QFETCH(int, result);
    QFETCH(QString, errorStart);
    QFETCH(bool, waits);
    CouchDatabase* db = freshDatabase(m_store.get(), QStringLiteral("rewrite"));
    QVERIFY(db);
    CouchDocument* doc = db->documentWithID(QStringLiteral("doc"));
    if (exists)
        QVERIFY(doc->putProperties(obj({{QStringLiteral("kept"), 0}}))->wait());
    // Someone else's writes, each between one of the rewrite's reads and its
    // write, through a second connection.
    std::unique_ptr<CouchServer> other = adminServer();
    CouchDocument* otherDoc =
        other->databaseNamed(QStringLiteral("rewrite"))->documentWithID(QStringLiteral("doc"));
    int interfered = 0;
    bool theirsWritten = true;
    QString error;
    const RewriteChange edit = [&](QJsonObject& body) {
        if (interfered < interference) {
            ++interfered;
            theirsWritten = theirsWritten && otherDoc->reload()->wait();
            QJsonObject theirs = otherDoc->cachedProperties().value_or(QJsonObject());
            theirs.insert(QStringLiteral("kept"), interfered);
            theirsWritten = theirsWritten && otherDoc->putProperties(theirs)->wait();
        }
        if (!change)
            return false;
        body.insert(QStringLiteral("mine"), true);
        return true;
    };
    Rewrite got = Rewrite::Failed;
    if (waits) {
        got = rewriteDocumentAndWait(doc, edit, &error, attempts);
    } else {
        int calls = 0;
        rewriteDocument(doc, edit, attempts, this, [&](Rewrite outcome, const QString& text) {
            ++calls;
            got = outcome;
            error = text;
        });
        QTRY_COMPARE_WITH_TIMEOUT(calls, 1, 10000);
        QCOMPARE(RESTOperation::waitDepth(), 0);
    }
    QVERIFY(theirsWritten);
    QCOMPARE(static_cast<int>(got), result);
    QVERIFY2(error.startsWith(errorStart), qPrintable(error));
    if (got == Rewrite::Written) {
        QVERIFY(doc->reload()->wait());
        const QJsonObject stored = doc->cachedProperties().value_or(QJsonObject());
        QCOMPARE(stored.value(QStringLiteral("mine")), QJsonValue(true));
        QCOMPARE(stored.value(QStringLiteral("kept")).toInt(), interference);
    }
}

// Each case: what is read, through which credential, and what the reader is
// told, both waiting and not.
void TestStore::readsTellMissingFromFailed_data() {
    QTest::addColumn<QString>("database");
    QTest::addColumn<QString>("id");
    QTest::addColumn<bool>("anonymous");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("error");
    QTest::newRow("stored") << "reads"
                            << "there" << false << int(StoredProperties::Found) << QString();
    QTest::newRow("never written")
        << "reads"
        << "absent" << false << int(StoredProperties::Missing) << QString();
    QTest::newRow("deleted") << "reads"
                             << "deleted" << false << int(StoredProperties::Missing) << QString();
    QTest::newRow("no database") << "reads_none"
                                 << "there" << false << int(StoredProperties::Missing) << QString();
    QTest::newRow("refused") << "reads"
                             << "there" << true << int(StoredProperties::Failed)
                             << QStringLiteral("unauthorized: ");
}

void TestStore::readsTellMissingFromFailed() {
    QFETCH(QString, database);
    QFETCH(QString, id);
    QFETCH(bool, anonymous);
    QFETCH(int, status);
    QFETCH(QString, error);
    CouchDatabase* db = freshDatabase(m_store.get(), QStringLiteral("reads"));
    QVERIFY(db);
    m_store->databaseNamed(QStringLiteral("reads_none"))->DELETE()->wait();
    QVERIFY(db->documentWithID(QStringLiteral("there"))
                ->putProperties(obj({{QStringLiteral("n"), 1}}))
                ->wait());
    CouchDocument* deleted = db->documentWithID(QStringLiteral("deleted"));
    QVERIFY(deleted->putProperties(obj({{QStringLiteral("n"), 2}}))->wait());
    QVERIFY(deleted->DELETE()->wait());
    // Only the administrator may read it.
    QVERIFY(db->putSecurity(
                  obj({{QStringLiteral("members"),
                        obj({{QStringLiteral("roles"), QJsonArray{QStringLiteral("_admin")}}})}}))
                ->wait());

    std::unique_ptr<CouchServer> reader =
        anonymous ? std::make_unique<CouchServer>(QUrl(TestServer::url())) : adminServer();
    CouchDocument* doc = reader->databaseNamed(database)->documentWithID(id);
    const StoredProperties waited = doc->readPropertiesAndWait();
    std::optional<StoredProperties> told;
    doc->readProperties(this, [&](const StoredProperties& read) { told = read; });
    QTRY_VERIFY(told.has_value());
    for (const StoredProperties& read : {waited, *told}) {
        QCOMPARE(int(read.status), status);
        QVERIFY2(read.error.startsWith(error) && read.error.isEmpty() == error.isEmpty(),
                 qPrintable(read.error));
        if (read.found())
            QCOMPARE(read.body.value(QStringLiteral("n")).toInt(), 1);
        else
            QVERIFY(read.body.isEmpty());
    }
}

void TestStore::securityIsWrittenAndKept() {
    CouchDatabase* db = freshDatabase(m_store.get(), QStringLiteral("secured"));
    QVERIFY(db);
    QVERIFY(db->documentWithID(QStringLiteral("doc"))->putProperties(QJsonObject())->wait());
    const QJsonObject security{
        {QStringLiteral("admins"),
         obj({{QStringLiteral("names"), QJsonArray()}, {QStringLiteral("roles"), QJsonArray()}})},
        {QStringLiteral("members"),
         obj({{QStringLiteral("names"), QJsonArray()},
              {QStringLiteral("roles"), QJsonArray{QStringLiteral("_admin")}}})}};
    RESTOperationPtr put = db->putSecurity(security);
    QVERIFY2(put->wait(), qPrintable(put->error()));
    RESTOperationPtr read = db->security();
    QVERIFY(read->wait());
    QCOMPARE(read->responseBody().toObject(), security);
    // And the server holds to it: an account without the role reads nothing.
    CouchServer anonymous{QUrl(TestServer::url())};
    const StoredProperties refused = anonymous.databaseNamed(QStringLiteral("secured"))
                                         ->documentWithID(QStringLiteral("doc"))
                                         ->readPropertiesAndWait();
    QCOMPARE(int(refused.status), int(StoredProperties::Failed));
    // A name the server would refuse is refused before any request.
    RESTOperationPtr illegal =
        m_store->databaseNamed(QStringLiteral("Bad Name"))->putSecurity(security);
    QVERIFY(illegal->isFinished());
    QVERIFY(illegal->error().startsWith(QStringLiteral("illegal_database_name")));
}

void TestStore::groupCollectsEveryFailure() {
    CouchDatabase* db = freshDatabase(m_store.get(), QStringLiteral("group"));
    QVERIFY(db);
    QVERIFY(db->documentWithID(QStringLiteral("taken"))->putProperties(QJsonObject())->wait());
    int calls = 0;
    QList<OperationFailure> told;
    const auto tell = [&](const QList<OperationFailure>& failures) {
        ++calls;
        told = failures;
    };
    // A second handle without the revision: its write is refused as a conflict.
    std::unique_ptr<CouchServer> other = adminServer();
    // Nothing is told before the group is closed, however long it takes.
    auto open = OperationGroup::create(this, tell);
    open->add(db->documentWithID(QStringLiteral("fresh"))->putProperties(QJsonObject()),
              QStringLiteral("writing fresh"));
    open->add(other->databaseNamed(QStringLiteral("group"))
                  ->documentWithID(QStringLiteral("taken"))
                  ->PUTJSON(QJsonObject()),
              QStringLiteral("writing taken"));
    open.reset();
    QTest::qWait(300);
    QCOMPARE(calls, 0);

    auto closing = OperationGroup::create(this, tell);
    closing->add(db->documentWithID(QStringLiteral("fresh2"))->putProperties(QJsonObject()),
                 QStringLiteral("writing fresh2"));
    closing->add(other->databaseNamed(QStringLiteral("group"))
                     ->documentWithID(QStringLiteral("taken"))
                     ->PUTJSON(QJsonObject()),
                 QStringLiteral("writing taken"));
    closing->addFailure(QStringLiteral("known before"), QStringLiteral("it failed"));
    closing->add(m_store->databaseNamed(QStringLiteral("group_none"))->GET(),
                 QStringLiteral("reading a database that is not there"));
    closing->close();
    QTRY_COMPARE(calls, 1);
    QCOMPARE(told.size(), 3);
    QCOMPARE(told.at(0),
             (OperationFailure{QStringLiteral("known before"), QStringLiteral("it failed")}));
    QStringList steps;
    for (const OperationFailure& failure : told)
        steps.append(failure.step);
    QVERIFY(steps.contains(QStringLiteral("writing taken")));
    QVERIFY(steps.contains(QStringLiteral("reading a database that is not there")));
    QVERIFY(!steps.contains(QStringLiteral("writing fresh2")));
    // Told once.
    QTest::qWait(100);
    QCOMPARE(calls, 1);

    // A group whose operations all finished before it was closed tells at close.
    int emptyCalls = 0;
    auto empty = OperationGroup::create(this, [&](const QList<OperationFailure>& failures) {
        ++emptyCalls;
        QVERIFY(failures.isEmpty());
    });
    RESTOperationPtr done = db->documentWithID(QStringLiteral("fresh3"))->putProperties({});
    QVERIFY(done->wait());
    empty->add(done, QStringLiteral("writing fresh3"));
    empty->close();
    QCOMPARE(emptyCalls, 1);
}

void TestStore::modelMadeWithoutReadLoadsOnRequest() {
    CouchDatabase* db = freshDatabase(m_store.get(), QStringLiteral("lazy"));
    QVERIFY(db);
    QVERIFY(TestServer::putDocument(QStringLiteral("lazy"), QStringLiteral("note"), "{\"n\":7}"));
    std::unique_ptr<CouchServer> other = adminServer();
    CouchDocument* doc =
        other->databaseNamed(QStringLiteral("lazy"))->documentWithID(QStringLiteral("note"));
    NoteModel model(doc);
    // Made from nothing cached: no request, an empty new model.
    QCOMPARE(other->pendingOperations(), 0);
    QVERIFY(model.isNew());
    QVERIFY(model.properties().isEmpty());
    QCOMPARE(model.storedProperties(), model.properties());
    QCOMPARE(int(model.loadAndWait().status), int(StoredProperties::Found));
    QVERIFY(!model.isNew());
    QCOMPARE(model.getValue(QStringLiteral("n")).toInt(), 7);
    // An unsaved change stays the model's; the stored body stays the document's.
    model.setValue(QStringLiteral("n"), 8);
    QCOMPARE(model.storedProperties().value(QStringLiteral("n")).toInt(), 7);
    QCOMPARE(model.properties().value(QStringLiteral("n")).toInt(), 8);
}

void TestStore::feedsShareNetworkManagers() {
    CouchDatabase* db = freshDatabase(m_store.get(), QStringLiteral("feeds"));
    QVERIFY(db);
    std::unique_ptr<CouchServer> server = adminServer();
    auto base = server->databaseNamed(QStringLiteral("feeds"))->getAllDocuments();
    const int count = 2 * CouchServer::kFeedsPerManager + 1;
    std::vector<std::unique_ptr<CouchLiveQuery>> lives;
    std::vector<std::unique_ptr<QSignalSpy>> spies;
    for (int i = 0; i < count; ++i) {
        lives.push_back(base->asLiveQuery());
        spies.push_back(std::make_unique<QSignalSpy>(lives.back().get(), &CouchQuery::rowsChanged));
        lives.back()->setPrefetch(true);
        lives.back()->start();
    }
    QCOMPARE(server->feedManagerCount(), 3);
    for (int i = 0; i < count; ++i)
        QTRY_COMPARE(spies[i]->count(), 1);
    // Every feed holds a long-poll open; a write reaches each of them.
    QVERIFY(TestServer::putDocument(QStringLiteral("feeds"), QStringLiteral("one"), "{}"));
    for (int i = 0; i < count; ++i)
        QTRY_VERIFY_WITH_TIMEOUT(rowsHaveID(lives[i]->currentRows(), QStringLiteral("one")), 5000);
    lives.resize(CouchServer::kFeedsPerManager);
    QCOMPARE(server->feedManagerCount(), 1);
    lives.clear();
    QCOMPARE(server->feedManagerCount(), 0);
}

// Background requests are issued a few at a time, each as one finishes,
// whatever order they finish in, once each however often an answer says so.
void TestStore::trickleKeepsAFewInFlight() {
    RequestTrickle trickle(2);
    QList<RequestTrickle::Finished> answers;
    QString started;
    const auto recorded = [&](QChar name) {
        return [&, name](RequestTrickle::Finished finished) {
            started.append(name);
            answers.append(std::move(finished));
        };
    };
    for (const QChar name : QStringLiteral("abcde"))
        trickle.add(recorded(name));
    QCOMPARE(started, QStringLiteral("ab"));
    QCOMPARE(trickle.waiting(), 3);
    answers[1]();
    answers[1]();
    QCOMPARE(started, QStringLiteral("abc"));
    answers[0]();
    QCOMPARE(started, QStringLiteral("abcd"));
    // One answered at once, before its start returns.
    trickle.add([&](RequestTrickle::Finished finished) {
        started.append(QLatin1Char('f'));
        finished();
    });
    QCOMPARE(started, QStringLiteral("abcd"));
    answers[2]();
    answers[3]();
    QCOMPARE(started, QStringLiteral("abcdef"));
    QCOMPARE(trickle.inFlight(), 1);
    trickle.add(recorded(QLatin1Char('g')));
    trickle.add(recorded(QLatin1Char('h')));
    trickle.clear();
    answers[4]();
    QCOMPARE(started, QStringLiteral("abcdefg"));
    QCOMPARE(trickle.inFlight(), 1);
}

void TestStore::liveQueryFollowsOutsideWritesAndRestart() {
    CouchDatabase* db = freshDatabase(m_store.get(), QStringLiteral("live"));
    QVERIFY(db);
    auto query = db->getAllDocuments();
    query->setDescending(true);
    auto live = query->asLiveQuery();
    live->setPrefetch(true);
    QSignalSpy spy(live.get(), &CouchQuery::rowsChanged);
    live->start();
    QTRY_COMPARE(spy.count(), 1);
    QVERIFY(live->currentRows().isEmpty());

    QVERIFY(
        TestServer::putDocument(QStringLiteral("live"), QStringLiteral("outside1"), "{\"n\":1}"));
    QTRY_VERIFY_WITH_TIMEOUT(rowsHaveID(live->currentRows(), QStringLiteral("outside1")), 1000);
    QCOMPARE(live->currentRows()
                 .at(0)
                 .document()
                 ->cachedProperties()
                 ->value(QStringLiteral("n"))
                 .toInt(),
             1);

    // A view follows by running again.
    CouchDesignDocument* design = db->designDocumentWithName(QStringLiteral("d"));
    design->defineViewNamed(QStringLiteral("byN"),
                            QStringLiteral("function(doc){if(doc.n) emit(doc.n, null);}"));
    auto viewLive = design->queryViewNamed(QStringLiteral("byN"))->asLiveQuery();
    viewLive->start();
    QTRY_COMPARE(viewLive->currentRows().size(), 1);
    QVERIFY(
        TestServer::putDocument(QStringLiteral("live"), QStringLiteral("outside3"), "{\"n\":3}"));
    QTRY_COMPARE_WITH_TIMEOUT(viewLive->currentRows().size(), 2, 1000);
    // A deletion by another client leaves the rows.
    const QString rev3 = TestServer::getJson(QStringLiteral("/live/outside3"))
                             .object()
                             .value(QStringLiteral("_rev"))
                             .toString();
    QCOMPARE(TestServer::request("DELETE", QStringLiteral("/live/outside3?rev=") + rev3).status,
             200);
    QTRY_VERIFY_WITH_TIMEOUT(!rowsHaveID(live->currentRows(), QStringLiteral("outside3")), 1000);
    QTRY_COMPARE_WITH_TIMEOUT(viewLive->currentRows().size(), 1, 1000);
    QVERIFY(db->documentWithID(QStringLiteral("outside3"))->isDeleted());

    QVERIFY(m_server.restart());
    QVERIFY(
        TestServer::putDocument(QStringLiteral("live"), QStringLiteral("outside2"), "{\"n\":2}"));
    QTRY_VERIFY_WITH_TIMEOUT(rowsHaveID(live->currentRows(), QStringLiteral("outside2")), 2000);
    QVERIFY(live->isFollowing());
    // In descending order.
    QCOMPARE(live->currentRows().at(0).documentID(), QStringLiteral("outside2"));
    // A reload with the same rows announces nothing.
    const int announced = spy.count();
    live->start();
    QTest::qWait(200);
    QCOMPARE(spy.count(), announced);
}

QTEST_GUILESS_MAIN(TestStore)
#include "tst_store.moc"
