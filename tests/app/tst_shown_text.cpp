#include "chrome/PXAppStoreWindow.h"
#include "services/ShownText.h"
#include "tests/harness/ConsoleFixture.h"
#include "tests/harness/ProjectActions.h"
#include "tests/harness/TestServer.h"
#include "users/UserArrayController.h"

#include <QAbstractButton>
#include <QAbstractItemView>
#include <QApplication>
#include <QDialog>
#include <QFile>
#include <QHeaderView>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QScrollBar>
#include <QStyle>
#include <QTableView>
#include <QTemporaryDir>
#include <QTest>
#include <QTextDocument>
#include <QToolButton>

using namespace trevok::test;

namespace {

void putUser(const QString& name, const QString& first) {
    QJsonObject doc =
        TestServer::getJson(QStringLiteral("/_users/org.couchdb.user:") + name).object();
    if (doc.contains(QStringLiteral("error"))) {
        QVERIFY(TestServer::createDatabase(QStringLiteral("trevok_user_db_") + name));
        doc = {{QStringLiteral("name"), name},
               {QStringLiteral("password"), QStringLiteral("pw")},
               {QStringLiteral("roles"), QJsonArray()},
               {QStringLiteral("type"), QStringLiteral("user")},
               {QStringLiteral("lastName"), QStringLiteral("Example")}};
    }
    doc.insert(QStringLiteral("firstName"), first);
    QVERIFY(TestServer::putDocument(QStringLiteral("_users"),
                                    QStringLiteral("org.couchdb.user:") + name,
                                    QJsonDocument(doc).toJson(QJsonDocument::Compact)));
}

// Where every shown widget under `root` is, by object path: a name that
// moves the layout moves one of these.
QMap<QString, QRect> geometries(const QWidget* root) {
    QMap<QString, QRect> where;
    for (const QWidget* widget : root->findChildren<QWidget*>()) {
        if (!widget->isVisibleTo(root) || widget->objectName().isEmpty() ||
            widget->objectName().startsWith(QLatin1String("qt_")))
            continue;
        where.insert(widget->objectName(), QRect(widget->mapTo(root, QPoint()), widget->size()));
    }
    return where;
}

// What of `root` does not show whole, as "name: why".
QStringList cutOff(const QWidget* root) {
    QStringList cut;
    for (const QAbstractButton* button : root->findChildren<QAbstractButton*>()) {
        if (!button->isVisibleTo(root) || button->text().isEmpty())
            continue;
        const int text = button->fontMetrics().horizontalAdvance(
            QString(button->text()).remove(QLatin1Char('&')));
        const auto* tool = qobject_cast<const QToolButton*>(button);
        const int icon = button->icon().isNull() ? 0 : button->iconSize().width();
        // The button's own idea of its smallest size has its style's margins.
        const int needed = std::max(button->minimumSizeHint().width(),
                                    tool && tool->toolButtonStyle() == Qt::ToolButtonTextUnderIcon
                                        ? std::max(text, icon)
                                        : text + (icon ? icon + 4 : 0));
        if (needed > button->width())
            cut << QStringLiteral("%1 “%2”: %3 of %4 px")
                       .arg(button->objectName(), button->text())
                       .arg(button->width())
                       .arg(needed);
    }
    for (const QLabel* label : root->findChildren<QLabel*>()) {
        if (!label->isVisibleTo(root) || label->text().isEmpty())
            continue;
        const QRect room = label->contentsRect().adjusted(label->margin(), label->margin(),
                                                          -label->margin(), -label->margin());
        if (label->wordWrap()) {
            if (label->heightForWidth(label->width()) > label->height())
                cut << QStringLiteral("%1: needs %2 px of height, has %3")
                           .arg(label->objectName())
                           .arg(label->heightForWidth(label->width()))
                           .arg(label->height());
            continue;
        }
        for (const QString& line : label->text().split(QLatin1Char('\n')))
            if (label->fontMetrics().horizontalAdvance(line) > room.width())
                cut << QStringLiteral("%1 “%2”: %3 px wide, shows %4")
                           .arg(label->objectName(), line)
                           .arg(label->fontMetrics().horizontalAdvance(line))
                           .arg(room.width());
    }
    for (const QAbstractItemView* list : root->findChildren<QAbstractItemView*>())
        if (list->isVisibleTo(root) && list->horizontalScrollBar()->isVisible())
            cut << QStringLiteral("%1 scrolls sideways").arg(list->objectName());
    for (const QTableView* table : root->findChildren<QTableView*>()) {
        if (!table->isVisibleTo(root) || !table->model())
            continue;
        const QHeaderView* header = table->horizontalHeader();
        int columns = 0;
        for (int column = 0; column < header->count(); ++column) {
            if (table->isColumnHidden(column))
                continue;
            columns += header->sectionSize(column);
            if (header->sectionSizeHint(column) > header->sectionSize(column))
                cut << QStringLiteral("%1 column %2: header needs %3 px, has %4")
                           .arg(table->objectName())
                           .arg(column)
                           .arg(header->sectionSizeHint(column))
                           .arg(header->sectionSize(column));
        }
        if (columns > table->viewport()->width() + 1)
            cut << QStringLiteral("%1: columns take %2 px, it shows %3")
                       .arg(table->objectName())
                       .arg(columns)
                       .arg(table->viewport()->width());
        if (!qobject_cast<const UserArrayController*>(table->model()))
            continue;
        for (int row = 0; row < table->model()->rowCount(); ++row) {
            const QModelIndex created =
                table->model()->index(row, UserArrayController::CreatedColumn);
            const QString date = created.data().toString();
            if (table->fontMetrics().horizontalAdvance(date) >
                header->sectionSize(UserArrayController::CreatedColumn) - 4)
                cut << QStringLiteral("%1: the date “%2” does not fit on one line")
                           .arg(table->objectName(), date);
        }
    }
    return cut;
}

#define VERIFY_NOTHING_CUT_OFF(root, state)                                                        \
    do {                                                                                           \
        QTest::qWait(50);                                                                          \
        const QStringList cut = cutOff(root);                                                      \
        QVERIFY2(cut.isEmpty(),                                                                    \
                 qPrintable(QStringLiteral(state ": ") + cut.join(QStringLiteral("; "))));         \
    } while (false)

} // namespace

