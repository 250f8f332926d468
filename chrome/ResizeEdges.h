#pragma once

#include <QPointF>
#include <QRect>
#include <QSize>

// Resizing a frameless window from its edges, where the window system cannot
// do it itself: which edges a pointer grabs, the cursor that says so, and the
// frame a drag gives. Window-local, top-down pixels.
namespace PXResizeEdges {

// The edges within `margin` pixels of `pos` in a window of `size`: one, or
// two at a corner; none inside.
Qt::Edges at(const QPointF& pos, const QSize& size, int margin);

// The cursor for grabbing those edges; the arrow for none.
Qt::CursorShape cursorFor(Qt::Edges edges);

// `start` dragged by `delta` at `edges`. The left and top edges stop where
// the window would become narrower or lower than `minimum`; the window
// system holds the right and bottom ones to it.
QRect resized(const QRect& start, Qt::Edges edges, const QPointF& delta, const QSize& minimum);

} // namespace PXResizeEdges
