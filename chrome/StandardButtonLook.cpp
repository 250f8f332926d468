#include "chrome/StandardButtonLook.h"

#include "chrome/PXWindowButton.h"

#include <QPainter>
#include <QPixmap>
#include <QPolygonF>

#include <algorithm>

namespace {

struct ButtonLook {
    QColor fill;
    QColor rim;
    QColor glyph;
};

enum class Glyph { None, Close, Minimize, Zoom, FullScreen };

// Drawn at twice the size, so that the buttons stay sharp on dense screens.
QPixmap blankPixmap(const QSize& size) {
    const qreal dpr = 2;
    QPixmap pm(size * dpr);
    pm.setDevicePixelRatio(dpr);
    pm.fill(Qt::transparent);
    return pm;
}

QPixmap drawCircleButton(const QSize& size, const ButtonLook& look, Glyph glyph) {
    QPixmap pm = blankPixmap(size);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    const double d = std::min(size.width(), size.height()) - 2;
    const QRectF circle((size.width() - d) / 2, (size.height() - d) / 2, d, d);
    p.setPen(QPen(look.rim, 0.8));
    p.setBrush(look.fill);
    p.drawEllipse(circle.adjusted(0.4, 0.4, -0.4, -0.4));
    const QPointF c = circle.center();
    const double g = d * 0.25;
    p.setPen(QPen(look.glyph, 1.1, Qt::SolidLine, Qt::RoundCap));
    switch (glyph) {
    case Glyph::Close:
        p.drawLine(c + QPointF(-g, -g), c + QPointF(g, g));
        p.drawLine(c + QPointF(-g, g), c + QPointF(g, -g));
        break;
    case Glyph::Minimize:
        p.drawLine(c + QPointF(-g * 1.2, 0), c + QPointF(g * 1.2, 0));
        break;
    case Glyph::Zoom:
        p.drawLine(c + QPointF(-g * 1.2, 0), c + QPointF(g * 1.2, 0));
        p.drawLine(c + QPointF(0, -g * 1.2), c + QPointF(0, g * 1.2));
        break;
    case Glyph::FullScreen:
    case Glyph::None:
        break;
    }
    return pm;
}

QPixmap drawFullScreenButton(const QSize& size, const QColor& color) {
    QPixmap pm = blankPixmap(size);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::NoPen);
    p.setBrush(color);
    // Two arrow heads pointing away from the centre, corner to corner.
    const double w = size.width();
    const double h = size.height();
    const QPointF tl(w * 0.18, h * 0.22);
    const QPointF br(w * 0.82, h * 0.78);
    const double a = w * 0.34;
    p.drawPolygon(QPolygonF{tl, tl + QPointF(a, 0), tl + QPointF(0, a)});
    p.drawPolygon(QPolygonF{br, br - QPointF(a, 0), br - QPointF(0, a)});
    p.setPen(QPen(color, 1.2, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(tl + QPointF(a * 0.3, a * 0.3), br - QPointF(a * 0.3, a * 0.3));
    return pm;
}

struct ButtonNames {
    const char* outlet;
    const char* name;
};

ButtonNames namesOf(PXAppStoreWindow::StandardButton kind) {
    using K = PXAppStoreWindow::StandardButton;
    switch (kind) {
    case K::Close:
        return {"closeButton", QT_TRANSLATE_NOOP("PXAppStoreWindow", "Close")};
    case K::Minimize:
        return {"minimizeButton", QT_TRANSLATE_NOOP("PXAppStoreWindow", "Minimise")};
    case K::Zoom:
        return {"zoomButton", QT_TRANSLATE_NOOP("PXAppStoreWindow", "Zoom")};
    case K::FullScreen:
        return {"fullScreenButton", QT_TRANSLATE_NOOP("PXAppStoreWindow", "Full Screen")};
    default:
        return {"", ""};
    }
}

} // namespace

namespace PXStandardButtons {

void giveLooks(PXWindowButton* b, PXAppStoreWindow::StandardButton kind) {
    using K = PXAppStoreWindow::StandardButton;
    const QSize s = b->size();
    if (kind == K::FullScreen) {
        b->setActiveImage(drawFullScreenButton(s, QColor(0x5a, 0x5a, 0x5a)));
        b->setActiveNotKeyWindowImage(drawFullScreenButton(s, QColor(0x9a, 0x9a, 0x9a)));
        b->setInactiveImage(drawFullScreenButton(s, QColor(0xb8, 0xb8, 0xb8)));
        b->setRolloverImage(drawFullScreenButton(s, QColor(0x33, 0x33, 0x33)));
        b->setPressedImage(drawFullScreenButton(s, QColor(0x1a, 0x1a, 0x1a)));
        return;
    }
    ButtonLook look;
    Glyph glyph = Glyph::None;
    switch (kind) {
    case K::Close:
        look = {QColor(0xff, 0x5f, 0x57), QColor(0xe0, 0x44, 0x3e), QColor(0x4d, 0x00, 0x00)};
        glyph = Glyph::Close;
        break;
    case K::Minimize:
        look = {QColor(0xfe, 0xbc, 0x2e), QColor(0xde, 0xa1, 0x23), QColor(0x99, 0x57, 0x00)};
        glyph = Glyph::Minimize;
        break;
    default:
        look = {QColor(0x28, 0xc8, 0x40), QColor(0x1a, 0xab, 0x29), QColor(0x00, 0x65, 0x00)};
        glyph = Glyph::Zoom;
        break;
    }
    const ButtonLook grey{QColor(0xd6, 0xd6, 0xd6), QColor(0xbb, 0xbb, 0xbb), QColor()};
    const ButtonLook pressed{look.fill.darker(125), look.rim.darker(125), look.glyph};
    b->setActiveImage(drawCircleButton(s, look, Glyph::None));
    b->setActiveNotKeyWindowImage(drawCircleButton(s, grey, Glyph::None));
    b->setInactiveImage(drawCircleButton(s, grey, Glyph::None));
    b->setRolloverImage(drawCircleButton(s, look, glyph));
    b->setPressedImage(drawCircleButton(s, pressed, glyph));
}

QString outletName(PXAppStoreWindow::StandardButton kind) {
    return QString::fromLatin1(namesOf(kind).outlet);
}

void nameForAccessibility(PXWindowButton* b, PXAppStoreWindow::StandardButton kind) {
    const ButtonNames n = namesOf(kind);
    b->setAccessibleName(PXAppStoreWindow::tr(n.name));
    b->setAccessibleDescription(QString::fromLatin1(n.outlet));
    b->setToolTip(PXAppStoreWindow::tr(n.name));
}

} // namespace PXStandardButtons
