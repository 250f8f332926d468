#include "chrome/TitlebarLayout.h"

#include <QMetaType>

#include <cmath>

double pxRoundNearest(double v) {
    return std::round(v);
}

double pxRoundDown(double v) {
    return std::floor(v);
}

QRectF pxTitleBarContainerFrame(const QSizeF& windowSize, double titleBarHeight) {
    return QRectF(0, windowSize.height() - titleBarHeight, windowSize.width(), titleBarHeight);
}

QRectF pxContentViewFrame(const QSizeF& windowSize, double titleBarHeight) {
    return QRectF(0, 0, windowSize.width(), windowSize.height() - titleBarHeight);
}

PXTitlebarLayoutResult pxLayoutTitlebar(const PXTitlebarLayoutInput& in) {
    PXTitlebarLayoutResult out;
    const QRectF c = pxTitleBarContainerFrame(in.windowSize, in.titleBarHeight);
    out.container = c;

    const QSizeF close = in.closeSize.value_or(QSizeF(0, 0));
    const QSizeF minimize = in.minimizeSize.value_or(QSizeF(0, 0));
    const QSizeF zoom = in.zoomSize.value_or(QSizeF(0, 0));
    const double sep = in.trafficLightSeparation;

    QPointF closeAt, minimizeAt, zoomAt;
    if (!in.verticalTrafficLightButtons) {
        const double y =
            in.centerTrafficLightButtons
                ? pxRoundNearest(c.y() + c.height() / 2 - close.height() / 2)
                : c.y() + c.height() - close.height() - in.trafficLightButtonsTopMargin;
        closeAt = {in.trafficLightButtonsLeftMargin, y};
        minimizeAt = {closeAt.x() + close.width() + sep, y};
        zoomAt = {minimizeAt.x() + minimize.width() + sep, y};
    } else {
        // Stacked buttons sit closer together than a row: the separation is
        // measured between their drawn circles, not their frames.
        const double gap = sep - 2;
        const double total = close.height() + minimize.height() + zoom.height() + 2 * gap;
        const double bottom = in.centerTrafficLightButtons
                                  ? pxRoundNearest(c.y() + c.height() / 2 - total / 2)
                                  : c.y() + c.height() - total - in.trafficLightButtonsTopMargin;
        const double x = in.trafficLightButtonsLeftMargin;
        zoomAt = {x, bottom};
        minimizeAt = {x, zoomAt.y() + zoom.height() + gap};
        closeAt = {x, minimizeAt.y() + minimize.height() + gap};
    }
    if (in.closeSize)
        out.close = QRectF(closeAt, close);
    if (in.minimizeSize)
        out.minimize = QRectF(minimizeAt, minimize);
    if (in.zoomSize)
        out.zoom = QRectF(zoomAt, zoom);

    if (in.fullScreenFrame) {
        const QRectF fs = *in.fullScreenFrame;
        double margin = in.fullScreenButtonRightMargin;
        if (!in.fullScreenButtonRightMarginSet) {
            const double measured = c.width() - (fs.x() + fs.width());
            out.measuredFullScreenRightMargin = measured;
            margin = measured;
        }
        const double x = c.width() - fs.width() - margin;
        const double y = in.centerFullScreenButton
                             ? pxRoundDown(c.y() + c.height() / 2 - fs.height() / 2)
                             : c.y() + c.height() - fs.height() - in.fullScreenButtonTopMargin;
        out.fullScreen = QRectF(QPointF(x, y), fs.size());
    }

    out.contentView = pxContentViewFrame(in.windowSize, in.titleBarHeight);
    return out;
}

QRectF pxProposedSheetRect(const QSizeF& windowSize, double standardTitleBarHeight) {
    return QRectF(0, windowSize.height() - standardTitleBarHeight, windowSize.width(), 0);
}

QRectF pxDefaultSheetPositionRect(const QRectF& proposed, double frameHeight,
                                  double titleBarHeight) {
    QRectF r = proposed;
    r.moveTop(frameHeight - titleBarHeight);
    return r;
}

