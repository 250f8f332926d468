#include "chrome/PXAppStoreWindow.h"

#include "chrome/Geometry.h"
#include "chrome/PXAppStoreWindowContentView.h"
#include "chrome/PXAppStoreWindowDelegateProxy.h"
#include "chrome/PXTitlebarContainer.h"
#include "chrome/PXWindowButton.h"
#include "chrome/PXWindowButtonGroup.h"
#include "chrome/ResizeEdges.h"
#include "chrome/SheetPresenter.h"
#include "chrome/StandardButtonLook.h"
#include "chrome/TitlebarLayout.h"
#include "chrome/UserDefaults.h"

#include <QAbstractButton>
#include <QAbstractSlider>
#include <QAbstractSpinBox>
#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QGuiApplication>
#include <QLineEdit>
#include <QPropertyAnimation>
#include <QScreen>
#include <QWindow>

namespace {

bool s_animationsEnabled = true;
constexpr int frameAnimationMs = 200;

const QString standardGroupIdentifier = QStringLiteral("com.trevokapp.standardWindowButtons");

bool isControl(const QObject* o) {
    return qobject_cast<const QAbstractButton*>(o) || qobject_cast<const QLineEdit*>(o) ||
           qobject_cast<const QComboBox*>(o) || qobject_cast<const QAbstractSlider*>(o) ||
           qobject_cast<const QAbstractSpinBox*>(o);
}

} // namespace

void PXAppStoreWindow::setAnimationsEnabled(bool enabled) {
    s_animationsEnabled = enabled;
    SheetPresenter::setAnimationsEnabled(enabled);
}

bool PXAppStoreWindow::animationsEnabled() {
    return s_animationsEnabled;
}

// --- set-up ---------------------------------------------------------------------

PXAppStoreWindow::PXAppStoreWindow(QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::FramelessWindowHint) {
    setAttribute(Qt::WA_TranslucentBackground, false);
    setMinimumSize(120, 60);
    m_showsBaselineSeparator = true;
    m_centerTrafficLightButtons = true;
    m_titleBarHeight = m_cachedTitleBarHeight = minimumTitlebarHeight();
    m_trafficLightButtonsLeftMargin = defaultTrafficLightLeftMargin();
    m_delegateProxy = new PXAppStoreWindowDelegateProxy(this);
    m_sheets = new SheetPresenter(this, [this](QWidget* sheet) { return sheetFrame(sheet); });
    connect(m_sheets, &SheetPresenter::focusChanged, this, [this] {
        updateTitlebarView();
        for (PXWindowButton* b : findChildren<PXWindowButton*>(Qt::FindDirectChildrenOnly))
            b->windowDidChangeFocus();
    });
    connect(m_sheets, &SheetPresenter::ended, this, [this](QWidget* sheet) {
        layoutTrafficLightsAndContent();
        Q_EMIT windowDidEndSheet(sheet);
        if (isVisible())
            activateWindow();
    });
    m_trafficLightButtonsTopMargin = 3;
    m_fullScreenButtonTopMargin = 3;
    m_trafficLightSeparation = defaultTrafficLightSeparation();

    connect(qApp, &QGuiApplication::applicationStateChanged, this,
            [this] { updateTitlebarView(); });

    auto* content = new QWidget(this);
    content->setObjectName(QStringLiteral("contentView"));
    m_contentView = content;
    m_ownsContentView = true;
    PXAppStoreWindowContentView::attach(content, this);

    createStandardButtons();
    createTitlebarView();
    layoutTrafficLightsAndContent();
    setupTrafficLightsTrackingArea();
}

PXAppStoreWindow::~PXAppStoreWindow() {
    if (m_watchedWindow)
        m_watchedWindow->removeEventFilter(this);
    // Pointer captures of buttons that go away with the window end here.
    for (PXWindowButton* b : findChildren<PXWindowButton*>(Qt::FindDirectChildrenOnly))
        b->mouseExited();
}

int PXAppStoreWindow::slot(StandardButton kind) {
    return static_cast<int>(kind);
}

