#include "chrome/Geometry.h"
#include "chrome/PXAppStoreWindow.h"
#include "chrome/PXAppStoreWindowContentView.h"
#include "chrome/PXAppStoreWindowDelegateProxy.h"
#include "chrome/PXTitlebarContainer.h"
#include "chrome/PXWindowButton.h"
#include "chrome/PXWindowButtonGroup.h"
#include "chrome/UserDefaults.h"

#include <QApplication>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFrame>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTest>
#include <QVBoxLayout>
#include <QWindow>

#include <memory>

using K = PXAppStoreWindow::StandardButton;

// A client delegate that places sheets itself and listens to one message.
class PlacingDelegate : public QObject {
    Q_OBJECT
public:
    QRectF answer;
    int resizes = 0;
    Q_INVOKABLE QRectF windowWillPositionSheet(PXAppStoreWindow*, QWidget*, QRectF) {
        return answer;
    }
public Q_SLOTS:
    void windowDidResize(PXAppStoreWindow*) { ++resizes; }
};

// A delegate with nothing to say about sheets.
class QuietDelegate : public QObject {
    Q_OBJECT
};

class TestChromeWindow : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void init();
    void defaultLayout();
    void loggedInLayout();
    void unchangedHeightDoesNoLayout();
    void contentViewKeepsItsFrame();
    void fullScreenRestoresHeight_data();
    void fullScreenRestoresHeight();
    void frameChangesDroppedDuringStyleChange();
    void customButtonReplacesStandard();
    void titleBarViewCannotBeEmptied();
    void accessibleNames();
    void sheetHangsFromBar_data();
    void sheetHangsFromBar();
    void sheetKeys();
    void sheetsQueue();
    void delegateProxy();
    void frameAutosave();
    void doubleClick_data();
    void doubleClick();
    void dragByBar_data();
    void dragByBar();
    void groups();
    void rollover();
    void hoverRegion_data();
    void hoverRegion();

private:
    std::unique_ptr<PXAppStoreWindow> makeWindow(bool show = true);
};

void TestChromeWindow::initTestCase() {
    PXAppStoreWindow::setAnimationsEnabled(false);
}

void TestChromeWindow::init() {
    pxOpenUserDefaults()->clear();
}

std::unique_ptr<PXAppStoreWindow> TestChromeWindow::makeWindow(bool show) {
    auto w = std::make_unique<PXAppStoreWindow>();
    w->setWindowTitle(QStringLiteral("TrevokServer"));
    w->setFrame(
        PXGeometry::fromScreen(QRect(100, 80, 600, 470), PXGeometry::referenceScreenGeometry()));
    if (show) {
        w->show();
        w->activateWindow();
        if (!QTest::qWaitForWindowActive(w.get()))
            qWarning("window did not become active");
    }
    return w;
}

void TestChromeWindow::defaultLayout() {
    auto w = makeWindow(false);
    QCOMPARE(w->titleBarHeight(), PXAppStoreWindow::standardTitleBarHeight);
    QCOMPARE(w->titleBarView()->geometry(), QRect(0, 0, 600, 22));
    QCOMPARE(w->titleBarContainer()->geometry(), QRect(0, 0, 600, 22));
    // Centred in a standard bar: 22 / 2 - 16 / 2 = 3 from the top.
    QCOMPARE(w->standardWindowButton(K::Close)->geometry(), QRect(7, 3, 14, 16));
    QCOMPARE(w->standardWindowButton(K::Minimize)->geometry(), QRect(27, 3, 14, 16));
    QCOMPARE(w->standardWindowButton(K::Zoom)->geometry(), QRect(47, 3, 14, 16));
    QCOMPARE(w->fullScreenButtonRightMargin(),
             PXAppStoreWindow::standardFullScreenButtonRightMargin);
    QCOMPARE(w->standardWindowButton(K::FullScreen)->geometry(), QRect(582, 3, 14, 16));
    QCOMPARE(w->contentView()->geometry(), QRect(0, 22, 600, 448));
    QVERIFY(!w->standardWindowButton(K::DocumentIcon));
    QVERIFY(!w->standardWindowButton(K::DocumentVersions));
}

