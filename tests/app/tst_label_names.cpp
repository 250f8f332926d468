#include "lists/UserQuery.h"
#include "services/ShownText.h"
#include "tests/harness/ConsoleFixture.h"
#include "tests/harness/ProjectActions.h"
#include "tests/harness/TestServer.h"
#include "users/UserArrayController.h"

#include <QAccessible>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QStringListModel>
#include <QTest>

using namespace trevok::test;

namespace {

QList<std::pair<QObject*, QAccessible::Event>> g_events;
void recordEvent(QAccessibleEvent* event) {
    g_events.append({event->object(), event->type()});
}
bool announced(QObject* object, QAccessible::Event type) {
    return g_events.contains(std::make_pair(object, type));
}

// Showing labels whose accessible name is not the text they show, as
// "outlet: shows … / reads …". A screen reader must hear what is written.
QStringList labelsReadingOtherwise(const QWidget* root) {
    QStringList wrong;
    if (!root)
        return {QStringLiteral("(no window)")};
    for (QLabel* label : root->findChildren<QLabel*>()) {
        if (!label->isVisibleTo(root) || label->text().isEmpty())
            continue;
        QAccessibleInterface* face = QAccessible::queryAccessibleInterface(label);
        const QString name = face ? face->text(QAccessible::Name) : QString();
        // A label that elides reads its whole text.
        if (name != trevok::fullLabelText(label))
            wrong << QStringLiteral("%1: shows “%2” / reads “%3”")
                         .arg(label->objectName(), trevok::fullLabelText(label), name);
    }
    return wrong;
}

#define VERIFY_LABELS_READ_THEIR_TEXT(root)                                                        \
    do {                                                                                           \
        const QStringList wrong = labelsReadingOtherwise(root);                                    \
        QVERIFY2(wrong.isEmpty(), qPrintable(wrong.join(QStringLiteral("; "))));                   \
    } while (false)

void type(const QWidget* sheet, const char* field, const QString& text) {
    auto* edit = sheet->findChild<QLineEdit*>(QString::fromLatin1(field));
    QVERIFY2(edit, field);
    edit->setText(text);
}

} // namespace

// Every label the console writes text into reads that text to assistive
// technology afterwards, and every warning is announced when it appears.
class TestLabelNames : public QObject {
    Q_OBJECT

    TestServer m_server;
    std::unique_ptr<ConsoleFixture> m_console;
    bool m_listening = false;
    AppDelegate& app() { return m_console->app(); }

    // The sheet's warning field shows `message`, reads it, and was announced.
    void expectWarning(QDialog* sheet, const char* field, const QString& message) {
        QVERIFY(sheet);
        auto* warning = sheet->findChild<QLabel*>(QString::fromLatin1(field));
        QVERIFY2(warning, field);
        QVERIFY2(warning->isVisibleTo(sheet), field);
        QCOMPARE(trevok::fullLabelText(warning), message);
        QVERIFY2(!m_listening || announced(warning, QAccessible::Alert), field);
        VERIFY_LABELS_READ_THEIR_TEXT(sheet);
        g_events.clear();
    }

private Q_SLOTS:
    void initTestCase() {
        QAccessible::installUpdateHandler(recordEvent);
        // As when a screen reader listens: events are only sent then. A
        // platform without accessibility (offscreen) sends none at all; the
        // acceptance suite hears them through the real bridge.
        QAccessible::setActive(true);
        m_listening = QAccessible::isActive();
        if (!m_listening)
            qInfo("no accessibility on this platform: announcements are not checked here");
        QVERIFY(m_server.start());
        ConsoleFixture::clearUserDefaults();
        m_console = std::make_unique<ConsoleFixture>();
        m_console->startUp();
    }
    void cleanupTestCase() {
        m_console.reset();
        QAccessible::installUpdateHandler(nullptr);
    }

    void loggedOutWindowAndLoginFailure() {
        VERIFY_LABELS_READ_THEIR_TEXT(app().mainContent());
        QCOMPARE(
            QAccessible::queryAccessibleInterface(m_console->find<QLabel>("serverVersionTextField"))
                ->text(QAccessible::Name),
            QStringLiteral("The server is up and running."));
        g_events.clear();
        QVERIFY(!m_console->logIn(QStringLiteral("wrong")));
        expectWarning(
            app().loginSheet(), "loginWarningTextField",
            QStringLiteral("The server did not accept this password, or it cannot be reached."));
        // Its description is the outlet name, letter for letter.
        QCOMPARE(app()
                     .loginSheet()
                     ->findChild<QLineEdit*>(QStringLiteral("_loginPassWordTextField"))
                     ->accessibleDescription(),
                 QStringLiteral("_loginPassWordTextField"));
        QVERIFY(m_console->logIn());
    }