// A sync user may write what he likes into his own record's names; the
// console shows it as the characters it is, on the lines it has, and its
// window keeps its shape. And in no state is a control cut off.
class TestShownText : public QObject {
    Q_OBJECT

    TestServer m_server;
    std::unique_ptr<ConsoleFixture> m_console;
    QMap<QString, QRect> m_ordinary;
    AppDelegate& app() { return m_console->app(); }
    QLabel* membersLine() { return m_console->find<QLabel>("projectMembersFullNameField"); }

private Q_SLOTS:
    void initTestCase() {
        QVERIFY(m_server.start());
        ConsoleFixture::clearUserDefaults();
        putUser(QStringLiteral("mira"), QStringLiteral("Mira"));
        putUser(QStringLiteral("otto"), QStringLiteral("Otto"));
        if (QTest::currentTestFailed())
            return;
        m_console = std::make_unique<ConsoleFixture>();
        m_console->startUp();
        QVERIFY(m_console->logIn());
        const QString id = createListedProject(app(), QStringLiteral("Plain Project"));
        QVERIFY(!id.isEmpty());
        QVERIFY(selectProject(app(), id));
        QVERIFY(addMember(app(), QStringLiteral("mira")));
        QVERIFY(addMember(app(), QStringLiteral("otto")));
        app().closeUserPicker();
        QTRY_COMPARE(trevok::fullLabelText(membersLine()),
                     QStringLiteral("Members: Mira Example, Otto Example"));
        QTest::qWait(100);
        m_ordinary = geometries(app().mainWindow());
    }

    void cleanupTestCase() { m_console.reset(); }

    void userWrittenNameIsShownAsText_data() {
        QTest::addColumn<QString>("first");
        QTest::newRow("markup") << QStringLiteral(
            "<span style='font-size:40px;color:red'>SERVER COMPROMISED</span>");
        QTest::newRow("200 characters") << QString(200, QLatin1Char('W'));
        QTest::newRow("right to left, and an override")
            << QStringLiteral("\u05E9\u05DC\u05D5\u05DD \u202Eevil");
        QTest::newRow("emoji") << QStringLiteral(
            "\U0001F469\u200D\U0001F469\u200D\U0001F467 \U0001F389");
        QTest::newRow("combining") << QStringLiteral("Z\u0338\u0322a\u0336l\u0337g\u0334o\u0335");
        QTest::newRow("zero width") << QStringLiteral("Zero\u200Bwidth\u200D\uFEFFname");
        QTest::newRow("tabs and breaks")
            << QStringLiteral("Line\tone\nLine two\r\nthree\u2028four\u2029five");
    }

