#include "chrome/Geometry.h"
#include "chrome/ResizeEdges.h"
#include "chrome/TitlebarLayout.h"

#include <QTest>

// The title bar's arithmetic without any window: buttons, content, sheets,
// the drag threshold, saved frames and the defaults' booleans.
class TestChromeLayout : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void trafficLights_data();
    void trafficLights();
    void fullScreenButton_data();
    void fullScreenButton();
    void absentButtonsTakeNoFrame();
    void sheetPlacement();
    void drag_data();
    void drag();
    void screenConversion_data();
    void screenConversion();
    void localConversion();
    void titleFrame_data();
    void titleFrame();
    void defaultsBool_data();
    void defaultsBool();
    void frameAutosaveText();
    void resizeEdges_data();
    void resizeEdges();
    void resizeDrag_data();
    void resizeDrag();
};

namespace {
PXTitlebarLayoutInput standardInput(double barHeight) {
    PXTitlebarLayoutInput in;
    in.windowSize = QSizeF(600, 470);
    in.titleBarHeight = barHeight;
    in.closeSize = in.minimizeSize = in.zoomSize = QSizeF(14, 16);
    in.trafficLightButtonsLeftMargin = 7;
    in.trafficLightSeparation = 6;
    return in;
}
} // namespace

void TestChromeLayout::trafficLights_data() {
    QTest::addColumn<double>("barHeight");
    QTest::addColumn<bool>("centered");
    QTest::addColumn<bool>("vertical");
    QTest::addColumn<double>("separation");
    // Bottom-up y of close, minimise, zoom; x of all three.
    QTest::addColumn<QList<double>>("ys");
    QTest::addColumn<QList<double>>("xs");

    // A standard bar: centred, 3 points from the top either way.
    QTest::newRow("standard bar, centred")
        << 22.0 << true << false << 6.0 << QList<double>{451, 451, 451} << QList<double>{7, 27, 47};
    // Halves round away from zero: 447 + 11.5 - 8 = 450.5 -> 451.
    QTest::newRow("odd bar rounds half up")
        << 23.0 << true << false << 6.0 << QList<double>{451, 451, 451} << QList<double>{7, 27, 47};
    QTest::newRow("logged-in bar, centred")
        << 70.0 << true << false << 6.0 << QList<double>{427, 427, 427} << QList<double>{7, 27, 47};
    // Tops 3 points below the window's top edge: 451 + 16 = 467 = 470 - 3.
    QTest::newRow("logged-in bar, hanging")
        << 70.0 << false << false << 6.0 << QList<double>{451, 451, 451}
        << QList<double>{7, 27, 47};
    QTest::newRow("wider separation") << 22.0 << true << false << 10.0
                                      << QList<double>{451, 451, 451} << QList<double>{7, 31, 55};
    // Column: gaps of separation - 2, close on top.
    QTest::newRow("column centred, s 6")
        << 70.0 << true << true << 6.0 << QList<double>{447, 427, 407} << QList<double>{7, 7, 7};
    QTest::newRow("column hanging, s 6")
        << 70.0 << false << true << 6.0 << QList<double>{451, 431, 411} << QList<double>{7, 7, 7};
    QTest::newRow("column centred, s 5")
        << 70.0 << true << true << 5.0 << QList<double>{446, 427, 408} << QList<double>{7, 7, 7};
    QTest::newRow("column hanging, s 5")
        << 70.0 << false << true << 5.0 << QList<double>{451, 432, 413} << QList<double>{7, 7, 7};
}

void TestChromeLayout::trafficLights() {
    QFETCH(double, barHeight);
    QFETCH(bool, centered);
    QFETCH(bool, vertical);
    QFETCH(double, separation);
    QFETCH(QList<double>, ys);
    QFETCH(QList<double>, xs);

    PXTitlebarLayoutInput in = standardInput(barHeight);
    in.centerTrafficLightButtons = centered;
    in.verticalTrafficLightButtons = vertical;
    in.trafficLightSeparation = separation;
    const PXTitlebarLayoutResult out = pxLayoutTitlebar(in);

    QCOMPARE(out.container, QRectF(0, 470 - barHeight, 600, barHeight));
    QCOMPARE(out.contentView, QRectF(0, 0, 600, 470 - barHeight));
    const QRectF frames[] = {*out.close, *out.minimize, *out.zoom};
    for (int i = 0; i < 3; ++i) {
        QCOMPARE(frames[i].size(), QSizeF(14, 16));
        QCOMPARE(frames[i].x(), xs[i]);
        QCOMPARE(frames[i].y(), ys[i]);
    }
    if (vertical) {
        QCOMPARE(frames[0].y() - frames[1].y() - 16, separation - 2);
        QCOMPARE(frames[1].y() - frames[2].y() - 16, separation - 2);
    }
}

