#include "services/BusyCursor.h"
#include "store/CouchServer.h"

#include <QGuiApplication>
#include <QTcpServer>
#include <QTest>
#include <QTimer>

// A server that accepts and never answers keeps a waited request under way.
class TestBusyCursor : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void shownOnlyWhileALongWaitRuns_data() {
        QTest::addColumn<int>("sampleAtMs");
        QTest::addColumn<bool>("shown");
        QTest::newRow("short wait shows nothing") << 100 << false;
        QTest::newRow("long wait shows it") << trevok::kBusyCursorDelayMs + 300 << true;
    }
    void shownOnlyWhileALongWaitRuns() {
        QFETCH(int, sampleAtMs);
        QFETCH(bool, shown);
        trevok::installBusyCursor();
        QTcpServer silent;
        QVERIFY(silent.listen(QHostAddress::LocalHost));
        CouchServer server(QUrl(QStringLiteral("http://127.0.0.1:%1").arg(silent.serverPort())));
        server.setRequestTimeout(trevok::kBusyCursorDelayMs + 800);
        bool seen = !shown;
        QTimer::singleShot(sampleAtMs, [&] { seen = trevok::busyCursorShown(); });
        QVERIFY(!server.GET(QStringLiteral("x"))->wait());
        QCOMPARE(seen, shown);
        QVERIFY(!trevok::busyCursorShown());
        QVERIFY(!QGuiApplication::overrideCursor());
    }
};

QTEST_MAIN(TestBusyCursor)
#include "tst_busy_cursor.moc"
