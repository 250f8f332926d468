#include "chrome/UserDefaults.h"
#include "lists/UserQuery.h"
#include "records/UserModel.h"
#include "services/NotificationCenter.h"
#include "store/CouchDatabase.h"
#include "store/CouchDocument.h"
#include "store/CouchQuery.h"
#include "store/CouchServer.h"
#include "tests/harness/TestServer.h"
#include "users/UserArrayController.h"
#include "users/UserSelectionTableView.h"

#include <QAbstractItemModelTester>
#include <QApplication>
#include <QHeaderView>
#include <QSignalSpy>
#include <QStyleHints>
#include <QTest>

using namespace trevok::test;

namespace {
QByteArray userBody(const QString& name, const QString& last = QStringLiteral("Doe")) {
    return QJsonDocument(QJsonObject{{QStringLiteral("name"), name},
                                     {QStringLiteral("lastName"), last},
                                     {QStringLiteral("type"), QStringLiteral("user")}})
        .toJson(QJsonDocument::Compact);
}
QString userID(const QString& name) {
    return QStringLiteral("org.couchdb.user:") + name;
}
QStringList names(const LiveList& list) {
    QStringList out;
    for (CouchModel* model : list.entries())
        out.append(model->stringValue(QStringLiteral("name")));
    return out;
}
} // namespace

// The users live list and its two tables, against the real bundled server.
class TestUserList : public QObject {
    Q_OBJECT

    TestServer m_server;
    std::unique_ptr<CouchServer> m_couch;
    int m_databases = 0;
    QString m_dbName;

    // A fresh database holding user documents `names` and a design document,
    // and the users list over all its documents, loaded once.
    std::unique_ptr<UserQuery> makeList(const QStringList& names) {
        m_dbName = QStringLiteral("userlist_%1").arg(++m_databases);
        if (!TestServer::createDatabase(m_dbName))
            return nullptr;
        for (const QString& name : names)
            TestServer::putDocument(m_dbName, userID(name), userBody(name));
        TestServer::putDocument(m_dbName, QStringLiteral("_design/x"), "{\"views\":{}}");
        std::unique_ptr<CouchQuery> query = m_couch->databaseNamed(m_dbName)->getAllDocuments();
        query->setDescending(true);
        auto list = std::make_unique<UserQuery>(std::move(query));
        if (!QTest::qWaitFor([&] { return list->hasEntries(); }, 10000))
            return nullptr;
        return list;
    }

    // A press at `point` of `view`'s viewport with an explicit timestamp, so
    // that clicks series are exactly what the test says.
    static void press(QWidget* viewport, QPoint point, ulong timestamp,
                      Qt::KeyboardModifiers modifiers = Qt::NoModifier, bool asDouble = false) {
        const QPointF local(point);
        QMouseEvent down(asDouble ? QEvent::MouseButtonDblClick : QEvent::MouseButtonPress, local,
                         viewport->mapToGlobal(local), Qt::LeftButton, Qt::LeftButton, modifiers);
        down.setTimestamp(timestamp);
        QApplication::sendEvent(viewport, &down);
        QMouseEvent up(QEvent::MouseButtonRelease, local, viewport->mapToGlobal(local),
                       Qt::LeftButton, Qt::NoButton, modifiers);
        up.setTimestamp(timestamp + 1);
        QApplication::sendEvent(viewport, &up);
    }

private Q_SLOTS:
    void initTestCase() {
        QVERIFY(m_server.start());
        m_couch = std::make_unique<CouchServer>(QUrl(TestServer::url()));
        m_couch->setCredential(QStringLiteral("admin"), TestServer::adminPassword());
    }
    void cleanupTestCase() { m_couch.reset(); }

    void designDocumentsAreLeftOutAndTheFirstLoadMarksNothing() {
        auto list = makeList({QStringLiteral("ann"), QStringLiteral("bob")});
        QVERIFY(list);
        // Descending by document ID; "_design/x" is not a user.
        QCOMPARE(names(*list), QStringList({QStringLiteral("bob"), QStringLiteral("ann")}));
        for (CouchModel* model : list->entries()) {
            QVERIFY(qobject_cast<UserModel*>(model));
            QVERIFY(!model->isExternallyChanged());
            QVERIFY(model->autosaves());
        }
    }

