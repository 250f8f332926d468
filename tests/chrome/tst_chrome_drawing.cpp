#include "chrome/PXAppStoreWindow.h"
#include "chrome/TitlebarLayout.h"

#include <QImage>
#include <QPainter>
#include <QTest>

#include <cmath>

// The bar is painted into an image and read back pixel by pixel.
class TestChromeDrawing : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void gradientEnds_data();
    void gradientEnds();
    void separatorAndHighlight_data();
    void separatorAndHighlight();
    void topRowAndCorners_data();
    void topRowAndCorners();
    void noiseOnlyWhenActive_data();
    void noiseOnlyWhenActive();
    void fullScreenBlack();
    void drawingBlockReplacesBackground();
    void titlePosition_data();
    void titlePosition();
    void customColours();

private:
    static constexpr int W = 200;
    static constexpr int H = 40;
    QImage paint(PXAppStoreWindow& w, bool active);
};

namespace {
int grey(const QImage& img, int x, int y) {
    return qGray(img.pixel(x, y));
}

// The gradient runs from the start colour at the bottom edge to the end
// colour at the top edge of the bar.
int gradientAt(double start, double end, int y, int h) {
    const double t = (h - (y + 0.5)) / h; // 0 at the bottom, 1 at the top
    return int(std::lround((start + (end - start) * t) * 255));
}

bool rowVaries(const QImage& img, int y, int from, int to) {
    const QRgb first = img.pixel(from, y);
    for (int x = from + 1; x < to; ++x) {
        if (img.pixel(x, y) != first)
            return true;
    }
    return false;
}
} // namespace

QImage TestChromeDrawing::paint(PXAppStoreWindow& w, bool active) {
    w.resize(W, 300);
    w.setTitleBarHeight(H);
    QImage img(w.titleBarView()->size(), QImage::Format_ARGB32);
    img.fill(Qt::transparent);
    QPainter p(&img);
    w.titleBarView()->render(&p, active);
    p.end();
    return img;
}

void TestChromeDrawing::gradientEnds_data() {
    QTest::addColumn<bool>("active");
    QTest::addColumn<double>("start");
    QTest::addColumn<double>("end");
    QTest::newRow("active") << true << 0.66 << 0.9;
    QTest::newRow("inactive") << false << 0.878 << 0.976;
}

void TestChromeDrawing::gradientEnds() {
    QFETCH(bool, active);
    QFETCH(double, start);
    QFETCH(double, end);
    PXAppStoreWindow w;
    w.setShowsBaselineSeparator(false);
    const QImage img = paint(w, active);
    // Column 0 lies outside the noise, which keeps a point from every edge.
    for (int y : {6, 10, H / 2, H - 3, H - 1})
        QVERIFY2(std::abs(grey(img, 0, y) - gradientAt(start, end, y, H)) <= 2,
                 qPrintable(QStringLiteral("row %1: %2 vs %3")
                                .arg(y)
                                .arg(grey(img, 0, y))
                                .arg(gradientAt(start, end, y, H))));
    QCOMPARE(qAlpha(img.pixel(0, H / 2)), 255);
}

void TestChromeDrawing::separatorAndHighlight_data() {
    QTest::addColumn<bool>("active");
    QTest::addColumn<double>("separator");
    QTest::addColumn<double>("start");
    QTest::addColumn<double>("end");
    QTest::newRow("active") << true << 0.408 << 0.66 << 0.9;
    QTest::newRow("inactive") << false << 0.655 << 0.878 << 0.976;
}

void TestChromeDrawing::separatorAndHighlight() {
    QFETCH(bool, active);
    QFETCH(double, separator);
    QFETCH(double, start);
    QFETCH(double, end);
    PXAppStoreWindow w;
    const QImage img = paint(w, active);
    for (int x : {0, W / 2, W - 1})
        QVERIFY(std::abs(grey(img, x, H - 1) - int(std::lround(separator * 255))) <= 1);
    // White at 12 % over the gradient, one row above the separator.
    const int under = gradientAt(start, end, H - 2, H);
    const int highlighted = int(std::lround(under + (255 - under) * 0.12));
    QVERIFY2(std::abs(grey(img, 0, H - 2) - highlighted) <= 2,
             qPrintable(QString::number(grey(img, 0, H - 2))));
    QVERIFY(grey(img, 0, H - 2) > grey(img, 0, H - 3));
}

