#pragma once

#include "chrome/TitlebarLayout.h"

#include <QPointF>
#include <QWidget>

// The strip along the top of the window that holds the title bar view and
// moves the window when the bar is dragged. Presses that no control of the bar
// takes reach it; the window moves once the accumulated pointer travel reaches
// the drag threshold along either axis, by all of that travel.
class PXTitlebarContainer : public QWidget {
    Q_OBJECT
public:
    explicit PXTitlebarContainer(QWidget* parent = nullptr);

    double mouseDragDetectionThreshold() const { return m_tracker.threshold(); }
    void setMouseDragDetectionThreshold(double threshold) { m_tracker.setThreshold(threshold); }

    // True between the first movement of a drag and the release that ends it.
    bool isTrackingDrag() const { return m_dragging; }

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    PXDragAccumulator m_tracker{1.0};
    QPointF m_origin;
    bool m_pressed = false;
    bool m_dragging = false;
};