// A drawn button and a custom one of the same kind do the same thing.
void PXAppStoreWindow::connectStandardAction(QAbstractButton* button, StandardButton kind) {
    switch (kind) {
    case StandardButton::Close:
        connect(button, &QAbstractButton::clicked, this, &PXAppStoreWindow::performClose);
        break;
    case StandardButton::Minimize:
        connect(button, &QAbstractButton::clicked, this, &PXAppStoreWindow::performMiniaturize);
        break;
    case StandardButton::Zoom:
        connect(button, &QAbstractButton::clicked, this, &PXAppStoreWindow::performZoom);
        break;
    default:
        connect(button, &QAbstractButton::clicked, this, &PXAppStoreWindow::toggleFullScreen);
        break;
    }
}

void PXAppStoreWindow::createStandardButtons() {
    const QSize size(standardButtonWidth, standardButtonHeight);
    const StandardButton kinds[] = {StandardButton::Close, StandardButton::Minimize,
                                    StandardButton::Zoom, StandardButton::FullScreen};
    for (StandardButton kind : kinds) {
        auto* b = PXWindowButton::windowButtonWithSize(size, standardGroupIdentifier, this);
        b->setObjectName(PXStandardButtons::outletName(kind));
        PXStandardButtons::nameForAccessibility(b, kind);
        PXStandardButtons::giveLooks(b, kind);
        b->updateImage();
        m_standard[static_cast<size_t>(slot(kind))] = b;
        connectStandardAction(b, kind);
    }
    // Where a bar of standard height has its full-screen button; the first
    // layout measures the right margin from here.
    PXWindowButton* fs = m_standard[static_cast<size_t>(slot(StandardButton::FullScreen))];
    fs->move(width() - fs->width() - static_cast<int>(standardFullScreenButtonRightMargin), 3);
}

void PXAppStoreWindow::createTitlebarView() {
    m_titleBarContainer = new PXTitlebarContainer(this);
    m_titleBarContainer->setGeometry(QRect());
    // Behind everything else of the window, so the buttons stay on top.
    m_titleBarContainer->lower();
    setTitleBarView(new PXTitlebarView(m_titleBarContainer));
}

// --- properties -------------------------------------------------------------------

void PXAppStoreWindow::setTitleBarHeight(double height) {
    if (!(m_titleBarHeight != height))
        return;
    m_titleBarHeight = height;
    m_cachedTitleBarHeight = height;
    layoutTrafficLightsAndContent();
    displayWindowAndTitlebar();
    if (m_styleMask & TexturedBackground) {
        if (m_contentView)
            m_contentView->update();
    }
}

void PXAppStoreWindow::setTitleBarView(PXTitlebarView* view) {
    if (!view || view == m_titleBarView)
        return;
    if (m_titleBarView) {
        m_titleBarView->hide();
        m_titleBarView->setParent(nullptr);
        m_titleBarView->deleteLater();
    }
    m_titleBarView = view;
    view->setParent(m_titleBarContainer);
    view->setGeometry(m_titleBarContainer->rect());
    view->show();
}

void PXAppStoreWindow::setCenterFullScreenButton(bool on) {
    if (m_centerFullScreenButton == on)
        return;
    m_centerFullScreenButton = on;
    layoutTrafficLightsAndContent();
}

void PXAppStoreWindow::setCenterTrafficLightButtons(bool on) {
    if (m_centerTrafficLightButtons == on)
        return;
    m_centerTrafficLightButtons = on;
    layoutTrafficLightsAndContent();
    setupTrafficLightsTrackingArea();
}

void PXAppStoreWindow::setVerticalTrafficLightButtons(bool on) {
    if (m_verticalTrafficLightButtons == on)
        return;
    m_verticalTrafficLightButtons = on;
    layoutTrafficLightsAndContent();
    setupTrafficLightsTrackingArea();
}

void PXAppStoreWindow::setVerticallyCenterTitle(bool on) {
    if (m_verticallyCenterTitle == on)
        return;
    m_verticallyCenterTitle = on;
    displayWindowAndTitlebar();
}

void PXAppStoreWindow::setShowsBaselineSeparator(bool on) {
    if (m_showsBaselineSeparator == on)
        return;
    m_showsBaselineSeparator = on;
    m_titleBarView->update();
}

