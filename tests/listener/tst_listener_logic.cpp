#include "server/DnsSdAnnouncer.h"
#include "server/ListenerAccess.h"
#include "server/MachineId.h"
#include "server/ServiceName.h"
#include "server/TxtRecord.h"

#include <QRegularExpression>
#include <QTest>

using namespace trevok;

Q_DECLARE_METATYPE(trevok::ListenerRoute)

class TestListenerLogic : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void txtRecordHasExactlyFourKeys_data() {
        QTest::addColumn<int>("port");
        QTest::addColumn<QString>("expected");
        QTest::newRow("small") << 7 << QStringLiteral("7");
        QTest::newRow("typical") << 49152 << QStringLiteral("49152");
        QTest::newRow("highest") << 65535 << QStringLiteral("65535");
        QTest::newRow("round") << 5000 << QStringLiteral("5000");
    }
    void txtRecordHasExactlyFourKeys() {
        QFETCH(int, port);
        QFETCH(QString, expected);
        // As start-up builds it: three entries first, "port" once the listener runs.
        TxtRecordDictionary record = txtRecordDictionary(QStringLiteral("00:1A:2B:3C:4D:5E"));
        QCOMPARE(record.size(), 3);
        setTxtRecordPort(record, quint16(port));
        QCOMPARE(record.keys(),
                 (QStringList{QStringLiteral("Edition"), QStringLiteral("Machine ID"),
                              QStringLiteral("Version"), QStringLiteral("port")}));
        QCOMPARE(record.value(QStringLiteral("Edition")), QStringLiteral("Server"));
        QCOMPARE(record.value(QStringLiteral("Version")), QStringLiteral("1.0"));
        QCOMPARE(record.value(QStringLiteral("Machine ID")), QStringLiteral("00:1A:2B:3C:4D:5E"));
        QCOMPARE(record.value(QStringLiteral("port")), expected);
        QVERIFY(QRegularExpression(QStringLiteral("^[1-9][0-9]*$"))
                    .match(record.value(QStringLiteral("port")))
                    .hasMatch());
        QCOMPARE(txtRecordDictionary(QStringLiteral("00:1A:2B:3C:4D:5E"), quint16(port)), record);
    }

    void txtRecordEncodesKeyValueStrings() {
        const QList<QByteArray> strings =
            encodeTxtRecord(txtRecordDictionary(QStringLiteral("0A:0B:0C:0D:0E:0F"), 5984));
        QCOMPARE(strings, (QList<QByteArray>{"Edition=Server", "Machine ID=0A:0B:0C:0D:0E:0F",
                                             "Version=1.0", "port=5984"}));
    }

    void txtRecordLeavesOutWhatDoesNotFit() {
        TxtRecordDictionary record;
        record.insert(QStringLiteral("ok"), QStringLiteral("1"));
        record.insert(QStringLiteral("long"), QString(300, QLatin1Char('x')));
        QTest::ignoreMessage(QtWarningMsg, "DNS-SD: TXT entry \"long\" cannot be announced");
        QCOMPARE(encodeTxtRecord(record), QList<QByteArray>{"ok=1"});
    }

    void macAddressText_data() {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("text");
        QTest::newRow("example") << QByteArray::fromHex("001a2b3c4d5e")
                                 << QStringLiteral("00:1A:2B:3C:4D:5E");
        QTest::newRow("below sixteen")
            << QByteArray::fromHex("0a0b0c0d0e0f") << QStringLiteral("0A:0B:0C:0D:0E:0F");
        QTest::newRow("zero") << QByteArray(6, '\0') << QStringLiteral("00:00:00:00:00:00");
        QTest::newRow("all ones") << QByteArray(6, '\xff') << QStringLiteral("FF:FF:FF:FF:FF:FF");
    }
    void macAddressText() {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, text);
        std::array<uint8_t, 6> address{};
        std::copy_n(reinterpret_cast<const uint8_t*>(bytes.constData()), 6, address.begin());
        QCOMPARE(formatMacAddress(address), text);
        QCOMPARE(formatMacAddress(address).size(), 17);
    }

    void missingEn0LogsAndFallsBack() {
        const std::vector<HardwareInterface> interfaces = {
            {QStringLiteral("lo"), {0, 0, 0, 0, 0, 0}, true},
            {QStringLiteral("veth0"), {0, 0, 0, 0, 0, 0}, false},
            {QStringLiteral("eth0"), {0x02, 0x42, 0xac, 0x11, 0x00, 0x02}, false},
            {QStringLiteral("eth1"), {0x02, 0x42, 0xac, 0x11, 0x00, 0x03}, false},
        };
        QTest::ignoreMessage(QtWarningMsg, "Error: if_nametoindex failure");
        QTest::ignoreMessage(QtInfoMsg, "Mac Address: 02:42:AC:11:00:02");
        QCOMPARE(getMacAddress(0, interfaces), QStringLiteral("02:42:AC:11:00:02"));
    }

    void missingEn0WithoutAnyAddressGivesZeros() {
        QTest::ignoreMessage(QtWarningMsg, "Error: if_nametoindex failure");
        QTest::failOnWarning(QRegularExpression(QStringLiteral("^Mac Address")));
        const std::vector<HardwareInterface> onlyLoopback = {
            {QStringLiteral("lo"), {0, 0, 0, 0, 0, 1}, true}};
        QCOMPARE(getMacAddress(0, onlyLoopback), QStringLiteral("00:00:00:00:00:00"));
    }

    void presentEn0IsPreferred() {
        const std::vector<HardwareInterface> interfaces = {
            {QStringLiteral("eth0"), {1, 2, 3, 4, 5, 6}, false},
            {QStringLiteral("en0"), {0x0a, 0, 0, 0, 0, 0x0b}, false},
        };
        QTest::ignoreMessage(QtInfoMsg, "Mac Address: 0A:00:00:00:00:0B");
        QCOMPARE(getMacAddress(3, interfaces), QStringLiteral("0A:00:00:00:00:0B"));
    }

    void machineIdentifierOfThisMachineHasTheTextForm() {
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("^Error: ")));
        QTest::ignoreMessage(QtInfoMsg, QRegularExpression(QStringLiteral("^Mac Address: ")));
        const QString id = getMacAddress();
        QVERIFY2(QRegularExpression(QStringLiteral("^([0-9A-F]{2}:){5}[0-9A-F]{2}$"))
                     .match(id)
                     .hasMatch(),
                 qPrintable(id));
    }

    void serviceNameKeepsBlanksAndNonAscii_data() {
        QTest::addColumn<QString>("full");
        QTest::addColumn<QString>("host");
        QTest::addColumn<QString>("expected");
        QTest::newRow("plain") << QStringLiteral("Ann") << QStringLiteral("studio")
                               << QStringLiteral("Ann @ studio");
        QTest::newRow("blanks") << QStringLiteral("Ann  Marie Smith ")
                                << QStringLiteral("Ann's Mac mini")
                                << QStringLiteral("Ann  Marie Smith  @ Ann's Mac mini");
        QTest::newRow("non-ascii")
            << QStringLiteral(u"Jürgen Groß") << QStringLiteral(u"Büro-Rechner 東京")
            << QStringLiteral(u"Jürgen Groß @ Büro-Rechner 東京");
    }
    void serviceNameKeepsBlanksAndNonAscii() {
        QFETCH(QString, full);
        QFETCH(QString, host);
        QFETCH(QString, expected);
        QCOMPARE(composeServiceName(full, host), expected);
    }

    void fullNameFromGecos_data() {
        QTest::addColumn<QByteArray>("gecos");
        QTest::addColumn<QString>("expected");
        QTest::newRow("fields") << QByteArray("Ann Smith,Room 4,555,")
                                << QStringLiteral("Ann Smith");
        QTest::newRow("name only") << QByteArray("Jürgen Groß") << QStringLiteral(u"Jürgen Groß");
        QTest::newRow("empty") << QByteArray("") << QStringLiteral("ann");
        QTest::newRow("empty first field") << QByteArray(",,,") << QStringLiteral("ann");
    }
    void fullNameFromGecos() {
        QFETCH(QByteArray, gecos);
        QFETCH(QString, expected);
        QCOMPARE(fullNameFromPasswordEntry(gecos, "ann"), expected);
    }

    void prettyHostName_data() {
        QTest::addColumn<QByteArray>("contents");
        QTest::addColumn<QString>("expected");
        QTest::newRow("double quoted")
            << QByteArray("CHASSIS=laptop\nPRETTY_HOSTNAME=\"Ann's Laptop\"\n")
            << QStringLiteral("Ann's Laptop");
        QTest::newRow("single quoted")
            << QByteArray("PRETTY_HOSTNAME='Büro 2'\n") << QStringLiteral(u"Büro 2");
        QTest::newRow("bare") << QByteArray("PRETTY_HOSTNAME=studio\n") << QStringLiteral("studio");
        QTest::newRow("escaped quote")
            << QByteArray("PRETTY_HOSTNAME=\"The \\\"Den\\\"\"") << QStringLiteral("The \"Den\"");
        QTest::newRow("absent") << QByteArray("CHASSIS=server\n") << QString();
    }
    void prettyHostName() {
        QFETCH(QByteArray, contents);
        QFETCH(QString, expected);
        QCOMPARE(prettyHostNameFromMachineInfo(contents), expected);
    }

    void serviceTypeWithoutTrailingDot() {
        QCOMPARE(DnsSdAnnouncer::avahiServiceType(QStringLiteral("_trevok-sync._tcp.")),
                 QStringLiteral("_trevok-sync._tcp"));
        QCOMPARE(DnsSdAnnouncer::avahiServiceType(QStringLiteral("_trevok-sync._tcp")),
                 QStringLiteral("_trevok-sync._tcp"));
    }

    void listenerRoutes_data() {
        QTest::addColumn<QByteArray>("target");
        QTest::addColumn<ListenerRoute>("route");
        QTest::addColumn<QString>("userName");
        using R = ListenerRoute;
        const QString none;
        QTest::newRow("root") << QByteArray("/") << R::Root << none;
        QTest::newRow("session") << QByteArray("/_session") << R::Session << none;
        QTest::newRow("uuids with count") << QByteArray("/_uuids?count=10") << R::Uuids << none;
        QTest::newRow("user db") << QByteArray("/trevok_user_db_ann") << R::UserDatabase << none;
        QTest::newRow("user db slash")
            << QByteArray("/trevok_user_db_ann/") << R::UserDatabase << none;
        QTest::newRow("user db changes")
            << QByteArray("/trevok_user_db_ann/_changes?feed=continuous&since=0") << R::UserDatabase
            << none;
        QTest::newRow("design doc encoded")
            << QByteArray("/trevok_user_db_ann/_design%2Fsecurity") << R::UserDatabase << none;
        QTest::newRow("encoded prefix")
            << QByteArray("/trevok%5Fuser%5Fdb%5Fann/doc") << R::UserDatabase << none;
        QTest::newRow("own user doc") << QByteArray("/_users/org.couchdb.user:ann")
                                      << R::UsersDocument << QStringLiteral("ann");
        QTest::newRow("own user doc encoded")
            << QByteArray("/_users/org.couchdb.user%3Aj%C3%BCrgen") << R::UsersDocument
            << QStringLiteral(u"jürgen");

        QTest::newRow("config") << QByteArray("/_config") << R::Forbidden << none;
        QTest::newRow("config admins")
            << QByteArray("/_config/admins/admin") << R::Forbidden << none;
        QTest::newRow("all dbs") << QByteArray("/_all_dbs") << R::Forbidden << none;
        QTest::newRow("replicator") << QByteArray("/_replicator") << R::Forbidden << none;
        QTest::newRow("master") << QByteArray("/trevok_master") << R::Forbidden << none;
        QTest::newRow("users db") << QByteArray("/_users") << R::Forbidden << none;
        QTest::newRow("users all docs") << QByteArray("/_users/_all_docs") << R::Forbidden << none;
        QTest::newRow("users prefix only")
            << QByteArray("/_users/org.couchdb.user:") << R::Forbidden << none;
        QTest::newRow("session below") << QByteArray("/_session/x") << R::Forbidden << none;
        QTest::newRow("bare prefix") << QByteArray("/trevok_user_db_") << R::Forbidden << none;
        QTest::newRow("dot dot") << QByteArray("/trevok_user_db_ann/../_config") << R::Forbidden
                                 << none;
        QTest::newRow("encoded dot dot")
            << QByteArray("/trevok_user_db_ann/%2e%2E/_config") << R::Forbidden << none;
        QTest::newRow("encoded slash in db")
            << QByteArray("/trevok_user_db_ann%2F..%2F_config") << R::Forbidden << none;
        QTest::newRow("encoded nul")
            << QByteArray("/trevok_user_db_ann%00") << R::Forbidden << none;
        QTest::newRow("upper case db") << QByteArray("/trevok_user_db_ANN") << R::Forbidden << none;
        QTest::newRow("double slash") << QByteArray("//trevok_user_db_ann") << R::Forbidden << none;
        QTest::newRow("empty inner segment")
            << QByteArray("/trevok_user_db_ann//doc") << R::Forbidden << none;
        QTest::newRow("dot") << QByteArray("/./_config") << R::Forbidden << none;
        QTest::newRow("utils") << QByteArray("/_utils/") << R::Forbidden << none;

        QTest::newRow("absolute form")
            << QByteArray("http://127.0.0.1:5984/_config") << R::Malformed << none;
        QTest::newRow("asterisk") << QByteArray("*") << R::Malformed << none;
        QTest::newRow("broken escape")
            << QByteArray("/trevok_user_db_ann/%zz") << R::Malformed << none;
        QTest::newRow("cut escape") << QByteArray("/trevok_user_db_ann/%2") << R::Malformed << none;
        QTest::newRow("fragment") << QByteArray("/trevok_user_db_ann#x") << R::Malformed << none;
    }
    void listenerRoutes() {
        QFETCH(QByteArray, target);
        QFETCH(ListenerRoute, route);
        QFETCH(QString, userName);
        const ListenerTarget t =
            classifyListenerTarget(std::string_view(target.constData(), target.size()));
        QCOMPARE(t.route, route);
        QCOMPARE(t.userName, userName);
        if (route == ListenerRoute::Forbidden || route == ListenerRoute::Malformed)
            QVERIFY(!t.reason.isEmpty());
    }

    void basicAuthentication() {
        QCOMPARE(basicAuthUser("Basic " + QByteArray("ann:pw:x").toBase64().toStdString()),
                 QStringLiteral("ann"));
        QCOMPARE(basicAuthUser("basic " + QByteArray("admin:").toBase64().toStdString()),
                 QStringLiteral("admin"));
        QCOMPARE(basicAuthUser("Basic " + QByteArray("j\xc3\xbcrgen:pw").toBase64().toStdString()),
                 QStringLiteral(u"jürgen"));
        QCOMPARE(basicAuthUser("Basic !!!"), std::nullopt);
        QCOMPARE(basicAuthUser("Basic " + QByteArray("nocolon").toBase64().toStdString()),
                 std::nullopt);
        QCOMPARE(basicAuthUser("Bearer abc"), std::nullopt);
        QCOMPARE(basicAuthUser(""), std::nullopt);
    }

    void loginNames_data() {
        QTest::addColumn<QByteArray>("contentType");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QStringList>("names");
        QTest::addColumn<bool>("readable");
        const QString admin = QStringLiteral("admin");
        QTest::newRow("form") << QByteArray("application/x-www-form-urlencoded")
                              << QByteArray("name=ann&password=pw")
                              << QStringList{QStringLiteral("ann")} << true;
        QTest::newRow("form encoded admin")
            << QByteArray("application/x-www-form-urlencoded")
            << QByteArray("password=x&name=%61dmin") << QStringList{admin} << true;
        QTest::newRow("form twice") << QByteArray("application/x-www-form-urlencoded")
                                    << QByteArray("name=ann&name=admin&password=x")
                                    << QStringList{QStringLiteral("ann"), admin} << true;
        QTest::newRow("form username")
            << QByteArray("text/plain") << QByteArray("username=admin&password=x")
            << QStringList{admin} << true;
        QTest::newRow("json") << QByteArray("application/json; charset=utf-8")
                              << QByteArray("{\"name\":\"admin\",\"password\":\"x\"}")
                              << QStringList{admin} << true;
        QTest::newRow("json non-string name")
            << QByteArray("Application/JSON") << QByteArray("{\"name\":[\"admin\"]}")
            << QStringList{QStringLiteral("?")} << true;
        QTest::newRow("json broken")
            << QByteArray("application/json") << QByteArray("{\"name\":") << QStringList{} << false;
    }
    void loginNames() {
        QFETCH(QByteArray, contentType);
        QFETCH(QByteArray, body);
        QFETCH(QStringList, names);
        QFETCH(bool, readable);
        const auto found =
            sessionLoginNames(std::string_view(contentType.constData(), contentType.size()),
                              std::string_view(body.constData(), body.size()));
        QCOMPARE(found.has_value(), readable);
        if (found)
            QCOMPARE(QStringList(found->begin(), found->end()), names);
    }

    void sessionCookies() {
        using V = std::vector<std::string>;
        QCOMPARE(authSessionCookies("AuthSession=abc123"), V{"abc123"});
        QCOMPARE(authSessionCookies("theme=dark; AuthSession=YW5u; x=1"), V{"YW5u"});
        // Two sessions in one request: the caller sees both and refuses it.
        QCOMPARE(authSessionCookies("AuthSession=YW5u;AuthSession=YWRtaW4"),
                 (V{"YW5u", "YWRtaW4"}));
        QCOMPARE(authSessionCookies("NotAuthSession=1"), V{});
        QCOMPARE(authSessionCookies(""), V{});
    }
};

QTEST_GUILESS_MAIN(TestListenerLogic)
#include "tst_listener_logic.moc"
