#pragma once

#include <QColor>
#include <QPointF>
#include <QRectF>
#include <QSizeF>
#include <QString>
#include <QVariant>

#include <optional>

// The arithmetic of the custom title bar, kept free of widgets so that it can
// be checked case by case. Unless a name says otherwise, rectangles are in the
// window's own coordinates with the origin at its bottom-left corner and y
// growing upward (the convention of the saved frames and of every margin the
// window's properties name).

// Rounding of the button positions: to the nearest whole point with halves
// away from zero, or down to the whole point at or below.
double pxRoundNearest(double v);
double pxRoundDown(double v);

struct PXTitlebarLayoutInput {
    QSizeF windowSize;
    double titleBarHeight = 22;

    // Sizes of the close, minimise and zoom buttons to lay out; an absent
    // button takes no frame.
    std::optional<QSizeF> closeSize;
    std::optional<QSizeF> minimizeSize;
    std::optional<QSizeF> zoomSize;
    // The full-screen button's frame as it stands before this layout (its
    // position is needed to measure the right margin the first time).
    std::optional<QRectF> fullScreenFrame;

    bool centerTrafficLightButtons = true;
    bool verticalTrafficLightButtons = false;
    bool centerFullScreenButton = false;
    double trafficLightButtonsLeftMargin = 0;
    double trafficLightButtonsTopMargin = 3;
    double trafficLightSeparation = 0;
    double fullScreenButtonRightMargin = 0;
    double fullScreenButtonTopMargin = 3;
    bool fullScreenButtonRightMarginSet = false;
};

struct PXTitlebarLayoutResult {
    QRectF container;
    std::optional<QRectF> close;
    std::optional<QRectF> minimize;
    std::optional<QRectF> zoom;
    std::optional<QRectF> fullScreen;
    // Set when this layout measured the full-screen button's right margin;
    // the window then stores it as if a caller had set it.
    std::optional<double> measuredFullScreenRightMargin;
    QRectF contentView;
};

PXTitlebarLayoutResult pxLayoutTitlebar(const PXTitlebarLayoutInput& in);

// The strip of the bar along the top edge, and the content area below it.
QRectF pxTitleBarContainerFrame(const QSizeF& windowSize, double titleBarHeight);
QRectF pxContentViewFrame(const QSizeF& windowSize, double titleBarHeight);

// Sheets. The window proposes a rectangle of no height along the bottom of a
// standard-height bar; without a client's say, sheets hang from the bottom of
// the custom bar instead. The sheet is centred horizontally in the rectangle
// and its top edge sits on the rectangle's y.
QRectF pxProposedSheetRect(const QSizeF& windowSize, double standardTitleBarHeight);
QRectF pxDefaultSheetPositionRect(const QRectF& proposed, double frameHeight,
                                  double titleBarHeight);
QRectF pxSheetFrame(const QRectF& positionRect, const QSizeF& sheetSize);

// Dragging the window by its bar: pointer travel accumulates until it reaches
// the threshold along either axis, and then the window moves by all of it.
class PXDragAccumulator {
public:
    explicit PXDragAccumulator(double threshold = 1.0)
        : m_threshold(threshold) {}

    void setThreshold(double threshold) { m_threshold = threshold; }
    double threshold() const { return m_threshold; }

    // The pointer went down (or tracking began) at `point`.
    void begin(const QPointF& point);
    // The pointer is now at `point`; answers how far to move the window, if
    // the accumulated travel crossed the threshold.
    std::optional<QPointF> track(const QPointF& point);

private:
    double m_threshold;
    QPointF m_previous;
    double m_dx = 0;
    double m_dy = 0;
};

// Default colours of the bar; `active` is the active appearance.
struct PXTitlebarDefaults {
    static QColor gradientStart(bool active); // bottom edge
    static QColor gradientEnd(bool active);   // top edge
    static QColor baselineSeparator(bool active);
    static QColor titleText(bool active);
    static QColor separatorHighlight();
    static QColor titleShadowColor();
    static QPointF titleShadowOffset(); // top-down: one point downward
    static constexpr double noiseOpacity = 0.1;
    static constexpr int noiseTileSize = 124;
    static constexpr double cornerRadius = 4;
};

// Where the title is drawn inside a bar of the given bounds.
QRectF pxTitleFrame(const QRectF& bounds, const QSizeF& titleSize, bool verticallyCenter);

// A boolean read from the user defaults the way the desktop reads them: a
// stored boolean or number as such, a text as true when it starts (after
// blanks, a sign and leading zeros) with Y, y, T, t or a digit 1 to 9.
// Anything absent or unreadable is false.
bool pxDefaultsBool(const QVariant& value);

// The user-defaults key and text of a saved window frame: the frame's x, y,
// width and height, then those of its screen, bottom-left coordinates.
QString pxFrameAutosaveKey(const QString& autosaveName);
QString pxFrameAutosaveText(const QRectF& frame, const QRectF& screenFrame);