void TestChromeLayout::fullScreenButton_data() {
    QTest::addColumn<double>("barHeight");
    QTest::addColumn<bool>("centered");
    QTest::addColumn<double>("storedMargin");
    QTest::addColumn<bool>("marginSet");
    QTest::addColumn<double>("buttonX"); // where the button stands before the layout
    QTest::addColumn<bool>("measures");
    QTest::addColumn<QPointF>("expected");

    // 600 - (582 + 14) = 4 measured, and used at once.
    QTest::newRow("first layout measures")
        << 22.0 << false << 0.0 << false << 582.0 << true << QPointF(582, 451);
    QTest::newRow("margin set before is kept")
        << 22.0 << false << 7.0 << true << 582.0 << false << QPointF(579, 451);
    // A stored 0 that was never set still gets measured.
    QTest::newRow("zero over zero still measured")
        << 22.0 << false << 0.0 << false << 586.0 << true << QPointF(586, 451);
    QTest::newRow("logged-in, hanging")
        << 70.0 << false << 7.0 << true << 500.0 << false << QPointF(579, 451);
    QTest::newRow("logged-in, centred")
        << 70.0 << true << 7.0 << true << 500.0 << false << QPointF(579, 427);
    // Centring rounds down here: 447 + 11.5 - 8 = 450.5 -> 450.
    QTest::newRow("odd bar, centred rounds down")
        << 23.0 << true << 7.0 << true << 500.0 << false << QPointF(579, 450);
}

void TestChromeLayout::fullScreenButton() {
    QFETCH(double, barHeight);
    QFETCH(bool, centered);
    QFETCH(double, storedMargin);
    QFETCH(bool, marginSet);
    QFETCH(double, buttonX);
    QFETCH(bool, measures);
    QFETCH(QPointF, expected);

    PXTitlebarLayoutInput in = standardInput(barHeight);
    in.fullScreenFrame = QRectF(buttonX, 100, 14, 16);
    in.centerFullScreenButton = centered;
    in.fullScreenButtonRightMargin = storedMargin;
    in.fullScreenButtonRightMarginSet = marginSet;
    const PXTitlebarLayoutResult out = pxLayoutTitlebar(in);
    QCOMPARE(out.measuredFullScreenRightMargin.has_value(), measures);
    if (measures)
        QCOMPARE(*out.measuredFullScreenRightMargin, 600 - (buttonX + 14));
    QCOMPARE(out.fullScreen->topLeft(), expected);
}

void TestChromeLayout::absentButtonsTakeNoFrame() {
    PXTitlebarLayoutInput in = standardInput(22);
    in.minimizeSize.reset();
    const PXTitlebarLayoutResult out = pxLayoutTitlebar(in);
    QVERIFY(!out.minimize);
    QVERIFY(!out.fullScreen);
    // The missing button counts as a zero rectangle: zoom follows close.
    QCOMPARE(out.zoom->x(), 7 + 14 + 6 + 0 + 6.0);
}

void TestChromeLayout::sheetPlacement() {
    const QRectF proposed = pxProposedSheetRect(QSizeF(600, 470), 22);
    QCOMPARE(proposed, QRectF(0, 448, 600, 0));
    const QRectF rect = pxDefaultSheetPositionRect(proposed, 470, 70);
    // Only y changes: the bottom edge of the custom bar.
    QCOMPARE(rect, QRectF(0, 400, 600, 0));
    const QRectF sheet = pxSheetFrame(rect, QSizeF(300, 200));
    QCOMPARE(sheet, QRectF(150, 200, 300, 200));
    // In Qt's coordinates its top edge is the bar's bottom edge.
    QCOMPARE(PXGeometry::toLocalPixels(sheet, 470), QRect(150, 70, 300, 200));
}

void TestChromeLayout::drag_data() {
    QTest::addColumn<double>("threshold");
    QTest::addColumn<QList<QPointF>>("points");   // pointer positions after the press at 0,0
    QTest::addColumn<QList<QPointF>>("expected"); // window moves; 0,0 = none

    QTest::newRow("half and half")
        << 1.0 << QList<QPointF>{{0.5, 0}, {1.0, 0}} << QList<QPointF>{{0, 0}, {1.0, 0}};
    QTest::newRow("three out and back")
        << 5.0 << QList<QPointF>{{3, 0}, {0, 0}} << QList<QPointF>{{0, 0}, {0, 0}};
    // Crossing on one axis moves by the travel on both.
    QTest::newRow("diagonal keeps both axes")
        << 2.0 << QList<QPointF>{{1.5, 1}, {2.5, 1.5}} << QList<QPointF>{{0, 0}, {2.5, 1.5}};
    QTest::newRow("after a move counting starts again")
        << 2.0 << QList<QPointF>{{2, 0}, {3, 0}, {4, -0.5}}
        << QList<QPointF>{{2, 0}, {0, 0}, {2, -0.5}};
    QTest::newRow("upward and left")
        << 1.0 << QList<QPointF>{{-0.4, -1}} << QList<QPointF>{{-0.4, -1}};
}