void PXAppStoreWindow::setTrafficLightButtonsLeftMargin(double margin) {
    if (!(m_trafficLightButtonsLeftMargin != margin))
        return;
    m_trafficLightButtonsLeftMargin = margin;
    layoutTrafficLightsAndContent();
    displayWindowAndTitlebar();
    setupTrafficLightsTrackingArea();
}

void PXAppStoreWindow::setFullScreenButtonRightMargin(double margin) {
    if (!(m_fullScreenButtonRightMargin != margin))
        return;
    m_setFullScreenButtonRightMargin = true;
    m_fullScreenButtonRightMargin = margin;
    layoutTrafficLightsAndContent();
    displayWindowAndTitlebar();
}

void PXAppStoreWindow::setTrafficLightSeparation(double separation) {
    if (!(m_trafficLightSeparation != separation))
        return;
    m_trafficLightSeparation = separation;
    layoutTrafficLightsAndContent();
    setupTrafficLightsTrackingArea();
}

double PXAppStoreWindow::mouseDragDetectionThreshold() const {
    return m_titleBarContainer->mouseDragDetectionThreshold();
}

void PXAppStoreWindow::setMouseDragDetectionThreshold(double threshold) {
    m_titleBarContainer->setMouseDragDetectionThreshold(threshold);
}

void PXAppStoreWindow::setShowsTitle(bool on) {
    if (m_showsTitle == on)
        return;
    m_showsTitle = on;
    displayWindowAndTitlebar();
}

void PXAppStoreWindow::setShowsDocumentProxyIcon(bool on) {
    if (m_showsDocumentProxyIcon == on)
        return;
    m_showsDocumentProxyIcon = on;
    displayWindowAndTitlebar();
}

// --- buttons ------------------------------------------------------------------------

PXWindowButton* PXAppStoreWindow::standardWindowButton(StandardButton kind) const {
    const int i = slot(kind);
    if (i < 0 || i >= static_cast<int>(m_standard.size()))
        return nullptr;
    return m_standard[static_cast<size_t>(i)];
}

PXWindowButton* PXAppStoreWindow::custom(StandardButton kind) const {
    return m_custom[static_cast<size_t>(slot(kind))];
}

void PXAppStoreWindow::setCloseButton(PXWindowButton* button) {
    setCustomButton(StandardButton::Close, button);
}

void PXAppStoreWindow::setMinimizeButton(PXWindowButton* button) {
    setCustomButton(StandardButton::Minimize, button);
}

void PXAppStoreWindow::setZoomButton(PXWindowButton* button) {
    setCustomButton(StandardButton::Zoom, button);
}

void PXAppStoreWindow::setFullScreenButton(PXWindowButton* button) {
    setCustomButton(StandardButton::FullScreen, button);
}

void PXAppStoreWindow::setCustomButton(StandardButton kind, PXWindowButton* button) {
    QPointer<PXWindowButton>& installed = m_custom[static_cast<size_t>(slot(kind))];
    if (installed == button)
        return;
    if (installed) {
        installed->mouseExited();
        installed->disconnect(this);
        installed->hide();
        installed->setParent(nullptr);
    }
    installed = button;
    if (!button)
        return;
    connectStandardAction(button, kind);
    const PXWindowButton* standard = standardWindowButton(kind);
    button->setParent(this);
    button->move(standard ? standard->pos() : QPoint());
    PXStandardButtons::nameForAccessibility(button, kind);
    button->show();
    button->raise();
}

PXWindowButton* PXAppStoreWindow::windowButtonToLayout(StandardButton kind) {
    PXWindowButton* standard = standardWindowButton(kind);
    if (PXWindowButton* c = custom(kind)) {
        if (standard)
            standard->hide();
        return c;
    }
    if (standard && standard->parentWidget() != this)
        standard->show();
    return standard;
}

// --- layout ---------------------------------------------------------------------------

QRectF PXAppStoreWindow::contentViewFrame() const {
    return pxContentViewFrame(size(), m_titleBarHeight);
}

