#include "chrome/PXWindowButton.h"

#include "chrome/PXAppStoreWindow.h"
#include "chrome/PXWindowButtonGroup.h"

#include <QEvent>
#include <QPainter>

PXWindowButton* PXWindowButton::windowButtonWithSize(const QSize& size,
                                                     const QString& groupIdentifier,
                                                     QWidget* parent) {
    return new PXWindowButton(size, groupIdentifier, parent);
}

PXWindowButton::PXWindowButton(const QSize& size, const QString& groupIdentifier, QWidget* parent)
    : QAbstractButton(parent)
    , m_size(size)
    , m_groupIdentifier(groupIdentifier) {
    setGeometry(QRect(QPoint(0, 0), size));
    setFocusPolicy(Qt::NoFocus);
    setText(QString());
    subscribeToGroup();
    observeWindow();
}

PXWindowButton::~PXWindowButton() {
    QObject::disconnect(m_groupConnection);
    for (const auto& c : std::as_const(m_windowConnections))
        QObject::disconnect(c);
    // The pointer may be over the button as it goes away; the group must not
    // keep counting it.
    if (m_pointerInside)
        group()->didReleaseMousePointer();
}

void PXWindowButton::setGroupIdentifier(const QString& identifier) {
    if (identifier == m_groupIdentifier)
        return;
    if (m_pointerInside) {
        group()->didReleaseMousePointer();
        m_pointerInside = false;
    }
    m_groupIdentifier = identifier;
    subscribeToGroup();
    updateRollOverImage();
}

PXWindowButtonGroup* PXWindowButton::group() const {
    return PXWindowButtonGroup::groupWithIdentifier(m_groupIdentifier);
}

void PXWindowButton::subscribeToGroup() {
    QObject::disconnect(m_groupConnection);
    m_groupConnection = connect(group(), &PXWindowButtonGroup::didUpdateRolloverState, this,
                                [this] { updateRollOverImage(); });
}

void PXWindowButton::setPressedImage(const QPixmap& image) {
    m_pressedImage = image;
    update();
}

QPixmap PXWindowButton::displayedImage() const {
    switch (m_shown) {
    case ShownImage::Active:
        return m_activeImage;
    case ShownImage::ActiveNotKeyWindow:
        return m_activeNotKeyWindowImage;
    case ShownImage::Inactive:
        return m_inactiveImage;
    case ShownImage::Rollover:
        return m_rolloverImage;
    case ShownImage::None:
        break;
    }
    return {};
}

void PXWindowButton::showImage(ShownImage which) {
    if (m_shown == which)
        return;
    m_shown = which;
    update();
}

bool PXWindowButton::isInKeyWindow() const {
    const QWidget* w = window();
    if (!w || w == this)
        return false;
    if (const auto* win = qobject_cast<const PXAppStoreWindow*>(w))
        return win->isKeyWindow();
    return w->isActiveWindow();
}

void PXWindowButton::updateRollOverImage() {
    if (group()->shouldDisplayRollOver() && isEnabled())
        showImage(ShownImage::Rollover);
    else
        updateImage();
}

void PXWindowButton::updateImage() {
    if (isInKeyWindow())
        updateActiveImage();
    else
        showImage(ShownImage::ActiveNotKeyWindow);
}

void PXWindowButton::updateActiveImage() {
    showImage(isEnabled() ? ShownImage::Active : ShownImage::Inactive);
}

QRect PXWindowButton::hoverRegion() const {
    return rect().adjusted(-hoverMargin, -hoverMargin, hoverMargin, hoverMargin);
}

void PXWindowButton::mouseEntered() {
    if (m_pointerInside)
        return;
    m_pointerInside = true;
    group()->didCaptureMousePointer();
    updateRollOverImage();
}

void PXWindowButton::mouseExited() {
    if (!m_pointerInside)
        return;
    m_pointerInside = false;
    group()->didReleaseMousePointer();
    updateRollOverImage();
}

void PXWindowButton::windowDidChangeFocus() {
    updateImage();
}

void PXWindowButton::windowWillEnterFullScreen() {
    m_pointerInside = false;
    group()->resetMouseCaptures();
    hide();
}

void PXWindowButton::windowWillExitFullScreen() {
    m_pointerInside = false;
    group()->resetMouseCaptures();
    show();
}

void PXWindowButton::windowDidMiniaturize() {
    m_pointerInside = false;
    group()->resetMouseCaptures();
}

void PXWindowButton::viewDidEndLiveResize() {
    m_pointerInside = false;
    group()->resetMouseCaptures();
}

void PXWindowButton::paintEvent(QPaintEvent*) {
    QPixmap image = isDown() && !m_pressedImage.isNull() ? m_pressedImage : displayedImage();
    if (image.isNull())
        return;
    QPainter p(this);
    p.setRenderHint(QPainter::SmoothPixmapTransform);
    const QSizeF logical = image.deviceIndependentSize();
    const QPointF at((width() - logical.width()) / 2, (height() - logical.height()) / 2);
    p.drawPixmap(QRectF(at, logical), image, QRectF(image.rect()));
}

void PXWindowButton::changeEvent(QEvent* event) {
    switch (event->type()) {
    case QEvent::EnabledChange:
        // Enabling shows the active image and disabling the inactive one,
        // whatever the key state; the next focus change corrects it.
        showImage(isEnabled() ? ShownImage::Active : ShownImage::Inactive);
        break;
    default:
        break;
    }
    QAbstractButton::changeEvent(event);
}

bool PXWindowButton::event(QEvent* event) {
    switch (event->type()) {
    case QEvent::ParentChange:
        observeWindow();
        break;
    case QEvent::WindowActivate:
    case QEvent::WindowDeactivate:
        // The window became or stopped being the key window.
        windowDidChangeFocus();
        break;
    default:
        break;
    }
    return QAbstractButton::event(event);
}

void PXWindowButton::observeWindow() {
    QWidget* w = window();
    if (w == this)
        w = nullptr;
    if (w == m_observedWindow)
        return;
    for (const auto& c : std::as_const(m_windowConnections))
        QObject::disconnect(c);
    m_windowConnections.clear();
    m_observedWindow = w;
    if (auto* win = qobject_cast<PXAppStoreWindow*>(w)) {
        m_windowConnections << connect(win, &PXAppStoreWindow::windowWillEnterFullScreen, this,
                                       &PXWindowButton::windowWillEnterFullScreen)
                            << connect(win, &PXAppStoreWindow::windowWillExitFullScreen, this,
                                       &PXWindowButton::windowWillExitFullScreen)
                            << connect(win, &PXAppStoreWindow::windowDidMiniaturize, this,
                                       &PXWindowButton::windowDidMiniaturize);
    }
    if (w)
        updateImage();
}