void TestChromeLayout::drag() {
    QFETCH(double, threshold);
    QFETCH(QList<QPointF>, points);
    QFETCH(QList<QPointF>, expected);
    PXDragAccumulator drag(threshold);
    drag.begin(QPointF(0, 0));
    for (qsizetype i = 0; i < points.size(); ++i) {
        const auto move = drag.track(points[i]);
        QCOMPARE(move.value_or(QPointF()), expected[i]);
    }
}

void TestChromeLayout::screenConversion_data() {
    QTest::addColumn<QRectF>("spec");
    QTest::addColumn<QRect>("screen");
    QTest::addColumn<QRect>("qt");

    QTest::newRow("start size") << QRectF(250, 250, 600, 470) << QRect(0, 0, 1280, 900)
                                << QRect(250, 180, 600, 470);
    QTest::newRow("on the bottom edge")
        << QRectF(0, 0, 100, 50) << QRect(0, 0, 1280, 900) << QRect(0, 850, 100, 50);
    QTest::newRow("screen not at the origin")
        << QRectF(250, 250, 600, 470) << QRect(100, 50, 1280, 900) << QRect(350, 230, 600, 470);
    QTest::newRow("fractions round")
        << QRectF(10.4, 10.6, 100.5, 50.2) << QRect(0, 0, 800, 600) << QRect(10, 539, 101, 50);
}

void TestChromeLayout::screenConversion() {
    QFETCH(QRectF, spec);
    QFETCH(QRect, screen);
    QFETCH(QRect, qt);
    QCOMPARE(PXGeometry::toScreen(spec, screen), qt);
    if (spec == spec.toRect().toRectF())
        QCOMPARE(PXGeometry::fromScreen(qt, screen), spec);
}

void TestChromeLayout::localConversion() {
    QCOMPARE(PXGeometry::toLocal(QRectF(7, 451, 14, 16), 470), QRectF(7, 3, 14, 16));
    QCOMPARE(PXGeometry::fromLocal(QRectF(7, 3, 14, 16), 470), QRectF(7, 451, 14, 16));
    // A bar taller than the window leaves no content, not a negative one.
    QCOMPARE(PXGeometry::toLocalPixels(pxContentViewFrame(QSizeF(100, 50), 70), 50),
             QRect(0, 70, 100, 0));
}

void TestChromeLayout::titleFrame_data() {
    QTest::addColumn<QSizeF>("title");
    QTest::addColumn<bool>("centred");
    QTest::addColumn<QRectF>("expected"); // bottom-up

    QTest::newRow("top") << QSizeF(80, 16) << false << QRectF(260, 52, 80, 16);
    QTest::newRow("vertically centred") << QSizeF(80, 16) << true << QRectF(260, 28, 80, 16);
    // 35 - 7.5 + 1 = 28.5, rounded down; x is not rounded.
    QTest::newRow("odd height centred") << QSizeF(81, 15) << true << QRectF(259.5, 28, 81, 15);
}

void TestChromeLayout::titleFrame() {
    QFETCH(QSizeF, title);
    QFETCH(bool, centred);
    QFETCH(QRectF, expected);
    QCOMPARE(pxTitleFrame(QRectF(0, 0, 600, 70), title, centred), expected);
}

void TestChromeLayout::defaultsBool_data() {
    QTest::addColumn<QVariant>("value");
    QTest::addColumn<bool>("expected");
    QTest::newRow("absent") << QVariant() << false;
    QTest::newRow("YES") << QVariant(QStringLiteral("YES")) << true;
    QTest::newRow("NO") << QVariant(QStringLiteral("NO")) << false;
    QTest::newRow("true") << QVariant(QStringLiteral("true")) << true;
    QTest::newRow("false") << QVariant(QStringLiteral("false")) << false;
    QTest::newRow("1") << QVariant(QStringLiteral("1")) << true;
    QTest::newRow("0") << QVariant(QStringLiteral("0")) << false;
    QTest::newRow("signed zeros then digit") << QVariant(QStringLiteral(" +007")) << true;
    QTest::newRow("minus zero") << QVariant(QStringLiteral("-0")) << false;
    QTest::newRow("empty") << QVariant(QString()) << false;
    QTest::newRow("bool") << QVariant(true) << true;
    QTest::newRow("int 0") << QVariant(0) << false;
    QTest::newRow("int 2") << QVariant(2) << true;
}