    void userWrittenNameIsShownAsText() {
        QFETCH(QString, first);
        putUser(QStringLiteral("mira"), first);
        // The line follows the users list, not only the project's record.
        const QString expected = trevok::shownName(first + QStringLiteral(" Example"));
        QTRY_VERIFY2_WITH_TIMEOUT(trevok::fullLabelText(membersLine()).contains(expected),
                                  qPrintable(trevok::fullLabelText(membersLine())), 5000);
        QCOMPARE(membersLine()->textFormat(), Qt::PlainText);
        QVERIFY(membersLine()->text().count(QLatin1Char('\n')) <= 1);
        QVERIFY(!membersLine()->text().contains(QLatin1Char('\t')));
        QCOMPARE(membersLine()->accessibleName(), trevok::fullLabelText(membersLine()));
        for (const QLabel* label : app().mainWindow()->findChildren<QLabel*>())
            QVERIFY2(label->textFormat() == Qt::PlainText || label->text().isEmpty(),
                     qPrintable(label->objectName()));
        QCOMPARE(geometries(app().mainWindow()), m_ordinary);

        // The users table: one line in the cell, the literal text in its tooltip.
        app().switchToUsers();
        auto* table = m_console->find<QTableView>("table");
        QVERIFY(table);
        QModelIndex cell;
        for (int row = 0; row < table->model()->rowCount(); ++row)
            if (table->model()->index(row, 0).data().toString() == QLatin1String("mira"))
                cell = table->model()->index(row, UserArrayController::FirstNameColumn);
        QTRY_COMPARE(cell.data(Qt::AccessibleTextRole).toString(), first);
        QCOMPARE(cell.data().toString(), trevok::oneLine(first));
        QTextDocument tip;
        const QString tooltip = cell.data(Qt::ToolTipRole).toString();
        if (Qt::mightBeRichText(tooltip))
            tip.setHtml(tooltip);
        else
            tip.setPlainText(tooltip);
        QCOMPARE(tip.toPlainText().simplified(), QString(first).simplified());
        QCOMPARE(table->rowHeight(cell.row()), table->rowHeight(cell.row() == 0 ? 1 : 0));
        app().switchToProjects();
    }

    // Every state of the window, at its size and at its smallest.
    void nothingIsCutOff() {
        putUser(QStringLiteral("mira"), QStringLiteral("Mira"));
        QWidget* window = app().mainWindow();
        app().switchToProjects();
        VERIFY_NOTHING_CUT_OFF(window, "projects");
        const int width = window->width();
        app().openUserPanel();
        VERIFY_NOTHING_CUT_OFF(window, "the picking panel open");
        app().closeUserPicker();
        QCOMPARE(window->width(), width);
        app().switchToUsers();
        VERIFY_NOTHING_CUT_OFF(window, "users");
        QVERIFY(!m_console->find<QTableView>("table")->horizontalScrollBar()->isVisible());
        app().switchToInfo();
        VERIFY_NOTHING_CUT_OFF(window, "information");
        app().switchToProjects();
        const QSize size = window->size();
        window->resize(window->minimumSize());
        VERIFY_NOTHING_CUT_OFF(window, "projects at the smallest size");
        app().openUserPanel();
        VERIFY_NOTHING_CUT_OFF(window, "the picking panel open at the smallest size");
        app().closeUserPicker();
        window->resize(size);

        app().switchToUsers();
        app().activateUserSheet();
        QVERIFY(app().userSheet());
        VERIFY_NOTHING_CUT_OFF(app().userSheet(), "the add-user sheet");
        app().closeUserSheet();
        app().activateChangeUserPasswordSheet();
        QVERIFY(app().userPasswordSheet());
        VERIFY_NOTHING_CUT_OFF(app().userPasswordSheet(), "the password sheet");
        app().closeChangeUserPasswordSheet();
        app().switchToProjects();
        app().activateProjectSheet();
        QVERIFY(app().projectSheet());
        VERIFY_NOTHING_CUT_OFF(app().projectSheet(), "the add-project sheet");
        app().closeProjectSheet();
        app().switchToInfo();
        app().activateChangeAdminPasswordSheet();
        QVERIFY(app().adminPasswordSheet());
        VERIFY_NOTHING_CUT_OFF(app().adminPasswordSheet(), "the administrator password sheet");
        app().closeChangeAdminPasswordSheet();
    }
};

// On a screen of a small laptop's size, not the offscreen default, which is
// narrower than any desktop the console is made for.
int main(int argc, char* argv[]) {
    QTemporaryDir folder;
    QFile config(folder.filePath(QStringLiteral("screen.json")));
    if (!config.open(QIODevice::WriteOnly) ||
        config.write(R"({"screens": [{"name": "laptop", "x": 0, "y": 0, "width": 1280,
                         "height": 800, "logicalDpi": 96, "logicalBaseDpi": 96, "dpr": 1}]})") < 0)
        return 2;
    config.close();
    qputenv("QT_QPA_PLATFORM", "offscreen:configfile=" + config.fileName().toUtf8());
    QApplication app(argc, argv);
    TestShownText test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}
#include "tst_shown_text.moc"
