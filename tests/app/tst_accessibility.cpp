#include "chrome/PXAppStoreWindow.h"
#include "services/Interface.h"
#include "tests/harness/ConsoleFixture.h"

#include <QAbstractButton>
#include <QAbstractItemView>
#include <QDialog>
#include <QLineEdit>
#include <QTest>

using namespace trevok::test;

namespace {
// Controls a person operates: each needs a name a person understands and, as
// its description, its outlet name letter for letter, so that assistive
// technology and scripted acceptance tests find it.
QStringList unnamedControls(const QWidget* root) {
    QStringList missing;
    const QList<QWidget*> widgets = root->findChildren<QWidget*>();
    for (const QWidget* w : widgets) {
        const bool control = qobject_cast<const QAbstractButton*>(w) ||
                             qobject_cast<const QLineEdit*>(w) ||
                             qobject_cast<const QAbstractItemView*>(w);
        // Qt's own inner parts ("qt_…", a tab bar's "ScrollLeftButton") are
        // not outlets; outlet names begin in lower case.
        if (!control || w->objectName().isEmpty() ||
            w->objectName().startsWith(QLatin1String("qt_")) || w->objectName().at(0).isUpper())
            continue;
        if (w->accessibleName().isEmpty() || w->accessibleDescription() != w->objectName())
            missing << w->objectName();
    }
    return missing;
}
} // namespace

class TestAccessibility : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void mainWindowControlsAreNamed() {
        ConsoleFixture console;
        const QStringList missing = unnamedControls(console.app().mainContent());
        QVERIFY2(missing.isEmpty(), qPrintable(missing.join(QStringLiteral(", "))));
    }

    void sheetsAndTheirControlsAreNamed_data() {
        QTest::addColumn<QString>("file");
        for (const char* file : {"LoginSheet", "AdminPasswordChangeSheet", "AddUserSheet",
                                 "UserPasswordChangeSheet", "AddProjectSheet"})
            QTest::newRow(file) << QString::fromLatin1(file);
    }
    void sheetsAndTheirControlsAreNamed() {
        QFETCH(QString, file);
        std::unique_ptr<QWidget> sheet(trevok::loadInterface(file));
        QVERIFY(sheet);
        QVERIFY(!sheet->accessibleName().isEmpty());
        QCOMPARE(sheet->accessibleDescription(), sheet->objectName());
        const QStringList missing = unnamedControls(sheet.get());
        QVERIFY2(missing.isEmpty(), qPrintable(missing.join(QStringLiteral(", "))));
    }
};

QTEST_MAIN(TestAccessibility)
#include "tst_accessibility.moc"