void TestChromeLayout::defaultsBool() {
    QFETCH(QVariant, value);
    QFETCH(bool, expected);
    QCOMPARE(pxDefaultsBool(value), expected);
}

void TestChromeLayout::frameAutosaveText() {
    QCOMPARE(pxFrameAutosaveKey(QStringLiteral("TrevokServer")),
             QStringLiteral("NSWindow Frame TrevokServer"));
    QCOMPARE(pxFrameAutosaveText(QRectF(100, 200, 900, 700), QRectF(0, 0, 1280, 900)),
             QStringLiteral("100 200 900 700 0 0 1280 900"));
}

void TestChromeLayout::resizeEdges_data() {
    QTest::addColumn<QPointF>("pos");
    QTest::addColumn<int>("edges");
    QTest::addColumn<int>("cursor");
    const int none = 0;
    // A 200 x 100 window with a 4-pixel grip: the last pixel inside is 199 / 99.
    QTest::newRow("inside") << QPointF(100, 50) << none << int(Qt::ArrowCursor);
    QTest::newRow("just inside left grip")
        << QPointF(3.9, 50) << int(Qt::LeftEdge) << int(Qt::SizeHorCursor);
    QTest::newRow("just outside left grip") << QPointF(4, 50) << none << int(Qt::ArrowCursor);
    QTest::newRow("right grip starts at width - margin")
        << QPointF(196, 50) << int(Qt::RightEdge) << int(Qt::SizeHorCursor);
    QTest::newRow("before right grip") << QPointF(195.9, 50) << none << int(Qt::ArrowCursor);
    QTest::newRow("top") << QPointF(100, 0) << int(Qt::TopEdge) << int(Qt::SizeVerCursor);
    QTest::newRow("bottom") << QPointF(100, 99) << int(Qt::BottomEdge) << int(Qt::SizeVerCursor);
    QTest::newRow("top left") << QPointF(1, 1) << int(Qt::TopEdge | Qt::LeftEdge)
                              << int(Qt::SizeFDiagCursor);
    QTest::newRow("bottom right") << QPointF(199, 99) << int(Qt::BottomEdge | Qt::RightEdge)
                                  << int(Qt::SizeFDiagCursor);
    QTest::newRow("top right") << QPointF(199, 0) << int(Qt::TopEdge | Qt::RightEdge)
                               << int(Qt::SizeBDiagCursor);
    QTest::newRow("bottom left") << QPointF(0, 99) << int(Qt::BottomEdge | Qt::LeftEdge)
                                 << int(Qt::SizeBDiagCursor);
}

void TestChromeLayout::resizeEdges() {
    QFETCH(QPointF, pos);
    QFETCH(int, edges);
    QFETCH(int, cursor);
    const Qt::Edges found = PXResizeEdges::at(pos, QSize(200, 100), 4);
    QCOMPARE(int(found), edges);
    QCOMPARE(int(PXResizeEdges::cursorFor(found)), cursor);
}

void TestChromeLayout::resizeDrag_data() {
    QTest::addColumn<int>("edges");
    QTest::addColumn<QPointF>("delta");
    QTest::addColumn<QRect>("expected");
    // From (100, 100) 300 x 200, minimum 120 x 60.
    QTest::newRow("right wider") << int(Qt::RightEdge) << QPointF(50, 10)
                                 << QRect(100, 100, 350, 200);
    QTest::newRow("left wider moves the origin")
        << int(Qt::LeftEdge) << QPointF(-30, 0) << QRect(70, 100, 330, 200);
    QTest::newRow("left stops at the minimum width")
        << int(Qt::LeftEdge) << QPointF(500, 0) << QRect(279, 100, 121, 200);
    QTest::newRow("top stops at the minimum height")
        << int(Qt::TopEdge) << QPointF(0, 500) << QRect(100, 239, 300, 61);
    QTest::newRow("bottom right corner")
        << int(Qt::BottomEdge | Qt::RightEdge) << QPointF(-10, 20) << QRect(100, 100, 290, 220);
    QTest::newRow("fractions are dropped")
        << int(Qt::RightEdge) << QPointF(2.7, 0) << QRect(100, 100, 302, 200);
}

void TestChromeLayout::resizeDrag() {
    QFETCH(int, edges);
    QFETCH(QPointF, delta);
    QFETCH(QRect, expected);
    QCOMPARE(
        PXResizeEdges::resized(QRect(100, 100, 300, 200), Qt::Edges(edges), delta, QSize(120, 60)),
        expected);
}

QTEST_GUILESS_MAIN(TestChromeLayout)
#include "tst_chrome_layout.moc"