void TestChromeDrawing::topRowAndCorners_data() {
    QTest::addColumn<bool>("active");
    QTest::newRow("active") << true;
    QTest::newRow("inactive") << false;
}

void TestChromeDrawing::topRowAndCorners() {
    QFETCH(bool, active);
    PXAppStoreWindow w;
    const QImage img = paint(w, active);
    for (int x = 0; x < W; ++x)
        QCOMPARE(qAlpha(img.pixel(x, 0)), 0);
    // Radius 4 from the second row: the very corners stay empty...
    for (const QPoint p : {QPoint(0, 1), QPoint(1, 1), QPoint(0, 2), QPoint(W - 1, 1),
                           QPoint(W - 2, 1), QPoint(W - 1, 2)})
        QVERIFY2(qAlpha(img.pixel(p)) == 0,
                 qPrintable(QStringLiteral("%1,%2").arg(p.x()).arg(p.y())));
    // ...while the arc's inside and the square bottom corners are painted.
    for (const QPoint p : {QPoint(5, 1), QPoint(0, 6), QPoint(W - 6, 1), QPoint(W - 1, 6),
                           QPoint(0, H - 1), QPoint(W - 1, H - 1)})
        QVERIFY2(qAlpha(img.pixel(p)) == 255,
                 qPrintable(QStringLiteral("%1,%2").arg(p.x()).arg(p.y())));
}

void TestChromeDrawing::noiseOnlyWhenActive_data() {
    QTest::addColumn<bool>("active");
    QTest::addColumn<bool>("separator");
    QTest::addColumn<bool>("noiseInMiddle");
    QTest::addColumn<bool>("noiseOnBottomRow");
    QTest::newRow("active with separator") << true << true << true << false;
    QTest::newRow("active without separator") << true << false << true << true;
    QTest::newRow("inactive") << false << true << false << false;
    QTest::newRow("inactive without separator") << false << false << false << false;
}

void TestChromeDrawing::noiseOnlyWhenActive() {
    QFETCH(bool, active);
    QFETCH(bool, separator);
    QFETCH(bool, noiseInMiddle);
    QFETCH(bool, noiseOnBottomRow);
    PXAppStoreWindow w;
    w.setShowsBaselineSeparator(separator);
    const QImage img = paint(w, active);
    QCOMPARE(rowVaries(img, H / 2, 1, W - 1), noiseInMiddle);
    QCOMPARE(rowVaries(img, H - 1, 1, W - 1), noiseOnBottomRow);
    // Faint: the screen blend at 10 % stays within a few levels.
    for (int x = 1; x < W - 1; ++x)
        QVERIFY(std::abs(grey(img, x, H / 2) - grey(img, 0, H / 2)) <= 8);
}

void TestChromeDrawing::fullScreenBlack() {
    PXAppStoreWindow w;
    w.setStyleMask(w.styleMask() | PXAppStoreWindow::FullScreen);
    w.setShowsTitle(true);
    w.setWindowTitle(QStringLiteral("MMMMMMMM"));
    const QImage img = paint(w, true);
    QCOMPARE(img.pixel(W / 2, 0), qRgb(0, 0, 0));
    QCOMPARE(img.pixel(0, 1), qRgb(0, 0, 0));
    QVERIFY(grey(img, 0, H / 2) > 100); // the bar itself is painted over the black
    // No title in full screen unless asked for.
    QRectF title;
    w.titleBarView()->getTitleFrame(&title, nullptr, true);
    const QImage none = img.copy(title.toAlignedRect());
    w.setShowsTitleInFullscreen(true);
    const QImage shown = paint(w, true).copy(title.toAlignedRect());
    bool darker = false;
    for (int y = 0; y < shown.height(); ++y)
        for (int x = 0; x < shown.width(); ++x)
            darker = darker || grey(shown, x, y) < grey(none, x, y) - 60;
    QVERIFY(darker);
}