void TestChromeWindow::loggedInLayout() {
    auto w = makeWindow();
    w->setTrafficLightButtonsLeftMargin(7);
    w->setFullScreenButtonRightMargin(7);
    w->setCenterFullScreenButton(false);
    w->setCenterTrafficLightButtons(false);
    w->setShowsTitle(true);
    w->setTitleBarHeight(70);
    w->setShowsBaselineSeparator(true);
    QCOMPARE(w->standardWindowButton(K::Close)->geometry(), QRect(7, 3, 14, 16));
    QCOMPARE(w->standardWindowButton(K::FullScreen)->geometry(), QRect(579, 3, 14, 16));
    QCOMPARE(w->titleBarView()->geometry(), QRect(0, 0, 600, 70));
    QCOMPARE(w->contentView()->geometry(), QRect(0, 70, 600, 400));
    // The margin stays measured-once: resizing keeps it.
    w->resize(800, 500);
    QCOMPARE(w->standardWindowButton(K::FullScreen)->geometry(), QRect(779, 3, 14, 16));
    QCOMPARE(w->contentView()->geometry(), QRect(0, 70, 800, 430));
    QCOMPARE(w->titleBarView()->width(), 800);
}

void TestChromeWindow::unchangedHeightDoesNoLayout() {
    auto w = makeWindow(false);
    w->setTitleBarHeight(70);
    QSignalSpy layouts(w.get(), &PXAppStoreWindow::didLayoutTitlebar);
    w->setTitleBarHeight(70);
    w->setTrafficLightSeparation(w->trafficLightSeparation());
    w->setCenterTrafficLightButtons(w->centerTrafficLightButtons());
    QCOMPARE(layouts.count(), 0);
    w->setTitleBarHeight(71);
    QCOMPARE(layouts.count(), 1);
}

void TestChromeWindow::contentViewKeepsItsFrame() {
    auto w = makeWindow();
    w->setTitleBarHeight(70);
    QWidget* content = w->contentView();
    QVERIFY(PXAppStoreWindowContentView::isAttached(content));
    content->setGeometry(10, 10, 50, 50);
    QCOMPARE(content->geometry(), QRect(0, 70, 600, 400));
    content->resize(20, 20);
    QCOMPARE(content->geometry(), QRect(0, 70, 600, 400));

    // A view of another class is placed but not held.
    auto* frame = new QFrame;
    w->setContentView(frame);
    QCOMPARE(frame->geometry(), QRect(0, 70, 600, 400));
    QVERIFY(!PXAppStoreWindowContentView::isAttached(frame));
    frame->setGeometry(5, 5, 10, 10);
    QCOMPARE(frame->geometry(), QRect(5, 5, 10, 10));

    // A plain view put in its place gets the behaviour; the one it replaces,
    // handed back, loses it.
    auto* plain = new QWidget;
    w->setContentView(plain);
    QVERIFY(PXAppStoreWindowContentView::isAttached(plain));
    QVERIFY(!frame->parent());
    delete frame;
    w->setContentView(new QWidget);
    QVERIFY(!PXAppStoreWindowContentView::isAttached(plain));
    delete plain;
}

void TestChromeWindow::fullScreenRestoresHeight_data() {
    QTest::addColumn<double>("changedInFullScreen"); // 0 = untouched
    QTest::addColumn<double>("expected");
    QTest::newRow("height set before") << 0.0 << 70.0;
    QTest::newRow("height changed in full screen") << 50.0 << 50.0;
}

void TestChromeWindow::fullScreenRestoresHeight() {
    QFETCH(double, changedInFullScreen);
    QFETCH(double, expected);
    auto w = makeWindow();
    w->setHideTitleBarInFullScreen(true);
    w->setTitleBarHeight(70);
    QSignalSpy entered(w.get(), &PXAppStoreWindow::windowWillEnterFullScreen);
    w->toggleFullScreen();
    QCOMPARE(entered.count(), 1);
    QVERIFY(w->isInFullScreen());
    QCOMPARE(w->titleBarHeight(), 0.0);
    QVERIFY(w->titleBarView()->isHidden());
    QTRY_COMPARE(w->contentView()->geometry(), w->rect());
    QVERIFY(w->standardWindowButton(K::Close)->isHidden());
    if (changedInFullScreen > 0)
        w->setTitleBarHeight(changedInFullScreen);
    w->toggleFullScreen();
    QVERIFY(!w->isInFullScreen());
    QCOMPARE(w->titleBarHeight(), expected);
    QVERIFY(!w->titleBarView()->isHidden());
    QVERIFY(!w->standardWindowButton(K::Close)->isHidden());
}