    void aDocumentWrittenElsewhereIsListedAndMarkedOnce() {
        auto list = makeList({QStringLiteral("ann")});
        QVERIFY(list);
        CouchModel* ann = list->entries().first();
        QSignalSpy changes(list.get(), &LiveList::entriesChanged);
        QVERIFY(TestServer::putDocument(m_dbName, userID(QStringLiteral("carl")),
                                        userBody(QStringLiteral("carl"))));
        QTRY_COMPARE(names(*list), QStringList({QStringLiteral("carl"), QStringLiteral("ann")}));
        QCOMPARE(changes.count(), 1);
        CouchModel* carl = list->entries().first();
        QVERIFY(carl->isExternallyChanged());
        QVERIFY(!ann->isExternallyChanged());
        QCOMPARE(list->entries().at(1), ann); // same object across reloads

        // A change inside a listed document leaves the list as it was.
        const QJsonObject stored =
            TestServer::getJson(QLatin1Char('/') + m_dbName + QLatin1Char('/') +
                                segment(userID(QStringLiteral("ann"))))
                .object();
        QJsonObject changed = stored;
        changed.insert(QStringLiteral("lastName"), QStringLiteral("Other"));
        QCOMPARE(TestServer::request("PUT",
                                     QLatin1Char('/') + m_dbName + QLatin1Char('/') +
                                         segment(userID(QStringLiteral("ann"))),
                                     QJsonDocument(changed).toJson())
                     .status,
                 201);
        QTRY_COMPARE(ann->stringValue(QStringLiteral("lastName")), QStringLiteral("Other"));
        QCOMPARE(changes.count(), 1);
        QCOMPARE(list->entries().at(1), ann);

        // The same rows once more announce nothing.
        list->loadEntriesFrom(list->query()->currentRows());
        QCOMPARE(changes.count(), 1);
    }

    void anInsertedModelStaysAtTheEndUntilItsDocumentIsListed() {
        auto list = makeList({QStringLiteral("ann"), QStringLiteral("zed")});
        QVERIFY(list);
        auto* fresh = new UserModel(nullptr);
        fresh->setValue(QStringLiteral("_id"), userID(QStringLiteral("mia")));
        fresh->setValue(QStringLiteral("name"), QStringLiteral("mia"));
        fresh->setValue(QStringLiteral("lastName"), QStringLiteral("Moe"));
        list->insertObjectInEntriesAtIndex(fresh, 0);
        QCOMPARE(list->entries().first(), fresh);
        // Reloads before the document shows up keep it, at the end.
        list->loadEntriesFrom(list->query()->currentRows());
        QCOMPARE(names(*list), QStringList({QStringLiteral("zed"), QStringLiteral("ann"),
                                            QStringLiteral("mia")}));
        // Autosave writes it; then it is listed once, at its row.
        QTRY_COMPARE(names(*list), QStringList({QStringLiteral("zed"), QStringLiteral("mia"),
                                                QStringLiteral("ann")}));
        QCOMPARE(list->entries().count(fresh), 1);
        QCOMPARE(TestServer::getJson(QLatin1Char('/') + m_dbName + QLatin1Char('/') +
                                     segment(userID(QStringLiteral("mia"))))
                     .object()
                     .value(QStringLiteral("lastName"))
                     .toString(),
                 QStringLiteral("Moe"));
    }

    void removingAnEntryDeletesItsDocument() {
        auto list = makeList({QStringLiteral("ann"), QStringLiteral("bob")});
        QVERIFY(list);
        list->removeObjectFromEntriesAtIndex(0); // bob
        QCOMPARE(names(*list), QStringList({QStringLiteral("ann")}));
        const QString path =
            QLatin1Char('/') + m_dbName + QLatin1Char('/') + segment(userID(QStringLiteral("bob")));
        QTRY_COMPARE(TestServer::request("GET", path).status, 404);
        QTRY_VERIFY(!list->query()->currentRows().isEmpty());
        list->loadEntriesFrom(list->query()->currentRows());
        QCOMPARE(names(*list), QStringList({QStringLiteral("ann")}));
    }