QRectF pxSheetFrame(const QRectF& positionRect, const QSizeF& sheetSize) {
    const double x = positionRect.x() + (positionRect.width() - sheetSize.width()) / 2;
    return QRectF(x, positionRect.y() - sheetSize.height(), sheetSize.width(), sheetSize.height());
}

void PXDragAccumulator::begin(const QPointF& point) {
    m_previous = point;
    m_dx = 0;
    m_dy = 0;
}

std::optional<QPointF> PXDragAccumulator::track(const QPointF& point) {
    m_dx += point.x() - m_previous.x();
    m_dy += point.y() - m_previous.y();
    m_previous = point;
    if (std::abs(m_dx) >= m_threshold || std::abs(m_dy) >= m_threshold) {
        const QPointF move(m_dx, m_dy);
        m_dx = 0;
        m_dy = 0;
        return move;
    }
    return std::nullopt;
}

QColor PXTitlebarDefaults::gradientStart(bool active) {
    const float g = active ? 0.66f : 0.878f;
    return QColor::fromRgbF(g, g, g);
}

QColor PXTitlebarDefaults::gradientEnd(bool active) {
    const float g = active ? 0.9f : 0.976f;
    return QColor::fromRgbF(g, g, g);
}

QColor PXTitlebarDefaults::baselineSeparator(bool active) {
    const float g = active ? 0.408f : 0.655f;
    return QColor::fromRgbF(g, g, g);
}

QColor PXTitlebarDefaults::titleText(bool active) {
    return QColor(56, 56, 56, active ? 255 : 128);
}

QColor PXTitlebarDefaults::separatorHighlight() {
    return QColor::fromRgbF(1, 1, 1, 0.12f);
}

QColor PXTitlebarDefaults::titleShadowColor() {
    return QColor::fromRgbF(1, 1, 1, 0.5f);
}

QPointF PXTitlebarDefaults::titleShadowOffset() {
    return QPointF(0, 1);
}

QRectF pxTitleFrame(const QRectF& bounds, const QSizeF& titleSize, bool verticallyCenter) {
    // bounds: bottom-up, so top() is the bar's lowest y and bottom() its top.
    const double x = bounds.center().x() - titleSize.width() / 2;
    double y = bounds.y() + bounds.height() - titleSize.height() - 2;
    if (verticallyCenter)
        y = pxRoundDown(bounds.y() + bounds.height() / 2 - titleSize.height() / 2 + 1);
    return QRectF(x, y, titleSize.width(), titleSize.height());
}

bool pxDefaultsBool(const QVariant& value) {
    if (!value.isValid() || value.isNull())
        return false;
    switch (value.metaType().id()) {
    case QMetaType::Bool:
        return value.toBool();
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
    case QMetaType::Double:
    case QMetaType::Float:
        return value.toDouble() != 0;
    default:
        break;
    }
    const QString text = value.toString();
    qsizetype i = 0;
    while (i < text.size() && text.at(i).isSpace())
        ++i;
    if (i < text.size() && (text.at(i) == u'+' || text.at(i) == u'-'))
        ++i;
    while (i < text.size() && text.at(i) == u'0')
        ++i;
    if (i >= text.size())
        return false;
    const QChar c = text.at(i);
    return c == u'Y' || c == u'y' || c == u'T' || c == u't' || (c >= u'1' && c <= u'9');
}

QString pxFrameAutosaveKey(const QString& autosaveName) {
    return QStringLiteral("NSWindow Frame ") + autosaveName;
}

QString pxFrameAutosaveText(const QRectF& frame, const QRectF& screenFrame) {
    const auto n = [](double v) { return QString::number(std::lround(v)); };
    return n(frame.x()) + u' ' + n(frame.y()) + u' ' + n(frame.width()) + u' ' + n(frame.height()) +
           u' ' + n(screenFrame.x()) + u' ' + n(screenFrame.y()) + u' ' + n(screenFrame.width()) +
           u' ' + n(screenFrame.height());
}
