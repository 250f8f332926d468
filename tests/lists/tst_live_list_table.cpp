#include "lists/LiveListTableModel.h"
#include "projects/ProjectArrayController.h"
#include "store/CouchModel.h"

#include <QAbstractItemModelTester>
#include <QPersistentModelIndex>
#include <QTest>

#include <map>
#include <memory>

namespace {

// What a model announced, one line per signal, in the order it came.
class RowSignals : public QObject {
public:
    explicit RowSignals(QAbstractItemModel* model) {
        connect(model, &QAbstractItemModel::rowsRemoved, this,
                [this](const QModelIndex&, int first, int last) {
                    log.append(QStringLiteral("remove %1-%2").arg(first).arg(last));
                });
        connect(model, &QAbstractItemModel::rowsInserted, this,
                [this](const QModelIndex&, int first, int last) {
                    log.append(QStringLiteral("insert %1-%2").arg(first).arg(last));
                });
        connect(model, &QAbstractItemModel::rowsMoved, this,
                [this](const QModelIndex&, int first, int last, const QModelIndex&, int before) {
                    log.append(QStringLiteral("move %1-%2 to %3").arg(first).arg(last).arg(before));
                });
        connect(model, &QAbstractItemModel::dataChanged, this,
                [this](const QModelIndex& topLeft, const QModelIndex& bottomRight) {
                    log.append(
                        QStringLiteral("changed %1-%2").arg(topLeft.row()).arg(bottomRight.row()));
                });
        connect(model, &QAbstractItemModel::modelReset, this,
                [this] { log.append(QStringLiteral("reset")); });
        connect(model, &QAbstractItemModel::layoutChanged, this,
                [this] { log.append(QStringLiteral("layout")); });
    }
    QStringList log;
};

// Records named by one letter each ("abc": the records a, b and c in that
// order), made once per test so that a letter is one record throughout.
class Records {
public:
    QList<CouchModel*> list(const QString& letters) {
        QList<CouchModel*> out;
        for (const QChar letter : letters) {
            std::unique_ptr<CouchModel>& model = m_models[letter];
            if (!model) {
                model = std::make_unique<CouchModel>();
                model->setAutosaves(false);
                model->setValue(QStringLiteral("title"), QString(letter));
            }
            out.append(model.get());
        }
        return out;
    }
    CouchModel* operator[](QChar letter) { return list(QString(letter)).first(); }

private:
    std::map<QChar, std::unique_ptr<CouchModel>> m_models;
};

QString text(const char* latin1) {
    return QString::fromLatin1(latin1);
}
QStringList lines(std::initializer_list<const char*> latin1) {
    QStringList out;
    for (const char* line : latin1)
        out.append(QString::fromLatin1(line));
    return out;
}

QString shown(const QAbstractItemModel& model) {
    QString letters;
    for (int row = 0; row < model.rowCount(); ++row)
        letters += model.index(row, 0).data().toString();
    return letters;
}

} // namespace

