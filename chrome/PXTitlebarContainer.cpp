#include "chrome/PXTitlebarContainer.h"

#include "chrome/PXAppStoreWindow.h"

#include <QGuiApplication>
#include <QMouseEvent>
#include <QWindow>

PXTitlebarContainer::PXTitlebarContainer(QWidget* parent)
    : QWidget(parent) {}

void PXTitlebarContainer::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) {
        event->ignore();
        return;
    }
    m_pressed = true;
    m_dragging = false;
    // Travel counts from the press, so that none of the pointer's way is lost
    // before the first movement is seen.
    m_tracker.begin(event->globalPosition());
    m_origin = window()->pos();
    event->accept();
}

void PXTitlebarContainer::mouseMoveEvent(QMouseEvent* event) {
    if (!m_pressed || !(event->buttons() & Qt::LeftButton)) {
        event->ignore();
        return;
    }
    event->accept();
    QWidget* top = window();
    if (!m_dragging) {
        m_dragging = true;
        const auto* w = qobject_cast<const PXAppStoreWindow*>(top);
        const bool fullScreen = w ? w->isInFullScreen() : top->isFullScreen();
        const bool byBackground = w && w->isMovableByWindowBackground();
        // Where the window system alone may move windows, it gets the drag.
        const bool systemMovesOnly = QGuiApplication::platformName().startsWith(u"wayland");
        if (fullScreen || byBackground || systemMovesOnly) {
            m_pressed = false;
            if (!fullScreen && top->windowHandle())
                top->windowHandle()->startSystemMove();
            return;
        }
    }
    if (const auto move = m_tracker.track(event->globalPosition())) {
        m_origin += *move;
        top->move(m_origin.toPoint());
    }
}

void PXTitlebarContainer::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) {
        event->ignore();
        return;
    }
    // The release that ends a drag is consumed here.
    m_pressed = false;
    m_dragging = false;
    event->accept();
}