void TestChromeWindow::frameChangesDroppedDuringStyleChange() {
    auto w = makeWindow(false);
    const QRectF before = w->frame();
    connect(w.get(), &PXAppStoreWindow::styleMaskChanged, w.get(),
            [&w] { w->setFrame(QRectF(10, 10, 300, 200)); });
    w->setStyleMask(w->styleMask() | PXAppStoreWindow::TexturedBackground);
    QCOMPARE(w->frame(), before);
    w->disconnect();
    w->setFrame(QRectF(10, 10, 300, 200));
    QCOMPARE(w->frame(), QRectF(10, 10, 300, 200));
}

void TestChromeWindow::customButtonReplacesStandard() {
    auto w = makeWindow();
    PXWindowButton* standard = w->standardWindowButton(K::Close);
    auto* custom = PXWindowButton::windowButtonWithSize(QSize(20, 20));
    w->setCloseButton(custom);
    QCOMPARE(custom->parentWidget(), w.get());
    QCOMPARE(custom->pos(), standard->pos());
    QCOMPARE(custom->accessibleName(), QStringLiteral("Close"));
    QVERIFY(standard->isVisible()); // until the next layout
    w->setTitleBarHeight(40);
    QVERIFY(standard->isHidden());
    QCOMPARE(custom->geometry(), QRect(7, 10, 20, 20)); // round(20 - 10) from the top
    w->setCloseButton(nullptr);
    QVERIFY(!custom->parent());
    w->setTitleBarHeight(41);
    // The window's own button sits directly in the window: it stays hidden.
    QVERIFY(standard->isHidden());
    delete custom;
}

void TestChromeWindow::titleBarViewCannotBeEmptied() {
    auto w = makeWindow(false);
    PXTitlebarView* view = w->titleBarView();
    w->setTitleBarView(nullptr);
    QCOMPARE(w->titleBarView(), view);
    auto* other = new PXTitlebarView;
    w->setTitleBarView(other);
    QCOMPARE(w->titleBarView(), other);
    QCOMPARE(other->geometry(), w->titleBarContainer()->rect());
}

void TestChromeWindow::accessibleNames() {
    auto w = makeWindow(false);
    const struct {
        K kind;
        const char* name;
        const char* outlet;
    } expected[] = {{K::Close, "Close", "closeButton"},
                    {K::Minimize, "Minimise", "minimizeButton"},
                    {K::Zoom, "Zoom", "zoomButton"},
                    {K::FullScreen, "Full Screen", "fullScreenButton"}};
    for (const auto& e : expected) {
        QCOMPARE(w->standardWindowButton(e.kind)->accessibleName(), QString::fromLatin1(e.name));
        QCOMPARE(w->standardWindowButton(e.kind)->accessibleDescription(),
                 QString::fromLatin1(e.outlet));
    }
    QCOMPARE(w->titleBarView()->accessibleName(), QStringLiteral("Title bar"));
}

void TestChromeWindow::sheetHangsFromBar_data() {
    QTest::addColumn<bool>("placingDelegate");
    QTest::addColumn<double>("barHeight");
    QTest::addColumn<QPoint>("expectedLocal");
    QTest::newRow("standard bar") << false << 22.0 << QPoint(150, 22);
    QTest::newRow("logged-in bar") << false << 70.0 << QPoint(150, 70);
    // The client's rectangle wins: top edge at y 300 (170 from the top),
    // centred in 0..200.
    QTest::newRow("client places it") << true << 70.0 << QPoint(-50, 170);
}