    // The live query takes changes row by row: its key range and order hold.
    void aLiveQueryKeepsItsKeyRangeAndOrder() {
        auto list = makeList({QStringLiteral("b")});
        QVERIFY(list);
        std::unique_ptr<CouchQuery> query = m_couch->databaseNamed(m_dbName)->getAllDocuments();
        query->setDescending(true);
        query->setStartKey(userID(QStringLiteral("m")));
        query->setEndKey(userID(QStringLiteral("c")));
        UserQuery ranged(std::move(query));
        QTRY_VERIFY(ranged.hasEntries());
        QCOMPARE(names(ranged), QStringList());
        for (const char* name : {"a", "d", "k", "z", "e"})
            QVERIFY(TestServer::putDocument(m_dbName, userID(QLatin1String(name)),
                                            userBody(QLatin1String(name))));
        QTRY_COMPARE(names(*list),
                     QStringList({QStringLiteral("z"), QStringLiteral("k"), QStringLiteral("e"),
                                  QStringLiteral("d"), QStringLiteral("b"), QStringLiteral("a")}));
        QTRY_COMPARE(names(ranged),
                     QStringList({QStringLiteral("k"), QStringLiteral("e"), QStringLiteral("d")}));
        // What a full run gives is what the followed rows hold.
        std::unique_ptr<CouchQuery> check = m_couch->databaseNamed(m_dbName)->getAllDocuments();
        check->setDescending(true);
        check->setPrefetch(true);
        const auto rows = check->rows();
        QVERIFY(rows);
        QStringList ids;
        for (const CouchQueryRow& row : *rows)
            ids.append(row.documentID());
        QStringList followed;
        for (const CouchQueryRow& row : list->query()->currentRows())
            followed.append(row.documentID());
        QCOMPARE(followed, ids);
    }

    void theTableModelFollowsTheListAndKeepsItsSelection() {
        auto list = makeList({QStringLiteral("ann"), QStringLiteral("bob"), QStringLiteral("cid")});
        QVERIFY(list);
        UserArrayController controller;
        QAbstractItemModelTester tester(&controller,
                                        QAbstractItemModelTester::FailureReportingMode::QtTest);
        controller.setContent(list.get());
        QCOMPARE(controller.rowCount(), 3);
        QCOMPARE(controller.index(0, UserArrayController::NameColumn).data().toString(),
                 QStringLiteral("cid"));
        controller.selectionModel()->select(controller.index(1, 0),
                                            QItemSelectionModel::ClearAndSelect |
                                                QItemSelectionModel::Rows);
        QCOMPARE(controller.firstSelectedObject()->stringValue(QStringLiteral("name")),
                 QStringLiteral("bob"));

        QSignalSpy inserted(&controller, &QAbstractItemModel::rowsInserted);
        QSignalSpy reset(&controller, &QAbstractItemModel::modelReset);
        TestServer::putDocument(m_dbName, userID(QStringLiteral("dan")),
                                userBody(QStringLiteral("dan")));
        QTRY_COMPARE(controller.rowCount(), 4);
        QCOMPARE(inserted.count(), 1);
        QCOMPARE(reset.count(), 0);
        QCOMPARE(controller.firstSelectedObject()->stringValue(QStringLiteral("name")),
                 QStringLiteral("bob"));

        // A listed user who goes takes only their own row.
        const QString cid =
            QLatin1Char('/') + m_dbName + QLatin1Char('/') + segment(userID(QStringLiteral("cid")));
        const QString rev =
            TestServer::getJson(cid).object().value(QStringLiteral("_rev")).toString();
        QCOMPARE(TestServer::request("DELETE", cid + QStringLiteral("?rev=") + rev).status, 200);
        QTRY_COMPARE(controller.rowCount(), 3);
        QCOMPARE(controller.firstSelectedObject()->stringValue(QStringLiteral("name")),
                 QStringLiteral("bob"));

        // A changed field repaints its row.
        QSignalSpy data(&controller, &QAbstractItemModel::dataChanged);
        controller.objectAtRow(0)->setValue(QStringLiteral("lastName"), QStringLiteral("Dee"));
        QCOMPARE(data.count(), 1);
        QCOMPARE(controller.index(0, UserArrayController::LastNameColumn).data().toString(),
                 QStringLiteral("Dee"));
    }

