#include "records/ArchiveRules.h"

#include <QJsonObject>
#include <QTest>

using namespace trevok::projects;

// The rules of emptying and the guards of the archiving and deletion flows.
class TestProjectArchiveLogic : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void deletionNotice() {
        const QJsonObject notice =
            deletionNoticeBody(QStringLiteral("Alpha"), QStringLiteral("S1"));
        QCOMPARE(notice.size(), 4);
        QCOMPARE(notice.value(QStringLiteral("title")).toString(),
                 QStringLiteral("Alpha DeletionNotice"));
        QCOMPARE(notice.value(QStringLiteral("type")).toString(), QStringLiteral("ProjectInfoDoc"));
        QCOMPARE(notice.value(QStringLiteral("serverID")).toString(), QStringLiteral("S1"));
        // A number, not a boolean.
        QVERIFY(notice.value(QStringLiteral("wasDeleted")).isDouble());
        QCOMPARE(notice.value(QStringLiteral("wasDeleted")).toDouble(), 1.0);
        QVERIFY(!notice.contains(QStringLiteral("projectID")));
        QVERIFY(!deletionNoticeBody(QStringLiteral("A"), QString())
                     .contains(QStringLiteral("serverID")));
    }

    void emptying_data() {
        QTest::addColumn<QJsonObject>("body");
        QTest::addColumn<QJsonObject>("expected");
        const QJsonObject record{{QStringLiteral("type"), QStringLiteral("ProjectInfoDoc")},
                                 {QStringLiteral("projectID"), QStringLiteral("P")}};
        QJsonObject archivedFalse = record;
        archivedFalse.insert(QStringLiteral("archived"), false);
        QJsonObject archivedTrue = record;
        archivedTrue.insert(QStringLiteral("archived"), true);
        const auto with = [](QJsonObject o, const char* key, const QJsonValue& v) {
            o.insert(QString::fromLatin1(key), v);
            return o;
        };
        QTest::newRow("record with archived false stays listed")
            << archivedFalse << with(archivedFalse, "wasDeleted", false);
        QTest::newRow("archived record stays listed")
            << archivedTrue << with(archivedTrue, "wasDeleted", false);
        QTest::newRow("record without archived leaves the list")
            << record << with(record, "wasDeleted", true);
        QTest::newRow("archived null counts as present")
            << with(record, "archived", QJsonValue())
            << with(with(record, "archived", QJsonValue()), "wasDeleted", false);
        const QJsonObject note{{QStringLiteral("type"), QStringLiteral("Note")},
                               {QStringLiteral("projectID"), QStringLiteral("P")},
                               {QStringLiteral("text"), QStringLiteral("kept in the deletion")}};
        // The content stays behind: the deletion reaches every project.
        QTest::newRow("other documents are deleted, content left behind")
            << note
            << QJsonObject{{QStringLiteral("projectID"), QStringLiteral("P")},
                           {QStringLiteral("_deleted"), true}};
        QTest::newRow("document without type is deleted")
            << QJsonObject{{QStringLiteral("text"), QStringLiteral("t")}}
            << QJsonObject{{QStringLiteral("_deleted"), true}};
    }
    void emptying() {
        QFETCH(QJsonObject, body);
        QFETCH(QJsonObject, expected);
        QCOMPARE(emptiedBody(body), expected);
    }

    void usableStemsAndIDs_data() {
        QTest::addColumn<QString>("stem");
        QTest::addColumn<bool>("usable");
        QTest::newRow("plain") << QStringLiteral("alpha2") << true;
        QTest::newRow("empty") << QString() << false;
        QTest::newRow("the projects list's design document")
            << QStringLiteral("projectmeta") << false;
        QTest::newRow("the members' design document") << QStringLiteral("meta") << false;
        QTest::newRow("upper case") << QStringLiteral("Alpha") << false;
        QTest::newRow("path") << QStringLiteral("../alpha") << false;
    }
    void usableStemsAndIDs() {
        QFETCH(QString, stem);
        QFETCH(bool, usable);
        QCOMPARE(isUsableStem(stem), usable);
    }

    void usableProjectIDs() {
        QVERIFY(isUsableProjectID(QStringLiteral("0F8A6C9E-1B2D-4E3F-9A7B-6C5D4E3F2A1B")));
        QVERIFY(!isUsableProjectID(QString()));
        // Would break out of the view source it goes into.
        QVERIFY(!isUsableProjectID(QStringLiteral("x') emit(doc._id, doc); if('")));
        QVERIFY(!isUsableProjectID(QStringLiteral("a\\b")));
    }
};

QTEST_MAIN(TestProjectArchiveLogic)
#include "tst_project_archive_logic.moc"