void TestChromeWindow::sheetHangsFromBar() {
    QFETCH(bool, placingDelegate);
    QFETCH(double, barHeight);
    QFETCH(QPoint, expectedLocal);
    auto w = makeWindow();
    PlacingDelegate delegate;
    delegate.answer = QRectF(0, 300, 200, 0);
    QuietDelegate quiet;
    w->setDelegate(placingDelegate ? static_cast<QObject*>(&delegate) : &quiet);
    w->setTitleBarHeight(barHeight);

    QWidget sheet;
    sheet.resize(300, 200);
    auto* field = new QLineEdit(&sheet);
    w->beginSheet(&sheet);
    QCOMPARE(w->attachedSheet(), &sheet);
    QVERIFY(sheet.isVisible());
    QCOMPARE(sheet.windowModality(), Qt::WindowModal);
    QVERIFY(sheet.windowFlags() & Qt::FramelessWindowHint);
    QCOMPARE(sheet.size(), QSize(300, 200));
    QCOMPARE(sheet.pos(), w->mapToGlobal(expectedLocal));
    QTRY_COMPARE(QApplication::focusWidget(), field);
    // The sheet is part of the window, which still looks the one in use.
    QVERIFY(w->isActiveAppearance());
    QCOMPARE(w->standardWindowButton(K::Close)->shownImage(), PXWindowButton::ShownImage::Active);

    // It follows the window.
    w->move(w->pos() + QPoint(30, 20));
    QTRY_COMPARE(sheet.pos(), w->mapToGlobal(expectedLocal));

    QSignalSpy ended(w.get(), &PXAppStoreWindow::windowDidEndSheet);
    w->endSheet(&sheet);
    QCOMPARE(ended.count(), 1);
    QVERIFY(!w->attachedSheet());
    QVERIFY(!sheet.isVisible());
    sheet.setParent(nullptr);
}

void TestChromeWindow::sheetKeys() {
    auto w = makeWindow();

    // A plain widget: Return presses the default button, Escape the cancel one.
    auto* plain = new QWidget;
    auto* field = new QLineEdit(plain);
    auto* box = new QVBoxLayout(plain);
    box->addWidget(field);
    auto* ok = new QPushButton(QStringLiteral("Create User"), plain);
    ok->setDefault(true);
    auto* cancel = new QPushButton(QStringLiteral("Cancel"), plain);
    box->addWidget(ok);
    box->addWidget(cancel);
    QSignalSpy okClicks(ok, &QPushButton::clicked);
    QSignalSpy cancelClicks(cancel, &QPushButton::clicked);
    connect(cancel, &QPushButton::clicked, w.get(), [&w, plain] { w->endSheet(plain); });
    w->beginSheet(plain);
    QTRY_COMPARE(QApplication::focusWidget(), field);
    QTest::keyClick(field, Qt::Key_Return);
    QCOMPARE(okClicks.count(), 1);
    QTest::keyClick(field, Qt::Key_Escape);
    QCOMPARE(cancelClicks.count(), 1);
    QVERIFY(!w->attachedSheet());
    delete plain;

    // A dialog keeps its own keys; Escape rejects it and ends the sheet.
    auto* dialog = new QDialog;
    auto* dialogField = new QLineEdit(dialog);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, dialog);
    auto* layout = new QVBoxLayout(dialog);
    layout->addWidget(dialogField);
    layout->addWidget(buttons);
    connect(buttons, &QDialogButtonBox::accepted, dialog, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, dialog, &QDialog::reject);
    QSignalSpy finished(dialog, &QDialog::finished);
    w->beginSheet(dialog);
    QTRY_COMPARE(QApplication::focusWidget(), dialogField);
    QTest::keyClick(dialogField, Qt::Key_Escape);
    QCOMPARE(finished.count(), 1);
    QCOMPARE(finished.at(0).at(0).toInt(), int(QDialog::Rejected));
    QVERIFY(!w->attachedSheet());

    w->beginSheet(dialog);
    QTRY_COMPARE(QApplication::focusWidget(), dialogField);
    QTest::keyClick(dialogField, Qt::Key_Return);
    QCOMPARE(finished.count(), 2);
    QCOMPARE(finished.at(1).at(0).toInt(), int(QDialog::Accepted));
    QVERIFY(!w->attachedSheet());
    delete dialog;
}

