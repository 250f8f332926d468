#pragma once

#include <QRect>
#include <QRectF>

// The console keeps window geometry the way its saved frames store it: origin
// at the bottom-left corner of the reference screen, y growing upward. Qt puts
// the origin at the top-left with y growing downward. Every conversion between
// the two goes through these functions so that no caller flips y by hand.
namespace PXGeometry {

// A frame in bottom-left, y-up coordinates relative to `screenGeometry` (the
// reference screen in Qt's coordinates) becomes a Qt rectangle. Fractions are
// rounded to the nearest pixel.
QRect toScreen(const QRectF& specFrame, const QRect& screenGeometry);

// The inverse of toScreen.
QRectF fromScreen(const QRect& qtRect, const QRect& screenGeometry);

// Inside a view of height `viewHeight`: a rectangle with the origin at the
// view's bottom-left becomes one with the origin at its top-left, and back.
QRectF toLocal(const QRectF& bottomUpRect, double viewHeight);
QRectF fromLocal(const QRectF& topDownRect, double viewHeight);

// toLocal, rounded to whole pixels; negative sizes collapse to zero.
QRect toLocalPixels(const QRectF& bottomUpRect, double viewHeight);

// The screen whose bottom-left corner is the origin of saved frames: the
// primary screen, as on the desktop the frames came from. An empty rectangle
// when there is no screen at all.
QRect referenceScreenGeometry();

} // namespace PXGeometry