    void informationTab() {
        app().switchToInfo();
        QTRY_VERIFY(!m_console->find<QLabel>("masterID")->text().isEmpty());
        VERIFY_LABELS_READ_THEIR_TEXT(app().mainContent());
    }

    void addUserSheet() {
        app().activateUserSheet();
        QDialog* sheet = app().userSheet();
        QVERIFY(sheet);
        app().checkUser();
        expectWarning(sheet, "userSheetWarningTextField",
                      QStringLiteral("The username is missing."));
        type(sheet, "tmpUserName", QStringLiteral("ben"));
        app().checkUser();
        expectWarning(sheet, "userSheetWarningTextField",
                      QStringLiteral("The last name is missing."));
        type(sheet, "tmpLastName", QStringLiteral("Brook"));
        app().checkUser();
        expectWarning(sheet, "userSheetWarningTextField",
                      QStringLiteral("The password is missing."));
        type(sheet, "tmpPassword", QStringLiteral("a"));
        type(sheet, "tmpRepeatPassword", QStringLiteral("b"));
        app().checkUser();
        expectWarning(sheet, "userSheetWarningTextField",
                      QStringLiteral("The passwords don't match."));
        // The same message again is announced again: the person tried again.
        app().checkUser();
        expectWarning(sheet, "userSheetWarningTextField",
                      QStringLiteral("The passwords don't match."));
        type(sheet, "tmpRepeatPassword", QStringLiteral("a"));
        app().checkUser();
        QVERIFY(!app().userSheet());
    }

    void userPasswordSheet() {
        QTRY_VERIFY(app().userTableController()->rowCount() > 0);
        app().selectFirstUser();
        app().activateChangeUserPasswordSheet();
        QDialog* sheet = app().userPasswordSheet();
        QVERIFY(sheet);
        // It says whose password it changes, and reads so.
        QCOMPARE(sheet->findChild<QLabel*>(QStringLiteral("userPasswordSheetTitle"))->text(),
                 QStringLiteral("New password for ben"));
        VERIFY_LABELS_READ_THEIR_TEXT(sheet);
        app().changeUserPassword();
        expectWarning(sheet, "userPasswordSheetWarningField",
                      QStringLiteral("The password is missing."));
        type(sheet, "tmpNewPassword", QStringLiteral("x"));
        app().changeUserPassword();
        expectWarning(sheet, "userPasswordSheetWarningField",
                      QStringLiteral("The passwords don't match."));
        app().closeChangeUserPasswordSheet();
    }

    void adminPasswordSheet() {
        app().activateChangeAdminPasswordSheet();
        QDialog* sheet = app().adminPasswordSheet();
        QVERIFY(sheet);
        app().changeAdminPassword();
        expectWarning(sheet, "adminPasswordSheetWarningField",
                      QStringLiteral("The password field can't be empty"));
        app().closeChangeAdminPasswordSheet();
    }

    void projectSheetAndProjectsTab() {
        const QString id = createListedProject(app(), QStringLiteral("Café Zürich"));
        QVERIFY(!id.isEmpty());
        app().activateProjectSheet();
        QDialog* sheet = app().projectSheet();
        QVERIFY(sheet);
        type(sheet, "tmpProjectNameField", QStringLiteral("!!"));
        app().createProject();
        auto* warning = sheet->findChild<QLabel*>(QStringLiteral("projectSheetWarningField"));
        QVERIFY(warning && warning->isVisibleTo(sheet) && !warning->text().isEmpty());
        QVERIFY(!m_listening || announced(warning, QAccessible::Alert));
        VERIFY_LABELS_READ_THEIR_TEXT(sheet);
        app().closeProjectSheet();

        // The status line and the members line below the members list.
        QVERIFY(selectProject(app(), id));
        QVERIFY(addMember(app(), QStringLiteral("ben")));
        QCOMPARE(app().membersArrayController()->stringList(), QStringList{QStringLiteral("ben")});
        auto* line = m_console->find<QLabel>("projectMembersFullNameField");
        QCOMPARE(line->text(), QStringLiteral("Members: Brook"));
        QVERIFY(!m_listening || announced(line, QAccessible::NameChanged));
        VERIFY_LABELS_READ_THEIR_TEXT(app().mainContent());
        app().closeUserPicker();
    }
};

QTEST_MAIN(TestLabelNames)
#include "tst_label_names.moc"