void TestChromeWindow::sheetsQueue() {
    auto w = makeWindow();
    QWidget first;
    QWidget second;
    first.resize(100, 50);
    second.resize(100, 50);
    w->beginSheet(&first);
    w->beginSheet(&second);
    QCOMPARE(w->attachedSheet(), &first);
    QVERIFY(!second.isVisible());
    // Closing a sheet by itself also lets the window go on.
    first.close();
    QCOMPARE(w->attachedSheet(), &second);
    QVERIFY(second.isVisible());
    w->endSheet(&second);
    QVERIFY(!w->attachedSheet());
    first.setParent(nullptr);
    second.setParent(nullptr);
}

void TestChromeWindow::delegateProxy() {
    auto w = makeWindow();
    PXAppStoreWindowDelegateProxy* proxy = w->delegateProxy();
    QVERIFY(!w->delegate());
    QVERIFY(!proxy->isKindOfClass(&QObject::staticMetaObject));
    QVERIFY(proxy->respondsToSelector("windowWillPositionSheet"));
    QVERIFY(!proxy->respondsToSelector("windowDidResize"));

    PlacingDelegate delegate;
    w->setDelegate(&delegate);
    QCOMPARE(w->delegate(), &delegate);
    QVERIFY(proxy->isKindOfClass(&QObject::staticMetaObject));
    QVERIFY(proxy->isKindOfClass(&PlacingDelegate::staticMetaObject));
    QVERIFY(!proxy->isKindOfClass(&QWidget::staticMetaObject));
    QVERIFY(proxy->respondsToSelector("windowDidResize"));

    w->resize(640, 480);
    QCOMPARE(delegate.resizes, 1);
    // A message the client lacks is dropped without a word.
    QTest::failOnWarning(QRegularExpression(QStringLiteral(".*")));
    QVERIFY(!proxy->forwardWindowMessage("windowDidChangeOcclusionState"));
    QVERIFY(proxy->forwardWindowMessage("windowDidResize"));
    QCOMPARE(delegate.resizes, 2);

    {
        // A delegate that goes away is no longer asked.
        auto gone = std::make_unique<PlacingDelegate>();
        w->setDelegate(gone.get());
    }
    QVERIFY(!w->delegate());
    w->resize(600, 470);
}

void TestChromeWindow::frameAutosave() {
    auto w = makeWindow();
    const QString key = QStringLiteral("NSWindow Frame TrevokServer");
    w->setFrame(QRectF(50, 60, 400, 300));
    QVERIFY(!pxOpenUserDefaults()->contains(key)); // not named yet
    w->setFrameAutosaveName(QStringLiteral("TrevokServer"));
    w->setFrame(QRectF(100, 120, 500, 320));
    QTRY_VERIFY(pxOpenUserDefaults()->value(key).toString().startsWith(u"100 120 500 320 "));
    const QStringList parts = pxOpenUserDefaults()->value(key).toString().split(u' ');
    QCOMPARE(parts.size(), 8);
    const QRect screen = PXGeometry::referenceScreenGeometry();
    QCOMPARE(parts.mid(4),
             (QStringList{QString::number(0), QString::number(0), QString::number(screen.width()),
                          QString::number(screen.height())}));
    // Moving the window by other means is saved too.
    w->move(w->pos() + QPoint(10, 0));
    QTRY_VERIFY(pxOpenUserDefaults()->value(key).toString().startsWith(u"110 120 500 320 "));
}

void TestChromeWindow::doubleClick_data() {
    QTest::addColumn<QVariant>("preference");
    QTest::addColumn<bool>("minimises");
    QTest::newRow("absent") << QVariant() << false;
    QTest::newRow("YES") << QVariant(QStringLiteral("YES")) << true;
    QTest::newRow("NO") << QVariant(QStringLiteral("NO")) << false;
    QTest::newRow("1") << QVariant(QStringLiteral("1")) << true;
}

