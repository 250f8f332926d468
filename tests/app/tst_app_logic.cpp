#include "app/WindowGeometry.h"
#include "records/MasterModel.h"
#include "records/ServerSettings.h"
#include "records/UuidText.h"
#include "services/NotificationCenter.h"

#include <QRegularExpression>
#include <QTest>

using namespace trevok;

class TestAppLogic : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void startAndNormalFrames_data() {
        QTest::addColumn<QString>("saved");
        QTest::addColumn<bool>("present");
        QTest::addColumn<QRect>("start");
        QTest::addColumn<QRect>("normal");
        QTest::newRow("no saved frame")
            << QString() << false << QRect(250, 250, 600, 470) << QRect(250, 250, 600, 470);
        // The compact window's top edge stays where the saved frame's top was:
        // 200 + 700 - 470 = 430.
        QTest::newRow("saved 100 200 900 700")
            << QStringLiteral("100 200 900 700 0 0 1920 1080") << true << QRect(100, 430, 600, 470)
            << QRect(100, 200, 900, 700);
        QTest::newRow("fractions keep their integer part")
            << QStringLiteral("300.5 40.9 800.2 600.7") << true << QRect(300, 170, 600, 470)
            << QRect(300, 40, 800, 600);
        QTest::newRow("fewer than four numbers count as none")
            << QStringLiteral("100 200 900") << true << QRect(250, 250, 600, 470)
            << QRect(250, 250, 600, 470);
        QTest::newRow("empty text counts as none")
            << QString() << true << QRect(250, 250, 600, 470) << QRect(250, 250, 600, 470);
    }
    void startAndNormalFrames() {
        QFETCH(QString, saved);
        QFETCH(bool, present);
        QFETCH(QRect, start);
        QFETCH(QRect, normal);
        const SavedFrame frame = present ? parseSavedFrame(saved) : SavedFrame{};
        QCOMPARE(startFrame(frame), start);
        QCOMPARE(normalFrame(frame), normal);
    }

    void masterSaveRule_data() {
        QTest::addColumn<QJsonObject>("before");
        QTest::addColumn<QJsonObject>("after");
        const QString now = QStringLiteral("2026-12-08T10:00:00.000Z");
        QTest::newRow("empty record gets every identifying field")
            << QJsonObject{{QStringLiteral("serverID"), QStringLiteral("S")}}
            << QJsonObject{{QStringLiteral("serverID"), QStringLiteral("S")},
                           {QStringLiteral("masterID"), QStringLiteral("NEW")},
                           {QStringLiteral("created"), now},
                           {QStringLiteral("type"), QStringLiteral("MasterInfoDoc")},
                           {QStringLiteral("owner"), QStringLiteral("admin")}};
        const QJsonObject kept{{QStringLiteral("masterID"), QStringLiteral("OLD")},
                               {QStringLiteral("created"), QStringLiteral("2015-01-01T00:00:00Z")},
                               {QStringLiteral("type"), QStringLiteral("MasterInfoDoc")},
                               {QStringLiteral("owner"), QStringLiteral("someone")}};
        QTest::newRow("present fields are kept") << kept << kept;
    }
    void masterSaveRule() {
        QFETCH(QJsonObject, before);
        QFETCH(QJsonObject, after);
        const QDateTime now =
            QDateTime::fromString(QStringLiteral("2026-12-08T10:00:00Z"), Qt::ISODate);
        QCOMPARE(masterPropertiesToSave(before, now, [] { return QStringLiteral("NEW"); }), after);
    }

    void serverSettings_data() {
        QTest::addColumn<QJsonObject>("httpd");
        QTest::addColumn<QString>("shown");
        QTest::newRow("absent") << QJsonObject{{QStringLiteral("port"), QStringLiteral("5984")}}
                                << QStringLiteral("Not enabled");
        QTest::newRow("empty value") << QJsonObject{{QStringLiteral("WWW-Authenticate"), QString()}}
                                     << QStringLiteral("Enabled");
        QTest::newRow("any value") << QJsonObject{{QStringLiteral("WWW-Authenticate"),
                                                   QStringLiteral("Basic realm=\"x\"")}}
                                   << QStringLiteral("Enabled");
    }
    void serverSettings() {
        QFETCH(QJsonObject, httpd);
        QFETCH(QString, shown);
        httpd.insert(QStringLiteral("bind_address"), QStringLiteral("127.0.0.1"));
        const QJsonObject config{
            {QStringLiteral("httpd"), httpd},
            {QStringLiteral("couch_httpd_auth"),
             QJsonObject{{QStringLiteral("require_valid_user"), QStringLiteral("true")}}}};
        const ServerSettings s = serverSettingsFromConfig(config);
        QCOMPARE(s.wwwAuthenticate, shown);
        QCOMPARE(s.bindAddress, QStringLiteral("127.0.0.1"));
        QCOMPARE(s.requireValidUser, QStringLiteral("true"));
    }

    void uuidTextForm() {
        const QRegularExpression form(
            QStringLiteral("^[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}$"));
        const QString a = uuidText();
        QVERIFY2(form.match(a).hasMatch(), qPrintable(a));
        QVERIFY(a != uuidText());
    }

    void notificationsReachObserversUntilRemoved() {
        NotificationCenter center;
        QObject a;
        QObject b;
        QStringList seen;
        center.addObserver(&a, QStringLiteral("AddUserToProject"),
                           [&](const Notification&) { seen << QStringLiteral("a"); });
        center.addObserver(&a, QStringLiteral("Other"),
                           [&](const Notification&) { seen << QStringLiteral("a-other"); });
        center.addObserver(&b, QStringLiteral("AddUserToProject"),
                           [&](const Notification&) { seen << QStringLiteral("b"); });
        center.post(QStringLiteral("AddUserToProject"));
        QCOMPARE(seen, QStringList({QStringLiteral("a"), QStringLiteral("b")}));

        center.removeObserver(&a);
        seen.clear();
        center.post(QStringLiteral("AddUserToProject"));
        center.post(QStringLiteral("Other"));
        QCOMPARE(seen, QStringList{QStringLiteral("b")});
        {
            QObject gone;
            center.addObserver(&gone, QStringLiteral("Other"),
                               [&](const Notification&) { seen << QStringLiteral("gone"); });
        }
        center.post(QStringLiteral("Other"));
        QCOMPARE(seen, QStringList{QStringLiteral("b")});
    }
};

QTEST_GUILESS_MAIN(TestAppLogic)
#include "tst_app_logic.moc"