void PXAppStoreWindow::layoutTrafficLightsAndContent() {
    const double h = height();
    PXTitlebarLayoutInput in;
    in.windowSize = size();
    in.titleBarHeight = m_titleBarHeight;
    PXWindowButton* close = windowButtonToLayout(StandardButton::Close);
    PXWindowButton* minimize = windowButtonToLayout(StandardButton::Minimize);
    PXWindowButton* zoom = windowButtonToLayout(StandardButton::Zoom);
    PXWindowButton* fullScreen = windowButtonToLayout(StandardButton::FullScreen);
    if (close)
        in.closeSize = QSizeF(close->size());
    if (minimize)
        in.minimizeSize = QSizeF(minimize->size());
    if (zoom)
        in.zoomSize = QSizeF(zoom->size());
    if (fullScreen)
        in.fullScreenFrame = PXGeometry::fromLocal(QRectF(fullScreen->geometry()), h);
    in.centerTrafficLightButtons = m_centerTrafficLightButtons;
    in.verticalTrafficLightButtons = m_verticalTrafficLightButtons;
    in.centerFullScreenButton = m_centerFullScreenButton;
    in.trafficLightButtonsLeftMargin = m_trafficLightButtonsLeftMargin;
    in.trafficLightButtonsTopMargin = m_trafficLightButtonsTopMargin;
    in.trafficLightSeparation = m_trafficLightSeparation;
    in.fullScreenButtonRightMargin = m_fullScreenButtonRightMargin;
    in.fullScreenButtonTopMargin = m_fullScreenButtonTopMargin;
    in.fullScreenButtonRightMarginSet = m_setFullScreenButtonRightMargin;
    const PXTitlebarLayoutResult out = pxLayoutTitlebar(in);

    m_titleBarContainer->setGeometry(PXGeometry::toLocalPixels(out.container, h));
    if (m_titleBarView)
        m_titleBarView->setGeometry(m_titleBarContainer->rect());
    if (out.measuredFullScreenRightMargin)
        setFullScreenButtonRightMargin(*out.measuredFullScreenRightMargin);

    const auto place = [h](PXWindowButton* b, const std::optional<QRectF>& r) {
        if (b && r)
            b->setGeometry(PXGeometry::toLocalPixels(*r, h));
    };
    place(close, out.close);
    place(minimize, out.minimize);
    place(zoom, out.zoom);
    place(fullScreen, out.fullScreen);
    repositionContentView();
    Q_EMIT didLayoutTitlebar();
}

void PXAppStoreWindow::repositionContentView() {
    if (!m_contentView)
        return;
    const QRect frame = PXGeometry::toLocalPixels(contentViewFrame(), height());
    if (m_contentView->geometry() != frame) {
        m_contentView->setGeometry(frame);
        m_contentView->update();
    }
}

void PXAppStoreWindow::displayWindowAndTitlebar() {
    if (m_titleBarView)
        m_titleBarView->update();
}

void PXAppStoreWindow::updateTitlebarView() {
    if (!m_titleBarView)
        return;
    m_titleBarView->update();
    const bool active = isActiveAppearance();
    // Only the bar's direct controls: what a client nests deeper is its own.
    for (QObject* child : m_titleBarView->children()) {
        if (isControl(child))
            static_cast<QWidget*>(child)->setEnabled(active);
    }
}

void PXAppStoreWindow::setupTrafficLightsTrackingArea() {
    // The buttons may have moved under a resting pointer: forget what was
    // captured and ask again where the pointer is.
    for (PXWindowButton* b : findChildren<PXWindowButton*>(Qt::FindDirectChildrenOnly))
        b->viewDidEndLiveResize();
    if (m_lastPointer)
        updateHover(*m_lastPointer);
}

void PXAppStoreWindow::hideTitleBarView(bool hide) {
    if (m_titleBarView)
        m_titleBarView->setHidden(hide);
}

bool PXAppStoreWindow::isKeyWindow() const {
    return isActiveWindow() || (m_sheets->attached() && m_sheets->attached()->isActiveWindow());
}

bool PXAppStoreWindow::isActiveAppearance() const {
    return isKeyWindow() && QGuiApplication::applicationState() == Qt::ApplicationActive;
}

// --- content view and delegate --------------------------------------------------------

void PXAppStoreWindow::setContentView(QWidget* view) {
    if (view == m_contentView)
        return;
    if (QWidget* old = m_contentView) {
        PXAppStoreWindowContentView::detach(old);
        if (m_ownsContentView) {
            old->hide();
            old->deleteLater();
        } else {
            old->hide();
            old->setParent(nullptr);
        }
    }
    m_contentView = view;
    m_ownsContentView = false;
    if (view) {
        view->setParent(this);
        if (view->metaObject() == &QWidget::staticMetaObject)
            PXAppStoreWindowContentView::attach(view, this);
        view->lower();
        m_titleBarContainer->lower();
        view->show();
    }
    repositionContentView();
}