void TestChromeWindow::doubleClick() {
    QFETCH(QVariant, preference);
    QFETCH(bool, minimises);
    if (preference.isValid())
        pxOpenUserDefaults()->setValue(QStringLiteral("AppleMiniaturizeOnDoubleClick"), preference);
    auto w = makeWindow();
    w->setTitleBarHeight(70);
    // Through the window system, as a real double click arrives.
    QTest::mouseDClick(w->windowHandle(), Qt::LeftButton, {}, QPoint(300, 40));
    QCOMPARE(bool(w->windowState() & Qt::WindowMinimized), minimises);
    // A single click never does.
    w->showNormal();
    QTest::mouseClick(w->windowHandle(), Qt::LeftButton, {}, QPoint(300, 40));
    QVERIFY(!(w->windowState() & Qt::WindowMinimized));
}

void TestChromeWindow::dragByBar_data() {
    QTest::addColumn<double>("threshold");
    QTest::addColumn<QList<QPoint>>("steps"); // pointer travel from the press
    QTest::addColumn<QList<QPoint>>("moved"); // window offset after each step
    QTest::newRow("threshold 5, three out and back")
        << 5.0 << QList<QPoint>{{3, 0}, {0, 0}} << QList<QPoint>{{0, 0}, {0, 0}};
    QTest::newRow("threshold 5, reached")
        << 5.0 << QList<QPoint>{{3, 0}, {6, 2}} << QList<QPoint>{{0, 0}, {6, 2}};
    QTest::newRow("threshold 1 follows the pointer")
        << 1.0 << QList<QPoint>{{1, 0}, {4, -3}} << QList<QPoint>{{1, 0}, {4, -3}};
}

void TestChromeWindow::dragByBar() {
    QFETCH(double, threshold);
    QFETCH(QList<QPoint>, steps);
    QFETCH(QList<QPoint>, moved);
    auto w = makeWindow();
    w->setTitleBarHeight(70);
    w->setMouseDragDetectionThreshold(threshold);
    QCOMPARE(w->titleBarContainer()->mouseDragDetectionThreshold(), threshold);
    QWindow* handle = w->windowHandle();
    const QPoint start = w->pos();
    const QPoint pressGlobal = w->mapToGlobal(QPoint(300, 40));
    QTest::mousePress(handle, Qt::LeftButton, {}, QPoint(300, 40));
    for (qsizetype i = 0; i < steps.size(); ++i) {
        // The window moves under the pointer: aim at a fixed place on the screen.
        const QPoint local = w->mapFromGlobal(pressGlobal + steps[i]);
        QTest::mouseMove(handle, local);
        QCOMPARE(w->pos() - start, moved[i]);
    }
    QTest::mouseRelease(handle, Qt::LeftButton, {}, w->mapFromGlobal(pressGlobal + steps.last()));
    QVERIFY(!w->titleBarContainer()->isTrackingDrag());
}

void TestChromeWindow::groups() {
    PXWindowButtonGroup* byDefault = PXWindowButtonGroup::groupWithIdentifier();
    QCOMPARE(PXWindowButtonGroup::groupWithIdentifier(PXWindowButtonGroup::defaultIdentifier),
             byDefault);
    QCOMPARE(byDefault->identifier(),
             QStringLiteral("com.corvane.pxappstorewindow.defaultWindowButtonGroup"));
    PXWindowButton a(QSize(14, 16), QString());
    PXWindowButton b(QSize(14, 16), PXWindowButtonGroup::defaultIdentifier);
    QCOMPARE(a.group(), b.group());
    QVERIFY(PXWindowButtonGroup::groupWithIdentifier(QStringLiteral("other")) != byDefault);

    PXWindowButtonGroup* g = PXWindowButtonGroup::groupWithIdentifier(QStringLiteral("counting"));
    QSignalSpy posted(g, &PXWindowButtonGroup::didUpdateRolloverState);
    g->didReleaseMousePointer();
    QCOMPARE(g->numberOfCaptures(), 0);
    QCOMPARE(posted.count(), 0);
    g->didCaptureMousePointer();
    g->didCaptureMousePointer();
    QVERIFY(g->shouldDisplayRollOver());
    g->setNumberOfCaptures(-3);
    QCOMPARE(g->numberOfCaptures(), 2);
    g->resetMouseCaptures();
    g->resetMouseCaptures();
    QCOMPARE(posted.count(), 3);
    QVERIFY(!g->shouldDisplayRollOver());
}

