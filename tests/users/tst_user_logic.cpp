#include "chrome/UserDefaults.h"
#include "records/UserModel.h"
#include "records/UserNames.h"

#include <QDateTime>
#include <QProcess>
#include <QStandardPaths>
#include <QTest>

using namespace trevok::users;

// The rules that a user's name and record follow, without a server.
class TestUserLogic : public QObject {
    Q_OBJECT

    static const QString& prefix() {
        static const QString text = QStringLiteral(
            "function(new_doc, old_doc, userCtx) { if(!userCtx || userCtx.name != \"");
        return text;
    }
    static const QString& suffix() {
        static const QString text = QStringLiteral("\") { throw({forbidden: \"Bad user\"});}}");
        return text;
    }

private Q_SLOTS:
    void namesAreThePrefixAndTheNameUnchanged() {
        QCOMPARE(userDocumentID(QStringLiteral("Ann B")), QStringLiteral("org.couchdb.user:Ann B"));
        QCOMPARE(userDatabaseName(QStringLiteral("Ann B")), QStringLiteral("trevok_user_db_Ann B"));
        QCOMPARE(userToMasterFilterReference(), QStringLiteral("security/user_to_master_filter"));
        QCOMPARE(prefix().size(), 70);
        QCOMPARE(suffix().size(), 38);
    }

    void validationMapEscapesTheName_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("content");
        QTest::newRow("plain") << QStringLiteral("ann") << QStringLiteral("ann");
        QTest::newRow("allowed punctuation")
            << QStringLiteral("a_$()+-/b") << QStringLiteral("a_$()+-/b");
        QTest::newRow("quote") << QStringLiteral("a\"b") << QStringLiteral("a\\\"b");
        QTest::newRow("backslash") << QStringLiteral("a\\") << QStringLiteral("a\\\\");
        QTest::newRow("injection") << QStringLiteral("x\") { } throw(1); if (\"")
                                   << QStringLiteral("x\\\") { } throw(1); if (\\\"");
        QTest::newRow("line breaks")
            << QStringLiteral("a\nb\r\u2028") << QStringLiteral("a\\nb\\r\\u2028");
        QTest::newRow("control") << QStringLiteral("a\x01") << QStringLiteral("a\\u0001");
        QTest::newRow("non-ascii") << QStringLiteral("zoë") << QStringLiteral("zoë");
    }
    void validationMapEscapesTheName() {
        QFETCH(QString, name);
        QFETCH(QString, content);
        const QString map = validateDocUpdateMap(name);
        QCOMPARE(map, prefix() + content + suffix());

        // Where a JavaScript engine is at hand, the name is one string literal
        // that compares with exactly the name.
        const QString node = QStandardPaths::findExecutable(QStringLiteral("node"));
        if (node.isEmpty())
            return;
        QProcess js;
        js.start(node, {QStringLiteral("-e"),
                        QStringLiteral("const f = eval('(' + process.argv[1] + ')');"
                                       "let out = 'accepted';"
                                       "try { f({}, null, {name: process.argv[2]}); }"
                                       "catch (e) { out = JSON.stringify(e); }"
                                       "try { f({}, null, {name: process.argv[2] + 'x'}); "
                                       "out += ' accepted'; }"
                                       "catch (e) { out += ' ' + JSON.stringify(e); }"
                                       "process.stdout.write(out);"),
                        map, name});
        QVERIFY(js.waitForFinished(10000));
        QCOMPARE(QString::fromUtf8(js.readAllStandardOutput()),
                 QStringLiteral("accepted {\"forbidden\":\"Bad user\"}"));
    }

    void databaseNames_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("valid");
        QTest::newRow("letters and digits") << QStringLiteral("ann2") << true;
        QTest::newRow("allowed punctuation") << QStringLiteral("a_$()+-/") << true;
        QTest::newRow("digit first") << QStringLiteral("2ann") << true;
        QTest::newRow("upper case") << QStringLiteral("Ann") << false;
        QTest::newRow("blank") << QStringLiteral("a b") << false;
        QTest::newRow("blanks only") << QStringLiteral("   ") << false;
        QTest::newRow("dot") << QStringLiteral("a.b") << false;
        QTest::newRow("quote") << QStringLiteral("a\"b") << false;
        QTest::newRow("at") << QStringLiteral("a@b") << false;
        QTest::newRow("non-ascii") << QStringLiteral("zoë") << false;
    }
    void databaseNames() {
        QFETCH(QString, name);
        QFETCH(bool, valid);
        QCOMPARE(isValidDatabaseName(userDatabaseName(name)), valid);
    }

    void databaseNameRuleItself() {
        QVERIFY(!isValidDatabaseName(QString()));
        QVERIFY(!isValidDatabaseName(QStringLiteral("_users")));
        QVERIFY(!isValidDatabaseName(QStringLiteral("1abc")));
        QVERIFY(isValidDatabaseName(QStringLiteral("trevok_master")));
    }

    void saveRuleFillsInOnlyWhatIsMissing_data() {
        QTest::addColumn<QString>("defaultServerID");
        QTest::addColumn<QString>("serverID");
        QTest::addColumn<QString>("created");
        QTest::newRow("nothing set") << QStringLiteral("S1") << QString() << QString();
        QTest::newRow("both set") << QStringLiteral("S1") << QStringLiteral("S0")
                                  << QStringLiteral("2015-01-02T03:04:05.000Z");
        QTest::newRow("no default") << QString() << QString() << QString();
    }
    void saveRuleFillsInOnlyWhatIsMissing() {
        QFETCH(QString, defaultServerID);
        QFETCH(QString, serverID);
        QFETCH(QString, created);
        auto defaults = pxUserDefaults();
        if (defaultServerID.isEmpty())
            defaults.remove(QStringLiteral("serverID"));
        else
            defaults.setValue(QStringLiteral("serverID"), defaultServerID);
        UserModel model(nullptr);
        if (!serverID.isEmpty())
            model.setValue(QStringLiteral("serverID"), serverID);
        if (!created.isEmpty())
            model.setValue(QStringLiteral("created"), created);
        const QDateTime before = QDateTime::currentDateTimeUtc().addMSecs(-1);
        const QJsonObject body = model.propertiesToSave();
        if (!serverID.isEmpty())
            QCOMPARE(body.value(QStringLiteral("serverID")).toString(), serverID);
        else if (!defaultServerID.isEmpty())
            QCOMPARE(body.value(QStringLiteral("serverID")).toString(), defaultServerID);
        else
            QVERIFY(!body.contains(QStringLiteral("serverID")));
        if (!created.isEmpty()) {
            QCOMPARE(body.value(QStringLiteral("created")).toString(), created);
        } else {
            const QDateTime at = QDateTime::fromString(
                body.value(QStringLiteral("created")).toString(), Qt::ISODateWithMs);
            QVERIFY(at.isValid());
            QVERIFY(at >= before);
        }
    }
};

QTEST_GUILESS_MAIN(TestUserLogic)
#include "tst_user_logic.moc"
