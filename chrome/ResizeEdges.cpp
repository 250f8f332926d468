#include "chrome/ResizeEdges.h"

#include <algorithm>

namespace PXResizeEdges {

Qt::Edges at(const QPointF& pos, const QSize& size, int margin) {
    Qt::Edges edges;
    if (pos.x() < margin)
        edges |= Qt::LeftEdge;
    if (pos.x() >= size.width() - margin)
        edges |= Qt::RightEdge;
    if (pos.y() < margin)
        edges |= Qt::TopEdge;
    if (pos.y() >= size.height() - margin)
        edges |= Qt::BottomEdge;
    return edges;
}

Qt::CursorShape cursorFor(Qt::Edges edges) {
    if (!edges)
        return Qt::ArrowCursor;
    if (edges == Qt::LeftEdge || edges == Qt::RightEdge)
        return Qt::SizeHorCursor;
    if (edges == Qt::TopEdge || edges == Qt::BottomEdge)
        return Qt::SizeVerCursor;
    if (edges == (Qt::TopEdge | Qt::LeftEdge) || edges == (Qt::BottomEdge | Qt::RightEdge))
        return Qt::SizeFDiagCursor;
    return Qt::SizeBDiagCursor;
}

QRect resized(const QRect& start, Qt::Edges edges, const QPointF& delta, const QSize& minimum) {
    QRect g = start;
    if (edges & Qt::LeftEdge)
        g.setLeft(std::min(g.left() + int(delta.x()), g.right() - minimum.width()));
    if (edges & Qt::RightEdge)
        g.setRight(g.right() + int(delta.x()));
    if (edges & Qt::TopEdge)
        g.setTop(std::min(g.top() + int(delta.y()), g.bottom() - minimum.height()));
    if (edges & Qt::BottomEdge)
        g.setBottom(g.bottom() + int(delta.y()));
    return g;
}

} // namespace PXResizeEdges