QObject* PXAppStoreWindow::delegate() const {
    return m_delegateProxy->secondaryDelegate();
}

void PXAppStoreWindow::setDelegate(QObject* delegate) {
    m_delegateProxy->setSecondaryDelegate(delegate);
}

// --- style and window state ------------------------------------------------------------

void PXAppStoreWindow::setStyleMask(unsigned mask) {
    m_preventWindowFrameChange = true;
    m_styleMask = mask;
    Q_EMIT styleMaskChanged(mask);
    displayWindowAndTitlebar();
    if (m_contentView)
        m_contentView->repaint();
    m_preventWindowFrameChange = false;
}

void PXAppStoreWindow::performClose() {
    close();
}

void PXAppStoreWindow::performMiniaturize() {
    showMinimized();
}

void PXAppStoreWindow::performZoom() {
    if (isMaximized())
        showNormal();
    else
        showMaximized();
}

void PXAppStoreWindow::toggleFullScreen() {
    if (!isInFullScreen()) {
        m_enteringFullScreen = true;
        handleWillEnterFullScreen();
        setStyleMask(m_styleMask | FullScreen);
        setWindowState(windowState() | Qt::WindowFullScreen);
        m_enteringFullScreen = false;
        m_delegateProxy->forwardWindowMessage("windowDidEnterFullScreen");
        Q_EMIT windowDidEnterFullScreen();
    } else {
        m_exitingFullScreen = true;
        handleWillExitFullScreen();
        setStyleMask(m_styleMask & ~FullScreen);
        setWindowState(windowState() & ~Qt::WindowFullScreen);
        m_exitingFullScreen = false;
        handleDidExitFullScreen();
    }
}

void PXAppStoreWindow::handleWillEnterFullScreen() {
    if (m_hideTitleBarInFullScreen) {
        m_titleBarHeight = 0; // the height to come back to stays cached
        layoutTrafficLightsAndContent();
        displayWindowAndTitlebar();
        hideTitleBarView(true);
    }
    m_delegateProxy->forwardWindowMessage("windowWillEnterFullScreen");
    Q_EMIT windowWillEnterFullScreen();
}

void PXAppStoreWindow::handleWillExitFullScreen() {
    if (m_hideTitleBarInFullScreen) {
        m_titleBarHeight = m_cachedTitleBarHeight;
        layoutTrafficLightsAndContent();
        displayWindowAndTitlebar();
        hideTitleBarView(false);
    }
    m_delegateProxy->forwardWindowMessage("windowWillExitFullScreen");
    Q_EMIT windowWillExitFullScreen();
}

void PXAppStoreWindow::handleDidExitFullScreen() {
    layoutTrafficLightsAndContent();
    setupTrafficLightsTrackingArea();
    m_delegateProxy->forwardWindowMessage("windowDidExitFullScreen");
    Q_EMIT windowDidExitFullScreen();
}

void PXAppStoreWindow::changeEvent(QEvent* event) {
    switch (event->type()) {
    case QEvent::ActivationChange:
        updateTitlebarView();
        layoutTrafficLightsAndContent();
        if (isActiveWindow()) {
            setupTrafficLightsTrackingArea();
            m_delegateProxy->forwardWindowMessage("windowDidBecomeKey");
        } else {
            m_delegateProxy->forwardWindowMessage("windowDidResignKey");
        }
        break;
    case QEvent::WindowTitleChange:
        layoutTrafficLightsAndContent();
        displayWindowAndTitlebar();
        break;
    case QEvent::WindowStateChange: {
        const auto* e = static_cast<QWindowStateChangeEvent*>(event);
        const bool wasMinimized = e->oldState() & Qt::WindowMinimized;
        if (isMinimized() && !wasMinimized) {
            m_delegateProxy->forwardWindowMessage("windowDidMiniaturize");
            Q_EMIT windowDidMiniaturize();
        }
        // The window system may change full screen on its own; keep the
        // bar in step with it.
        const bool nowFull = windowState() & Qt::WindowFullScreen;
        if (!m_enteringFullScreen && !m_exitingFullScreen && nowFull != isInFullScreen()) {
            if (nowFull) {
                handleWillEnterFullScreen();
                setStyleMask(m_styleMask | FullScreen);
                Q_EMIT windowDidEnterFullScreen();
            } else {
                handleWillExitFullScreen();
                setStyleMask(m_styleMask & ~FullScreen);
                handleDidExitFullScreen();
            }
        }
        break;
    }
    default:
        break;
    }
    QWidget::changeEvent(event);
}

