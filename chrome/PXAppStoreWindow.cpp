#include "chrome/PXAppStoreWindow.h"

#include "chrome/Geometry.h"
#include "chrome/PXAppStoreWindowContentView.h"
#include "chrome/PXAppStoreWindowDelegateProxy.h"
#include "chrome/PXTitlebarContainer.h"
#include "chrome/PXWindowButton.h"
#include "chrome/PXWindowButtonGroup.h"
#include "chrome/TitlebarLayout.h"
#include "chrome/UserDefaults.h"

#include <QAbstractButton>
#include <QAbstractSlider>
#include <QAbstractSpinBox>
#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPainter>
#include <QPropertyAnimation>
#include <QPushButton>
#include <QScreen>
#include <QVariantAnimation>
#include <QWindow>

#include <cmath>

namespace {

bool s_animationsEnabled = true;
constexpr int sheetAnimationMs = 180;
constexpr int frameAnimationMs = 200;

const QString standardGroupIdentifier = QStringLiteral("com.trevokapp.standardWindowButtons");

// --- the window's own buttons, drawn rather than loaded -----------------------

struct ButtonLook {
    QColor fill;
    QColor rim;
    QColor glyph;
};

enum class Glyph { None, Close, Minimize, Zoom, FullScreen };

QPixmap drawCircleButton(const QSize& size, const ButtonLook& look, Glyph glyph) {
    const qreal dpr = 2;
    QPixmap pm(size * dpr);
    pm.setDevicePixelRatio(dpr);
    pm.fill(Qt::transparent);
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
    const qreal dpr = 2;
    QPixmap pm(size * dpr);
    pm.setDevicePixelRatio(dpr);
    pm.fill(Qt::transparent);
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

void giveStandardLooks(PXWindowButton* b, PXAppStoreWindow::StandardButton kind) {
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

void nameForAccessibility(PXWindowButton* b, PXAppStoreWindow::StandardButton kind) {
    const ButtonNames n = namesOf(kind);
    b->setAccessibleName(PXAppStoreWindow::tr(n.name));
    b->setAccessibleDescription(QString::fromLatin1(n.outlet));
    b->setToolTip(PXAppStoreWindow::tr(n.name));
}

bool isControl(const QObject* o) {
    return qobject_cast<const QAbstractButton*>(o) || qobject_cast<const QLineEdit*>(o) ||
           qobject_cast<const QComboBox*>(o) || qobject_cast<const QAbstractSlider*>(o) ||
           qobject_cast<const QAbstractSpinBox*>(o);
}

QString plainText(QString text) {
    return text.remove(u'&');
}

} // namespace

void PXAppStoreWindow::setAnimationsEnabled(bool enabled) {
    s_animationsEnabled = enabled;
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
    if (m_sheetAnimation)
        m_sheetAnimation->stop();
    if (m_watchedWindow)
        m_watchedWindow->removeEventFilter(this);
    // Pointer captures of buttons that go away with the window end here.
    for (PXWindowButton* b : findChildren<PXWindowButton*>(Qt::FindDirectChildrenOnly))
        b->mouseExited();
}

int PXAppStoreWindow::slot(StandardButton kind) {
    return static_cast<int>(kind);
}

void PXAppStoreWindow::createStandardButtons() {
    const QSize size(standardButtonWidth, standardButtonHeight);
    const StandardButton kinds[] = {StandardButton::Close, StandardButton::Minimize,
                                    StandardButton::Zoom, StandardButton::FullScreen};
    for (StandardButton kind : kinds) {
        auto* b = PXWindowButton::windowButtonWithSize(size, standardGroupIdentifier, this);
        b->setObjectName(QString::fromLatin1(namesOf(kind).outlet));
        nameForAccessibility(b, kind);
        giveStandardLooks(b, kind);
        b->updateImage();
        m_standard[static_cast<size_t>(slot(kind))] = b;
        switch (kind) {
        case StandardButton::Close:
            connect(b, &QAbstractButton::clicked, this, &PXAppStoreWindow::performClose);
            break;
        case StandardButton::Minimize:
            connect(b, &QAbstractButton::clicked, this, &PXAppStoreWindow::performMiniaturize);
            break;
        case StandardButton::Zoom:
            connect(b, &QAbstractButton::clicked, this, &PXAppStoreWindow::performZoom);
            break;
        default:
            connect(b, &QAbstractButton::clicked, this, &PXAppStoreWindow::toggleFullScreen);
            break;
        }
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
    const PXWindowButton* standard = standardWindowButton(kind);
    button->setParent(this);
    button->move(standard ? standard->pos() : QPoint());
    nameForAccessibility(button, kind);
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
    return isActiveWindow() || (m_sheet && m_sheet->isActiveWindow());
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
    if (m_sheet)
        positionSheet(false);
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
    Qt::Edges edges;
    if (!(m_styleMask & Resizable) || isInFullScreen() || isMaximized())
        return edges;
    const int m = resizeEdgeMargin;
    if (pos.x() < m)
        edges |= Qt::LeftEdge;
    if (pos.x() >= width() - m)
        edges |= Qt::RightEdge;
    if (pos.y() < m)
        edges |= Qt::TopEdge;
    if (pos.y() >= height() - m)
        edges |= Qt::BottomEdge;
    return edges;
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
    if (m_sheet && watched == m_sheet) {
        switch (event->type()) {
        case QEvent::KeyPress:
            sheetKeyPress(m_sheet, static_cast<QKeyEvent*>(event));
            return event->isAccepted();
        case QEvent::WindowActivate:
        case QEvent::WindowDeactivate:
            updateTitlebarView();
            for (PXWindowButton* b : findChildren<PXWindowButton*>(Qt::FindDirectChildrenOnly))
                b->windowDidChangeFocus();
            break;
        case QEvent::Hide:
            // Closed by its own means: the window lets go of it too.
            if (!event->spontaneous())
                finishSheet(m_sheet);
            break;
        default:
            break;
        }
        return false;
    }
    if (watched != m_watchedWindow)
        return QWidget::eventFilter(watched, event);

    switch (event->type()) {
    case QEvent::MouseMove: {
        const auto* e = static_cast<QMouseEvent*>(event);
        const QPointF pos = e->position();
        m_lastPointer = pos;
        if (m_manualResize) {
            const QPointF d = e->globalPosition() - m_manualResize->start;
            QRect g = m_manualResize->geometry;
            const Qt::Edges edges = m_manualResize->edges;
            if (edges & Qt::LeftEdge)
                g.setLeft(std::min(g.left() + int(d.x()), g.right() - minimumWidth()));
            if (edges & Qt::RightEdge)
                g.setRight(g.right() + int(d.x()));
            if (edges & Qt::TopEdge)
                g.setTop(std::min(g.top() + int(d.y()), g.bottom() - minimumHeight()));
            if (edges & Qt::BottomEdge)
                g.setBottom(g.bottom() + int(d.y()));
            setGeometry(g);
            return true;
        }
        updateHover(pos);
        if (e->buttons() == Qt::NoButton) {
            const Qt::Edges edges = edgesAt(pos);
            if (!edges)
                unsetCursor();
            else if (edges == Qt::LeftEdge || edges == Qt::RightEdge)
                setCursor(Qt::SizeHorCursor);
            else if (edges == Qt::TopEdge || edges == Qt::BottomEdge)
                setCursor(Qt::SizeVerCursor);
            else if (edges == (Qt::TopEdge | Qt::LeftEdge) ||
                     edges == (Qt::BottomEdge | Qt::RightEdge))
                setCursor(Qt::SizeFDiagCursor);
            else
                setCursor(Qt::SizeBDiagCursor);
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
    if (!sheet)
        return;
    if (m_sheet) {
        if (sheet != m_sheet && !m_pendingSheets.contains(sheet))
            m_pendingSheets.append(sheet);
        return;
    }
    m_sheet = sheet;
    const bool wasResized = sheet->testAttribute(Qt::WA_Resized);
    sheet->setParent(this, Qt::Dialog | Qt::FramelessWindowHint);
    sheet->setWindowModality(Qt::WindowModal);
    if (!wasResized)
        sheet->adjustSize();
    sheet->installEventFilter(this);
    if (auto* dialog = qobject_cast<QDialog*>(sheet)) {
        m_sheetFinished =
            connect(dialog, &QDialog::finished, this, [this, dialog] { endSheet(dialog); });
    }
    connect(sheet, &QObject::destroyed, this, [this] {
        // A sheet deleted while attached: the next one may come out.
        if (!m_sheet)
            finishSheet(nullptr);
    });
    positionSheet(s_animationsEnabled);
    sheet->show();
    sheet->raise();
    sheet->activateWindow();
    if (!sheet->focusWidget()) {
        // The first control that takes Tab focus gets the keyboard.
        QWidget* w = sheet->nextInFocusChain();
        while (w && w != sheet &&
               !(w->isEnabled() && w->isVisibleTo(sheet) && (w->focusPolicy() & Qt::TabFocus)))
            w = w->nextInFocusChain();
        if (w && w != sheet)
            w->setFocus(Qt::TabFocusReason);
    }
}

void PXAppStoreWindow::positionSheet(bool animate) {
    QWidget* sheet = m_sheet;
    if (!sheet)
        return;
    const QRect local = PXGeometry::toLocalPixels(sheetFrame(sheet), height());
    const QPoint target = mapToGlobal(local.topLeft());
    if (m_sheetAnimation) {
        m_sheetAnimation->stop();
        delete m_sheetAnimation;
        sheet->clearMask();
    }
    if (!animate) {
        sheet->move(target);
        return;
    }
    // The sheet slides down out of the bar's bottom edge: it starts above its
    // place, masked to the part that has come out so far.
    const int h = sheet->height();
    const int w = sheet->width();
    auto* anim = new QVariantAnimation(this);
    anim->setDuration(sheetAnimationMs);
    anim->setStartValue(0.0);
    anim->setEndValue(1.0);
    anim->setEasingCurve(QEasingCurve::OutCubic);
    const auto step = [sheet = QPointer<QWidget>(sheet), target, w, h](const QVariant& v) {
        if (!sheet)
            return;
        const int hidden = static_cast<int>(std::lround(h * (1.0 - v.toDouble())));
        sheet->move(target.x(), target.y() - hidden);
        sheet->setMask(QRegion(0, hidden, w, std::max(1, h - hidden)));
    };
    connect(anim, &QVariantAnimation::valueChanged, sheet, step);
    connect(anim, &QVariantAnimation::finished, sheet, [sheet, target] {
        sheet->clearMask();
        sheet->move(target);
    });
    m_sheetAnimation = anim;
    step(0.0);
    anim->start(QAbstractAnimation::DeleteWhenStopped);
}

void PXAppStoreWindow::sheetKeyPress(QWidget* sheet, QKeyEvent* event) {
    event->ignore();
    // A QDialog answers Return and Escape itself.
    if (qobject_cast<QDialog*>(sheet))
        return;
    const QList<QPushButton*> buttons = sheet->findChildren<QPushButton*>();
    const auto usable = [](const QPushButton* b) { return b->isVisible() && b->isEnabled(); };
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        QPushButton* chosen = nullptr;
        for (QPushButton* b : buttons) {
            if (usable(b) && b->isDefault())
                chosen = b;
        }
        if (!chosen) {
            if (auto* focused = qobject_cast<QPushButton*>(sheet->focusWidget());
                focused && usable(focused) && focused->autoDefault())
                chosen = focused;
        }
        if (chosen) {
            chosen->click();
            event->accept();
        }
    } else if (event->key() == Qt::Key_Escape) {
        QAbstractButton* cancel = nullptr;
        for (QDialogButtonBox* box : sheet->findChildren<QDialogButtonBox*>()) {
            for (QAbstractButton* b : box->buttons()) {
                if (box->buttonRole(b) == QDialogButtonBox::RejectRole && b->isEnabled())
                    cancel = b;
            }
        }
        if (!cancel) {
            for (QPushButton* b : buttons) {
                if (usable(b) && plainText(b->text()) == tr("Cancel"))
                    cancel = b;
            }
        }
        if (cancel) {
            cancel->click();
            event->accept();
        }
    }
}

void PXAppStoreWindow::endSheet(QWidget* sheet) {
    if (!sheet)
        return;
    if (sheet != m_sheet) {
        m_pendingSheets.removeAll(sheet);
        return;
    }
    finishSheet(sheet);
}

void PXAppStoreWindow::finishSheet(QWidget* sheet) {
    if (sheet) {
        if (sheet != m_sheet)
            return;
        m_sheet = nullptr;
        if (m_sheetAnimation) {
            m_sheetAnimation->stop();
            delete m_sheetAnimation;
        }
        QObject::disconnect(m_sheetFinished);
        sheet->removeEventFilter(this);
        sheet->disconnect(this);
        sheet->clearMask();
        sheet->hide();
        sheet->setWindowModality(Qt::NonModal);
        layoutTrafficLightsAndContent();
        Q_EMIT windowDidEndSheet(sheet);
        if (isVisible())
            activateWindow();
    }
    while (!m_sheet && !m_pendingSheets.isEmpty()) {
        QPointer<QWidget> next = m_pendingSheets.takeFirst();
        if (next)
            beginSheet(next);
    }
}
