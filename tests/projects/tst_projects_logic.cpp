#include "records/ProjectNames.h"

#include <QJsonArray>
#include <QTest>

using namespace trevok::projects;

// Names, the record's save rule and the members' rules, without a server.
class TestProjectsLogic : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void stems_data() {
        QTest::addColumn<QString>("title");
        QTest::addColumn<QString>("stem");
        QTest::newRow("punctuation and digits")
            << QStringLiteral("Summer Fair 2015!") << QStringLiteral("summerfair2015");
        QTest::newRow("diacritics fold")
            << QStringLiteral("Café Zürich") << QStringLiteral("cafezurich");
        QTest::newRow("blank") << QStringLiteral("My Project") << QStringLiteral("myproject");
        QTest::newRow("hyphen and bang")
            << QStringLiteral("my-project!") << QStringLiteral("myproject");
        QTest::newRow("punctuation only") << QStringLiteral("!?-- ...") << QString();
        QTest::newRow("no ASCII form") << QStringLiteral("東京 Ω") << QString();
        QTest::newRow("ligature decomposes")
            << QStringLiteral("ﬁne Ñandú") << QStringLiteral("finenandu");
        QTest::newRow("path characters vanish")
            << QStringLiteral("../a/b?c#d%2F") << QStringLiteral("abcd2f");
        QTest::newRow("empty") << QString() << QString();
    }
    void stems() {
        QFETCH(QString, title);
        QFETCH(QString, stem);
        QCOMPARE(databaseStem(title), stem);
    }

    void namesAndReservedStems() {
        QCOMPARE(projectDatabaseName(QStringLiteral("alpha")),
                 QStringLiteral("trevok_project_alpha"));
        QCOMPARE(archiveDatabaseName(QStringLiteral("alpha")),
                 QStringLiteral("archived_trevok_project_alpha"));
        QCOMPARE(userDatabaseName(QStringLiteral("Ann")), QStringLiteral("trevok_user_db_Ann"));
        QVERIFY(isReservedStem(QStringLiteral("projectmeta")));
        QVERIFY(isReservedStem(QStringLiteral("meta")));
        QVERIFY(!isReservedStem(QStringLiteral("metadata")));
    }

    void composedSources() {
        QCOMPARE(masterToProjectFilter(QStringLiteral("P-1")),
                 QStringLiteral("function(doc, req) {{if (doc._deleted) { return true; }};{if "
                                "(doc.projectID == \"P-1\") { return true; } else { return false "
                                "}}}"));
        QCOMPARE(allMembersMap(QStringLiteral("P-1")),
                 QStringLiteral("function(doc){if(doc.projectID === 'P-1') emit(doc._id, doc);};"));
    }

    void saveRuleOfANewRecord() {
        const QDateTime now =
            QDateTime::fromString(QStringLiteral("2015-06-01T10:00:00.000Z"), Qt::ISODateWithMs);
        const QJsonObject body =
            projectPropertiesToSave({{QStringLiteral("title"), QStringLiteral("Alpha")}}, true, now,
                                    QStringLiteral("SERVER"), QStringLiteral("ID-1"));
        QCOMPARE(body.value(QStringLiteral("type")).toString(), QStringLiteral("ProjectInfoDoc"));
        QCOMPARE(body.value(QStringLiteral("bVersion")).toString(), QStringLiteral("1.1"));
        QCOMPARE(body.value(QStringLiteral("archived")), QJsonValue(false));
        QCOMPARE(body.value(QStringLiteral("serverID")).toString(), QStringLiteral("SERVER"));
        QCOMPARE(body.value(QStringLiteral("projectID")).toString(), QStringLiteral("ID-1"));
        QCOMPARE(body.value(QStringLiteral("created_at")).toString(),
                 QStringLiteral("2015-06-01T10:00:00.000Z"));
        QCOMPARE(body.value(QStringLiteral("changed_at")).toString(),
                 QStringLiteral("2015-06-01T10:00:00.000Z"));
    }

    void saveRuleKeepsWhatIsThere_data() {
        QTest::addColumn<QJsonValue>("archived");
        QTest::addColumn<QJsonValue>("saved");
        QTest::newRow("true stays") << QJsonValue(true) << QJsonValue(true);
        QTest::newRow("false stays") << QJsonValue(false) << QJsonValue(false);
        QTest::newRow("absent becomes false")
            << QJsonValue(QJsonValue::Undefined) << QJsonValue(false);
        QTest::newRow("number becomes false") << QJsonValue(1) << QJsonValue(false);
    }
    void saveRuleKeepsWhatIsThere() {
        QFETCH(QJsonValue, archived);
        QFETCH(QJsonValue, saved);
        QJsonObject complete{{QStringLiteral("serverID"), QStringLiteral("OLD")},
                             {QStringLiteral("created_at"), QStringLiteral("2014")},
                             {QStringLiteral("changed_at"), QStringLiteral("2014")},
                             {QStringLiteral("type"), QStringLiteral("ProjectInfoDoc")},
                             {QStringLiteral("bVersion"), QStringLiteral("1.0")},
                             {QStringLiteral("projectID"), QStringLiteral("OTHER")}};
        if (!archived.isUndefined())
            complete.insert(QStringLiteral("archived"), archived);
        const QJsonObject body =
            projectPropertiesToSave(complete, false, QDateTime::currentDateTimeUtc(),
                                    QStringLiteral("NEW"), QStringLiteral("ID"));
        QCOMPARE(body.value(QStringLiteral("archived")), saved);
        QCOMPARE(body.value(QStringLiteral("serverID")).toString(), QStringLiteral("OLD"));
        QCOMPARE(body.value(QStringLiteral("bVersion")).toString(), QStringLiteral("1.0"));
        QCOMPARE(body.value(QStringLiteral("projectID")).toString(), QStringLiteral("OTHER"));
        // Only a record with something to save gets a new change time.
        const bool changed = archived != saved;
        QCOMPARE(body.value(QStringLiteral("changed_at")).toString() != QLatin1String("2014"),
                 changed);
    }

    void members() {
        const QStringList none;
        QCOMPARE(membersAdding(none, QStringLiteral("anna")), QStringList{QStringLiteral("anna")});
        const QStringList two{QStringLiteral("anna"), QStringLiteral("ben")};
        QCOMPARE(membersAdding({QStringLiteral("anna")}, QStringLiteral("ben")), two);
        QVERIFY(!membersAdding(two, QStringLiteral("anna")));
        QCOMPARE(membersAdding(two, QStringLiteral("Anna")).value_or(QStringList()).size(), 3);
        QCOMPARE(
            membersRemoving({QStringLiteral("anna"), QStringLiteral("ben"), QStringLiteral("anna")},
                            QStringLiteral("anna")),
            QStringList{QStringLiteral("ben")});
    }

    void fullNameEntries_data() {
        QTest::addColumn<QJsonValue>("first");
        QTest::addColumn<QJsonValue>("last");
        QTest::addColumn<QStringList>("keys");
        const QJsonValue absent(QJsonValue::Undefined);
        QTest::newRow("both") << QJsonValue(QStringLiteral("Ann"))
                              << QJsonValue(QStringLiteral("A"))
                              << QStringList{QStringLiteral("FirstName"),
                                             QStringLiteral("LastName")};
        QTest::newRow("first only") << QJsonValue(QStringLiteral("Ann")) << absent
                                    << QStringList{QStringLiteral("FirstName")};
        QTest::newRow("last only") << absent << QJsonValue(QStringLiteral("A")) << QStringList();
        QTest::newRow("none") << absent << absent << QStringList();
    }
    void fullNameEntries() {
        QFETCH(QJsonValue, first);
        QFETCH(QJsonValue, last);
        QFETCH(QStringList, keys);
        QCOMPARE(memberFullNameEntry(first, last).keys(), keys);
    }

    void listFilter_data() {
        QTest::addColumn<QJsonValue>("wasDeleted");
        QTest::addColumn<bool>("listed");
        QTest::newRow("absent") << QJsonValue(QJsonValue::Undefined) << true;
        QTest::newRow("false") << QJsonValue(false) << true;
        QTest::newRow("true") << QJsonValue(true) << false;
        QTest::newRow("deletion notice's 1") << QJsonValue(1) << false;
    }
    void listFilter() {
        QFETCH(QJsonValue, wasDeleted);
        QFETCH(bool, listed);
        QJsonObject record{{QStringLiteral("title"), QStringLiteral("Alpha")}};
        if (!wasDeleted.isUndefined())
            record.insert(QStringLiteral("wasDeleted"), wasDeleted);
        QCOMPARE(passesListPredicate(QStringLiteral("wasDeleted == NO"), record), listed);
    }

    // Copies of one record in two databases compare by it.
    void revisionGenerations_data() {
        QTest::addColumn<QJsonValue>("rev");
        QTest::addColumn<int>("generation");
        QTest::newRow("absent") << QJsonValue() << 0;
        QTest::newRow("first") << QJsonValue(QStringLiteral("1-967a00dff5e02add41819138abb3284d"))
                               << 1;
        QTest::newRow("many") << QJsonValue(QStringLiteral("12-abc")) << 12;
        QTest::newRow("no dash") << QJsonValue(QStringLiteral("7")) << 7;
        QTest::newRow("garbage") << QJsonValue(QStringLiteral("x-1")) << 0;
        QTest::newRow("number") << QJsonValue(3) << 0;
    }
    void revisionGenerations() {
        QFETCH(QJsonValue, rev);
        QFETCH(int, generation);
        QJsonObject body;
        if (!rev.isUndefined() && !rev.isNull())
            body.insert(QStringLiteral("_rev"), rev);
        QCOMPARE(revisionGeneration(body), generation);
    }
};

QTEST_MAIN(TestProjectsLogic)
#include "tst_projects_logic.moc"