// --- frame --------------------------------------------------------------------------------

QRectF PXAppStoreWindow::frame() const {
    return PXGeometry::fromScreen(geometry(), PXGeometry::referenceScreenGeometry());
}

void PXAppStoreWindow::setFrame(const QRectF& specFrame, bool display, bool animate) {
    if (m_preventWindowFrameChange)
        return;
    const QRect target = PXGeometry::toScreen(specFrame, PXGeometry::referenceScreenGeometry());
    if (m_frameAnimation)
        m_frameAnimation->stop();
    if (animate && s_animationsEnabled && isVisible()) {
        auto* anim = new QPropertyAnimation(this, "geometry", this);
        anim->setDuration(frameAnimationMs);
        anim->setStartValue(geometry());
        anim->setEndValue(target);
        anim->setEasingCurve(QEasingCurve::InOutQuad);
        m_frameAnimation = anim;
        anim->start(QAbstractAnimation::DeleteWhenStopped);
        return;
    }
    setGeometry(target);
    // A hidden window hears of its new size only when shown; its bar must be
    // right before that.
    if (!isVisible())
        layoutTrafficLightsAndContent();
    if (display)
        update();
}

void PXAppStoreWindow::setFrameOrigin(const QPointF& origin) {
    QRectF f = frame();
    f.moveTopLeft(origin); // bottom-up: the origin is the bottom-left corner
    setFrame(f);
}

void PXAppStoreWindow::setFrameAutosaveName(const QString& name) {
    m_frameAutosaveName = name;
    if (!name.isEmpty() && isVisible())
        saveFrameUsingName(name);
}

void PXAppStoreWindow::saveFrameUsingName(const QString& name) const {
    if (name.isEmpty())
        return;
    const QRect reference = PXGeometry::referenceScreenGeometry();
    const QScreen* s = screen();
    const QRect screenGeometry = s ? s->geometry() : reference;
    const QString text =
        pxFrameAutosaveText(frame(), PXGeometry::fromScreen(screenGeometry, reference));
    pxOpenUserDefaults()->setValue(pxFrameAutosaveKey(name), text);
}

void PXAppStoreWindow::frameDidChange() {
    // Full screen, minimised and maximised frames are not the window's own
    // size: the next normal start must not inherit them.
    if (!m_frameAutosaveName.isEmpty() && !isInFullScreen() &&
        !(windowState() & (Qt::WindowMinimized | Qt::WindowMaximized | Qt::WindowFullScreen)))
        saveFrameUsingName(m_frameAutosaveName);
    m_sheets->reposition();
}

void PXAppStoreWindow::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    layoutTrafficLightsAndContent();
    m_delegateProxy->forwardWindowMessage("windowDidResize");
    frameDidChange();
}

void PXAppStoreWindow::moveEvent(QMoveEvent* event) {
    QWidget::moveEvent(event);
    layoutTrafficLightsAndContent();
    m_delegateProxy->forwardWindowMessage("windowDidMove");
    frameDidChange();
}

void PXAppStoreWindow::closeEvent(QCloseEvent* event) {
    bool shouldClose = true;
    PXAppStoreWindow* self = this;
    m_delegateProxy->forward("windowShouldClose", Q_RETURN_ARG(bool, shouldClose),
                             Q_ARG(PXAppStoreWindow*, self));
    if (!shouldClose) {
        event->ignore();
        return;
    }
    m_delegateProxy->forwardWindowMessage("windowWillClose");
    QWidget::closeEvent(event);
}

// --- pointer: hover regions of the buttons and resizing from the edges -----------------------

