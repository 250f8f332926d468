#include "chrome/PXAppStoreWindowContentView.h"

#include "chrome/Geometry.h"
#include "chrome/PXAppStoreWindow.h"

#include <QEvent>
#include <QWidget>

namespace {
const char* const behaviourProperty = "_px_contentViewBehaviour";
}

PXAppStoreWindowContentView::PXAppStoreWindowContentView(QWidget* view, PXAppStoreWindow* window)
    : QObject(view)
    , m_view(view)
    , m_window(window) {
    view->installEventFilter(this);
}

void PXAppStoreWindowContentView::attach(QWidget* view, PXAppStoreWindow* window) {
    if (!view || isAttached(view))
        return;
    auto* behaviour = new PXAppStoreWindowContentView(view, window);
    view->setProperty(behaviourProperty, QVariant::fromValue<QObject*>(behaviour));
    behaviour->enforce();
}

void PXAppStoreWindowContentView::detach(QWidget* view) {
    if (!view)
        return;
    auto* behaviour = view->property(behaviourProperty).value<QObject*>();
    view->setProperty(behaviourProperty, QVariant());
    delete behaviour;
}

bool PXAppStoreWindowContentView::isAttached(const QWidget* view) {
    return view && view->property(behaviourProperty).value<QObject*>() != nullptr;
}

QRect PXAppStoreWindowContentView::enforcedFrame(const QWidget* view) {
    const auto* window =
        view ? qobject_cast<const PXAppStoreWindow*>(view->parentWidget()) : nullptr;
    if (!window)
        return {};
    return PXGeometry::toLocalPixels(window->contentViewFrame(), window->height());
}

void PXAppStoreWindowContentView::enforce() {
    const QRect frame = enforcedFrame(m_view);
    if (m_view->geometry() != frame)
        m_view->setGeometry(frame);
}

bool PXAppStoreWindowContentView::eventFilter(QObject* watched, QEvent* event) {
    if (watched == m_view && (event->type() == QEvent::Move || event->type() == QEvent::Resize))
        enforce();
    return QObject::eventFilter(watched, event);
}