// The table over a live list's entries: each reload of the list reaches the
// table as row removals, moves and insertions only, so that what is selected
// (a persistent index) stays with its record.
class TestLiveListTable : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void reloadsBecomeRowSignals_data() {
        QTest::addColumn<QString>("before");
        QTest::addColumn<QString>("after");
        QTest::addColumn<QStringList>("expected");
        QTest::newRow("unchanged") << text("abc") << text("abc") << QStringList();
        QTest::newRow("first rows") << text("") << text("abc") << lines({"insert 0-2"});
        QTest::newRow("one appended") << text("abc") << text("abcd") << lines({"insert 3-3"});
        QTest::newRow("two inserted apart")
            << text("abc") << text("axbyc") << lines({"insert 1-1", "insert 3-3"});
        QTest::newRow("neighbours deleted")
            << text("abcde") << text("ade") << lines({"remove 1-2"});
        QTest::newRow("scattered deleted")
            << text("abcde") << text("bd") << lines({"remove 4-4", "remove 2-2", "remove 0-0"});
        QTest::newRow("all deleted") << text("abc") << text("") << lines({"remove 0-2"});
        QTest::newRow("last to front") << text("abcd") << text("dabc") << lines({"move 3-3 to 0"});
        QTest::newRow("first to end") << text("abcd") << text("bcda") << lines({"move 0-0 to 4"});
        QTest::newRow("two swapped")
            << text("abcd") << text("adcb") << lines({"move 2-2 to 4", "move 1-1 to 4"});
        QTest::newRow("reversed") << text("abc") << text("cba")
                                  << lines({"move 1-1 to 3", "move 0-0 to 3"});
        QTest::newRow("deleted, reordered and inserted")
            << text("abcde") << text("ecxa")
            << lines({"remove 3-3", "remove 1-1", "move 1-1 to 3", "move 0-0 to 3", "insert 2-2"});
        QTest::newRow("replaced") << text("ab") << text("cd")
                                  << lines({"remove 0-1", "insert 0-1"});
    }
    void reloadsBecomeRowSignals() {
        QFETCH(QString, before);
        QFETCH(QString, after);
        QFETCH(QStringList, expected);
        Records records;
        LiveListTableModel table({{QStringLiteral("Title"), QStringLiteral("title")}});
        QAbstractItemModelTester tester(&table,
                                        QAbstractItemModelTester::FailureReportingMode::Fatal);
        table.setRows(records.list(before));
        QCOMPARE(shown(table), before);
        // One persistent index per row, as a selection holds them.
        QList<QPersistentModelIndex> held;
        for (int row = 0; row < table.rowCount(); ++row)
            held.append(QPersistentModelIndex(table.index(row, 0)));

        RowSignals heard(&table);
        table.setRows(records.list(after));
        QCOMPARE(heard.log, expected);
        QCOMPARE(shown(table), after);
        QCOMPARE(table.rows(), records.list(after));
        for (int i = 0; i < before.size(); ++i) {
            const qsizetype now = after.indexOf(before.at(i));
            QCOMPARE(held.at(i).isValid(), now >= 0);
            if (now >= 0)
                QCOMPARE(held.at(i).row(), int(now));
        }
    }

    void aChangedRecordRepaintsItsRowWhereverItIs() {
        Records records;
        LiveListTableModel table({{QStringLiteral("Title"), QStringLiteral("title")},
                                  {QStringLiteral("Kind"), QStringLiteral("kind")}});
        QAbstractItemModelTester tester(&table,
                                        QAbstractItemModelTester::FailureReportingMode::Fatal);
        table.setRows(records.list(QStringLiteral("abc")));
        table.setRows(records.list(QStringLiteral("cab")));
        RowSignals heard(&table);
        records[u'a']->setValue(QStringLiteral("kind"), QStringLiteral("x"));
        QCOMPARE(heard.log, lines({"changed 1-1"}));
        QCOMPARE(table.index(1, 1).data().toString(), QStringLiteral("x"));
        // A record no longer listed is no longer heard.
        table.setRows(records.list(QStringLiteral("ca")));
        heard.log.clear();
        records[u'b']->setValue(QStringLiteral("kind"), QStringLiteral("y"));
        QVERIFY(heard.log.isEmpty());
    }

    void aRecordThatGoesFirstLeavesAnEmptyRow() {
        LiveListTableModel table({{QStringLiteral("Title"), QStringLiteral("title")}});
        QAbstractItemModelTester tester(&table,
                                        QAbstractItemModelTester::FailureReportingMode::Fatal);
        auto a = std::make_unique<CouchModel>();
        a->setValue(QStringLiteral("title"), QStringLiteral("a"));
        auto b = std::make_unique<CouchModel>();
        b->setValue(QStringLiteral("title"), QStringLiteral("b"));
        table.setRows({a.get(), b.get()});
        a.reset();
        QCOMPARE(table.rowCount(), 2);
        QVERIFY(!table.index(0, 0).data().isValid());
        QCOMPARE(table.modelAt(0), nullptr);
        table.setRows({b.get()});
        QCOMPARE(shown(table), QStringLiteral("b"));
    }

    // The projects table shows the records not marked deleted: a record whose
    // wasDeleted flips leaves or rejoins it, every other row staying.
    void wasDeletedFlipsMoveRowsInAndOut_data() {
        QTest::addColumn<QString>("flips");
        QTest::addColumn<QString>("shownAfter");
        QTest::addColumn<QStringList>("expected");
        QTest::newRow("one deleted") << text("b") << text("acd") << lines({"remove 1-1"});
        QTest::newRow("deleted and back")
            << text("bb") << text("abcd") << lines({"remove 1-1", "insert 1-1"});
        QTest::newRow("first and last deleted")
            << text("ad") << text("bc") << lines({"remove 0-0", "remove 2-2"});
        QTest::newRow("two deleted, the first back")
            << text("bcb") << text("abd") << lines({"remove 1-1", "remove 1-1", "insert 1-1"});
    }
    void wasDeletedFlipsMoveRowsInAndOut() {
        QFETCH(QString, flips);
        QFETCH(QString, shownAfter);
        QFETCH(QStringList, expected);
        Records records;
        ProjectArrayController projects(nullptr, nullptr);
        projects.setFilterPredicate(QStringLiteral("wasDeleted == NO"));
        QAbstractItemModelTester listTester(projects.listTable(),
                                            QAbstractItemModelTester::FailureReportingMode::Fatal);
        QAbstractItemModelTester tester(&projects,
                                        QAbstractItemModelTester::FailureReportingMode::Fatal);
        projects.listTable()->setRows(records.list(QStringLiteral("abcd")));
        QCOMPARE(shown(projects), QStringLiteral("abcd"));
        const QPersistentModelIndex d(projects.index(3, 0));

        RowSignals heard(&projects);
        RowSignals underneath(projects.listTable());
        for (const QChar letter : flips) {
            CouchModel* record = records[letter];
            record->setValue(QStringLiteral("wasDeleted"),
                             !record->getValue(QStringLiteral("wasDeleted")).toBool());
        }
        QCOMPARE(shown(projects), shownAfter);
        QCOMPARE(heard.log, expected);
        QCOMPARE(d.row(), int(shownAfter.indexOf(u'd')));
        // The list itself only heard of changed records.
        QCOMPARE(underneath.log.size(), flips.size());
        for (const QString& line : std::as_const(underneath.log))
            QVERIFY2(line.startsWith(QStringLiteral("changed")), qPrintable(line));
    }
};

QTEST_MAIN(TestLiveListTable)
#include "tst_live_list_table.moc"