bool PXAppStoreWindow::event(QEvent* event) {
    switch (event->type()) {
    case QEvent::WinIdChange:
    case QEvent::Show:
    case QEvent::PlatformSurface:
        watchWindowHandle();
        break;
    default:
        break;
    }
    return QWidget::event(event);
}

void PXAppStoreWindow::watchWindowHandle() {
    QWindow* handle = windowHandle();
    if (handle == m_watchedWindow)
        return;
    if (m_watchedWindow)
        m_watchedWindow->removeEventFilter(this);
    m_watchedWindow = handle;
    if (handle)
        handle->installEventFilter(this);
}

Qt::Edges PXAppStoreWindow::edgesAt(const QPointF& pos) const {
    if (!(m_styleMask & Resizable) || isInFullScreen() || isMaximized())
        return {};
    return PXResizeEdges::at(pos, size(), resizeEdgeMargin);
}

void PXAppStoreWindow::updateHover(const QPointF& pos) {
    const QList<PXWindowButton*> buttons =
        findChildren<PXWindowButton*>(Qt::FindDirectChildrenOnly);
    // Leaving first, so a group never counts a pointer twice on its way
    // from one button to the next.
    for (PXWindowButton* b : buttons) {
        const bool inside =
            b->isVisible() && b->hoverRegion().translated(b->pos()).contains(pos.toPoint());
        if (!inside)
            b->mouseExited();
    }
    for (PXWindowButton* b : buttons) {
        const bool inside =
            b->isVisible() && b->hoverRegion().translated(b->pos()).contains(pos.toPoint());
        if (inside)
            b->mouseEntered();
    }
}

void PXAppStoreWindow::exitAllHover() {
    for (PXWindowButton* b : findChildren<PXWindowButton*>(Qt::FindDirectChildrenOnly))
        b->mouseExited();
}

bool PXAppStoreWindow::eventFilter(QObject* watched, QEvent* event) {
    if (watched != m_watchedWindow)
        return QWidget::eventFilter(watched, event);

    switch (event->type()) {
    case QEvent::MouseMove: {
        const auto* e = static_cast<QMouseEvent*>(event);
        const QPointF pos = e->position();
        m_lastPointer = pos;
        if (m_manualResize) {
            const QPointF d = e->globalPosition() - m_manualResize->start;
            const QRect g = PXResizeEdges::resized(m_manualResize->geometry, m_manualResize->edges,
                                                   d, minimumSize());
            setGeometry(g);
            return true;
        }
        updateHover(pos);
        if (e->buttons() == Qt::NoButton) {
            const Qt::Edges edges = edgesAt(pos);
            if (!edges)
                unsetCursor();
            else
                setCursor(PXResizeEdges::cursorFor(edges));
        }
        break;
    }
    case QEvent::MouseButtonPress: {
        const auto* e = static_cast<QMouseEvent*>(event);
        if (e->button() != Qt::LeftButton)
            break;
        const Qt::Edges edges = edgesAt(e->position());
        if (!edges)
            break;
        if (!m_watchedWindow->startSystemResize(edges))
            m_manualResize = ManualResize{edges, e->globalPosition(), geometry()};
        return true;
    }
    case QEvent::MouseButtonRelease:
        if (m_manualResize) {
            m_manualResize.reset();
            return true;
        }
        break;
    case QEvent::Leave:
        m_lastPointer.reset();
        exitAllHover();
        unsetCursor();
        break;
    default:
        break;
    }
    return QWidget::eventFilter(watched, event);
}

// --- sheets ----------------------------------------------------------------------------------

QRectF PXAppStoreWindow::sheetFrame(QWidget* sheet) {
    const QRectF proposed = pxProposedSheetRect(size(), standardTitleBarHeight);
    const QRectF rect = m_delegateProxy->windowWillPositionSheet(this, sheet, proposed);
    return pxSheetFrame(rect, sheet ? QSizeF(sheet->size()) : QSizeF());
}

void PXAppStoreWindow::beginSheet(QWidget* sheet) {
    m_sheets->begin(sheet);
}

void PXAppStoreWindow::endSheet(QWidget* sheet) {
    m_sheets->end(sheet);
}

QWidget* PXAppStoreWindow::attachedSheet() const {
    return m_sheets->attached();
}