void TestChromeDrawing::drawingBlockReplacesBackground() {
    PXAppStoreWindow w;
    bool called = false;
    bool activeSeen = false;
    QRectF rectSeen;
    w.setTitleBarDrawingBlock(
        [&](QPainter* p, bool active, const QPainterPath& clip, const QRectF& rect) {
            called = true;
            activeSeen = active;
            rectSeen = rect;
            QVERIFY(clip.contains(QPointF(rect.center())));
            p->fillRect(rect, Qt::red);
        });
    w.setShowsTitle(true);
    w.setWindowTitle(QStringLiteral("MMMMMMMM"));
    const QImage img = paint(w, true);
    QVERIFY(called);
    QVERIFY(activeSeen);
    QCOMPARE(rectSeen, QRectF(0, 0, W, H));
    // No separator, no noise, no unpainted top row: the block's red throughout...
    for (const QPoint p : {QPoint(0, 0), QPoint(W / 2, H - 1), QPoint(W / 2, H - 2),
                           QPoint(10, H / 2), QPoint(11, H / 2)})
        QCOMPARE(img.pixel(p), qRgb(255, 0, 0));
    // ...except where the view still draws the title.
    QRectF title;
    w.titleBarView()->getTitleFrame(&title, nullptr, true);
    bool text = false;
    const QRect r = title.toAlignedRect();
    for (int y = r.top(); y <= r.bottom(); ++y)
        for (int x = r.left(); x <= r.right(); ++x)
            text = text || qRed(img.pixel(x, y)) < 150;
    QVERIFY(text);
}

void TestChromeDrawing::titlePosition_data() {
    QTest::addColumn<bool>("centred");
    QTest::newRow("at the top") << false;
    QTest::newRow("vertically centred") << true;
}

void TestChromeDrawing::titlePosition() {
    QFETCH(bool, centred);
    PXAppStoreWindow w;
    w.setShowsTitle(true);
    w.setVerticallyCenterTitle(centred);
    w.setWindowTitle(QStringLiteral("MMMMMMMM"));
    const QImage img = paint(w, false); // no noise to confuse the reading
    QRectF frame;
    PXTitlebarView::TitleAttributes attrs;
    w.titleBarView()->getTitleFrame(&frame, &attrs, false);
    QCOMPARE(attrs.color, QColor(56, 56, 56, 128));
    QCOMPARE(attrs.shadow.offset, QPointF(0, 1));
    // Horizontally centred, 2 points below the top edge.
    QCOMPARE(frame.center().x(), W / 2.0);
    QCOMPARE(frame.top(), 2.0);
    if (centred) {
        const QRectF up = pxTitleFrame(QRectF(0, 0, W, H), frame.size(), true);
        frame.moveTop(H - up.bottom());
    }
    // The ink lies within the frame (the shadow one point lower).
    int top = H, bottom = -1, left = W, right = -1;
    for (int y = 0; y < H - 2; ++y) {
        for (int x = 0; x < W; ++x) {
            if (qAlpha(img.pixel(x, y)) == 255 && grey(img, x, y) < 200) {
                top = std::min(top, y);
                bottom = std::max(bottom, y);
                left = std::min(left, x);
                right = std::max(right, x);
            }
        }
    }
    QVERIFY(bottom >= 0);
    QVERIFY2(top >= frame.top() && bottom <= frame.bottom() + 1,
             qPrintable(QStringLiteral("ink %1..%2, frame %3..%4")
                            .arg(top)
                            .arg(bottom)
                            .arg(frame.top())
                            .arg(frame.bottom())));
    QVERIFY(left >= frame.left() - 1 && right <= frame.right() + 1);
    // Half opacity when inactive: the darkest ink is far from the full colour.
    int darkest = 255;
    for (int y = top; y <= bottom; ++y)
        for (int x = left; x <= right; ++x)
            darkest = std::min(darkest, grey(img, x, y));
    QVERIFY2(darkest > 56 + 40, qPrintable(QString::number(darkest)));
}

void TestChromeDrawing::customColours() {
    PXAppStoreWindow w;
    w.setShowsBaselineSeparator(true);
    w.setInactiveTitleBarStartColor(QColor(200, 0, 0));
    w.setInactiveTitleBarEndColor(QColor(200, 0, 0));
    w.setInactiveBaselineSeparatorColor(QColor(0, 0, 200));
    const QImage img = paint(w, false);
    QCOMPARE(img.pixel(W / 2, H / 2), qRgb(200, 0, 0));
    QCOMPARE(img.pixel(W / 2, H - 1), qRgb(0, 0, 200));
    // The active colours stay the defaults.
    const QImage active = paint(w, true);
    QVERIFY(std::abs(grey(active, 0, H / 2) - gradientAt(0.66, 0.9, H / 2, H)) <= 2);
}

QTEST_MAIN(TestChromeDrawing)
#include "tst_chrome_drawing.moc"
