#include "chrome/Geometry.h"

#include <QGuiApplication>
#include <QScreen>

#include <algorithm>
#include <cmath>

namespace PXGeometry {

namespace {
int px(double v) {
    return static_cast<int>(std::lround(v));
}
} // namespace

QRect toScreen(const QRectF& specFrame, const QRect& screenGeometry) {
    const int x = screenGeometry.x() + px(specFrame.x());
    const int bottom = screenGeometry.y() + screenGeometry.height() - px(specFrame.y());
    const int height = px(specFrame.height());
    return QRect(x, bottom - height, px(specFrame.width()), height);
}

QRectF fromScreen(const QRect& qtRect, const QRect& screenGeometry) {
    const double x = qtRect.x() - screenGeometry.x();
    const double y = screenGeometry.y() + screenGeometry.height() - (qtRect.y() + qtRect.height());
    return QRectF(x, y, qtRect.width(), qtRect.height());
}

QRectF toLocal(const QRectF& r, double viewHeight) {
    return QRectF(r.x(), viewHeight - (r.y() + r.height()), r.width(), r.height());
}

QRectF fromLocal(const QRectF& r, double viewHeight) {
    // The flip is its own inverse.
    return toLocal(r, viewHeight);
}

QRect toLocalPixels(const QRectF& bottomUpRect, double viewHeight) {
    const QRectF r = toLocal(bottomUpRect, viewHeight);
    const int left = px(r.x());
    const int top = px(r.y());
    const int right = px(r.x() + r.width());
    const int bottom = px(r.y() + r.height());
    return QRect(left, top, std::max(0, right - left), std::max(0, bottom - top));
}

QRect referenceScreenGeometry() {
    if (const QScreen* screen = QGuiApplication::primaryScreen())
        return screen->geometry();
    return {};
}

} // namespace PXGeometry