namespace {
QPixmap solid(const QColor& c) {
    QPixmap p(14, 16);
    p.fill(c);
    return p;
}

PXWindowButton* imageButton() {
    auto* b = PXWindowButton::windowButtonWithSize(QSize(14, 16));
    b->setActiveImage(solid(Qt::red));
    b->setActiveNotKeyWindowImage(solid(Qt::gray));
    b->setInactiveImage(solid(Qt::darkGray));
    b->setRolloverImage(solid(Qt::blue));
    b->setPressedImage(solid(Qt::black));
    return b;
}
} // namespace

void TestChromeWindow::rollover() {
    using S = PXWindowButton::ShownImage;
    auto w = makeWindow();
    w->setTitleBarHeight(70);
    w->setCenterTrafficLightButtons(false);
    PXWindowButton* buttons[] = {imageButton(), imageButton(), imageButton()};
    w->setCloseButton(buttons[0]);
    w->setMinimizeButton(buttons[1]);
    w->setZoomButton(buttons[2]);
    w->setTitleBarHeight(71); // a layout puts them in place
    w->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(w.get()));
    for (PXWindowButton* b : buttons)
        QCOMPARE(b->shownImage(), S::Active);

    buttons[2]->setEnabled(false);
    QCOMPARE(buttons[2]->shownImage(), S::Inactive);

    QWindow* handle = w->windowHandle();
    QTest::mouseMove(handle, buttons[1]->geometry().center());
    QCOMPARE(buttons[0]->shownImage(), S::Rollover);
    QCOMPARE(buttons[1]->shownImage(), S::Rollover);
    QCOMPARE(buttons[2]->shownImage(), S::Inactive); // disabled: never rolls over
    QCOMPARE(buttons[1]->displayedImage().cacheKey(), buttons[1]->rolloverImage().cacheKey());

    // From one button to the next the group keeps showing rollover.
    QTest::mouseMove(handle, buttons[0]->geometry().center());
    QCOMPARE(buttons[1]->shownImage(), S::Rollover);
    QCOMPARE(buttons[0]->group()->numberOfCaptures(), 1);

    QTest::mouseMove(handle, QPoint(300, 200));
    QCOMPARE(buttons[0]->shownImage(), S::Active);
    QCOMPARE(buttons[1]->shownImage(), S::Active);
    QCOMPARE(buttons[2]->shownImage(), S::Inactive);
    QCOMPARE(buttons[0]->group()->numberOfCaptures(), 0);

    // Not the key window: the not-key image, enabled or not.
    QWidget other;
    other.show();
    other.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&other));
    QTRY_COMPARE(buttons[0]->shownImage(), S::ActiveNotKeyWindow);
    QCOMPARE(buttons[2]->shownImage(), S::ActiveNotKeyWindow);
}

void TestChromeWindow::hoverRegion_data() {
    QTest::addColumn<QPoint>("offset"); // from the button's top-left
    QTest::addColumn<bool>("inside");
    QTest::newRow("4 left") << QPoint(-4, 5) << true;
    QTest::newRow("5 left") << QPoint(-5, 5) << false;
    QTest::newRow("4 above") << QPoint(5, -4) << true;
    QTest::newRow("5 above") << QPoint(5, -5) << false;
    QTest::newRow("4 below") << QPoint(5, 16 + 3) << true;
    QTest::newRow("5 below") << QPoint(5, 16 + 4) << false;
}

void TestChromeWindow::hoverRegion() {
    QFETCH(QPoint, offset);
    QFETCH(bool, inside);
    auto w = makeWindow();
    w->setTitleBarHeight(70);
    w->setTrafficLightButtonsLeftMargin(20);
    PXWindowButton* close = w->standardWindowButton(K::Close);
    QWindow* handle = w->windowHandle();
    QTest::mouseMove(handle, QPoint(300, 200));
    QTest::mouseMove(handle, close->pos() + offset);
    QCOMPARE(close->isPointerInside(), inside);
    QCOMPARE(close->shownImage() == PXWindowButton::ShownImage::Rollover, inside);
    // The group rolls over together.
    QCOMPARE(w->standardWindowButton(K::Zoom)->shownImage() == PXWindowButton::ShownImage::Rollover,
             inside);
}

QTEST_MAIN(TestChromeWindow)
#include "tst_chrome_window.moc"