    void theSelectionStoresTheStoredName() {
        auto list = makeList({QStringLiteral("ann"), QStringLiteral("bob")});
        QVERIFY(list);
        UserArrayController controller;
        controller.setContent(list.get());
        auto defaults = pxUserDefaults();
        defaults.remove(QStringLiteral("CurrentUserName"));
        const auto current = [] {
            return pxUserDefaults().value(QStringLiteral("CurrentUserName")).toString();
        };
        UserModel* ann = controller.objectAtRow(1);
        ann->setAutosaves(false);
        ann->setValue(QStringLiteral("name"), QStringLiteral("changed-not-saved"));
        controller.selectionModel()->select(controller.index(1, 0),
                                            QItemSelectionModel::ClearAndSelect |
                                                QItemSelectionModel::Rows);
        QCOMPARE(current(), QStringLiteral("ann"));
        controller.selectionModel()->select(controller.index(0, 0),
                                            QItemSelectionModel::ClearAndSelect |
                                                QItemSelectionModel::Rows);
        QCOMPARE(current(), QStringLiteral("bob"));
        controller.selectionModel()->clearSelection();
        QVERIFY(!controller.hasSelection());
        QCOMPARE(current(), QStringLiteral("bob"));
    }

    void clicksInThePickingTable_data() {
        QTest::addColumn<int>("modifiers");
        QTest::newRow("plain") << int(Qt::NoModifier);
        QTest::newRow("command") << int(Qt::ControlModifier);
        QTest::newRow("shift") << int(Qt::ShiftModifier);
    }
    void clicksInThePickingTable() {
        QFETCH(int, modifiers);
        auto list = makeList({QStringLiteral("ann"), QStringLiteral("bob"), QStringLiteral("cid")});
        QVERIFY(list);
        UserArrayController controller;
        controller.setContent(list.get());
        UserSelectionTableView view;
        controller.showIn(&view);
        view.resize(400, 300);
        view.show();
        QVERIFY(QTest::qWaitForWindowExposed(&view));
        QObject observer;
        int posted = 0;
        trevok::NotificationCenter::defaultCenter().addObserver(
            &observer, QStringLiteral("AddUserToProject"),
            [&](const trevok::Notification&) { ++posted; });
        const auto rowPoint = [&](int row) {
            return view.visualRect(controller.index(row, 0)).center();
        };
        const auto selectedRows = [&] {
            QList<int> rows;
            for (const QModelIndex& index : controller.selectionModel()->selectedRows())
                rows.append(index.row());
            return rows;
        };
        const auto mods = Qt::KeyboardModifiers(modifiers);
        const ulong apart = ulong(QApplication::styleHints()->mouseDoubleClickInterval()) * 4;
        ulong t = 1000;

        press(view.viewport(), rowPoint(0), t += apart, mods);
        QCOMPARE(selectedRows(), QList<int>({0}));
        // Another row replaces the selection, whatever modifier is held.
        press(view.viewport(), rowPoint(2), t += apart, mods);
        QCOMPARE(selectedRows(), QList<int>({2}));
        QCOMPARE(posted, 0);
        // Below the rows: nothing changes, nothing is posted.
        const QPoint below(10, view.viewport()->height() - 5);
        QVERIFY(!view.indexAt(below).isValid());
        press(view.viewport(), below, t += apart, mods);
        press(view.viewport(), below, t + 10, mods, true);
        QCOMPARE(selectedRows(), QList<int>({2}));
        QCOMPARE(posted, 0);

        // A double click: the first press selects, the second posts once.
        t += apart;
        press(view.viewport(), rowPoint(1), t, mods);
        QCOMPARE(selectedRows(), QList<int>({1}));
        QCOMPARE(posted, 0);
        press(view.viewport(), rowPoint(1), t + 10, mods, true);
        QCOMPARE(posted, 1);
        QCOMPARE(selectedRows(), QList<int>({1}));
        QCOMPARE(controller.firstSelectedObject()->stringValue(QStringLiteral("name")),
                 QStringLiteral("bob"));
        // A third press of the same series posts again.
        press(view.viewport(), rowPoint(1), t + 20, mods);
        QCOMPARE(posted, 2);
        QCOMPARE(selectedRows(), QList<int>({1}));
        // A fresh single click later posts nothing.
        press(view.viewport(), rowPoint(1), t + apart, mods);
        QCOMPARE(posted, 2);
        trevok::NotificationCenter::defaultCenter().removeObserver(&observer);
    }
};

QTEST_MAIN(TestUserList)
#include "tst_user_list.moc"
