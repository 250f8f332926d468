#pragma once

#include "chrome/PXTitlebarView.h"

#include <QColor>
#include <QFont>
#include <QList>
#include <QPointer>
#include <QRectF>
#include <QWidget>

#include <array>
#include <functional>
#include <optional>

class QAbstractButton;

class PXAppStoreWindowDelegateProxy;
class PXTitlebarContainer;
class PXWindowButton;
class SheetPresenter;
class QVariantAnimation;
class QWindow;

// The console's main window: a frameless top-level window that draws its own,
// taller title bar with its own window buttons (close, minimise, zoom, full
// screen), keeps its content view below the bar, hangs sheets from the bar's
// bottom edge, moves when the bar is dragged and resizes from its edges.
//
// Margins, heights and frames given to its properties are in points in the
// window's bottom-up coordinates (origin at the bottom-left, y upward), as
// saved frames are; `frame()` and `setFrame()` use the same convention on the
// screen (see chrome/Geometry.h).
class PXAppStoreWindow : public QWidget {
    Q_OBJECT
public:
    enum StyleMaskBit : unsigned {
        Titled = 0x1,
        Closable = 0x2,
        Miniaturizable = 0x4,
        Resizable = 0x8,
        TexturedBackground = 0x100,
        FullScreen = 0x4000,
    };
    enum class StandardButton {
        Close = 0,
        Minimize = 1,
        Zoom = 2,
        DocumentIcon = 4,
        DocumentVersions = 6,
        FullScreen = 7
    };
    Q_ENUM(StandardButton)

    // Metrics of the window's own bar and buttons, the ones a bar of
    // standard height would have.
    static constexpr double standardTitleBarHeight = 22;
    static constexpr int standardButtonWidth = 14;
    static constexpr int standardButtonHeight = 16;
    static constexpr double standardButtonLeftMargin = 7;
    static constexpr double standardButtonSeparation = 6;
    static constexpr double standardFullScreenButtonRightMargin = 4;
    // How close to an edge a press resizes the window instead.
    static constexpr int resizeEdgeMargin = 4;

    // The defaults every window starts from.
    static double minimumTitlebarHeight() { return standardTitleBarHeight; }
    static double defaultTrafficLightLeftMargin() { return standardButtonLeftMargin; }
    static double defaultTrafficLightSeparation() { return standardButtonSeparation; }

    // Sheets slide out and animated frame changes animate only while this is
    // on (the default); tests turn it off.
    static void setAnimationsEnabled(bool enabled);
    static bool animationsEnabled();

    using DrawingBlock = std::function<void(QPainter* painter, bool drawsAsMainWindow,
                                            const QPainterPath& clippingPath, const QRectF& rect)>;

    explicit PXAppStoreWindow(QWidget* parent = nullptr);
    ~PXAppStoreWindow() override;

    // --- the bar and its buttons -------------------------------------------
    double titleBarHeight() const { return m_titleBarHeight; }
    void setTitleBarHeight(double height);
    PXTitlebarView* titleBarView() const { return m_titleBarView; }
    // Null, or the view already installed, changes nothing: the bar is never empty.
    void setTitleBarView(PXTitlebarView* view);
    PXTitlebarContainer* titleBarContainer() const { return m_titleBarContainer; }

    bool centerFullScreenButton() const { return m_centerFullScreenButton; }
    void setCenterFullScreenButton(bool on);
    bool centerTrafficLightButtons() const { return m_centerTrafficLightButtons; }
    void setCenterTrafficLightButtons(bool on);
    bool verticalTrafficLightButtons() const { return m_verticalTrafficLightButtons; }
    void setVerticalTrafficLightButtons(bool on);
    bool verticallyCenterTitle() const { return m_verticallyCenterTitle; }
    void setVerticallyCenterTitle(bool on);
    bool hideTitleBarInFullScreen() const { return m_hideTitleBarInFullScreen; }
    void setHideTitleBarInFullScreen(bool on) { m_hideTitleBarInFullScreen = on; }
    bool showsBaselineSeparator() const { return m_showsBaselineSeparator; }
    void setShowsBaselineSeparator(bool on);
    double trafficLightButtonsLeftMargin() const { return m_trafficLightButtonsLeftMargin; }
    void setTrafficLightButtonsLeftMargin(double margin);
    double trafficLightButtonsTopMargin() const { return m_trafficLightButtonsTopMargin; }
    void setTrafficLightButtonsTopMargin(double margin) { m_trafficLightButtonsTopMargin = margin; }
    double fullScreenButtonRightMargin() const { return m_fullScreenButtonRightMargin; }
    void setFullScreenButtonRightMargin(double margin);
    double fullScreenButtonTopMargin() const { return m_fullScreenButtonTopMargin; }
    void setFullScreenButtonTopMargin(double margin) { m_fullScreenButtonTopMargin = margin; }
    double trafficLightSeparation() const { return m_trafficLightSeparation; }
    void setTrafficLightSeparation(double separation);
    double mouseDragDetectionThreshold() const;
    void setMouseDragDetectionThreshold(double threshold);
    bool showsTitle() const { return m_showsTitle; }
    void setShowsTitle(bool on);
    bool showsTitleInFullscreen() const { return m_showsTitleInFullscreen; }
    void setShowsTitleInFullscreen(bool on) { m_showsTitleInFullscreen = on; }
    bool showsDocumentProxyIcon() const { return m_showsDocumentProxyIcon; }
    void setShowsDocumentProxyIcon(bool on);

    // Custom buttons replace the window's own at the next layout; null removes one.
    PXWindowButton* closeButton() const { return custom(StandardButton::Close); }
    void setCloseButton(PXWindowButton* button);
    PXWindowButton* minimizeButton() const { return custom(StandardButton::Minimize); }
    void setMinimizeButton(PXWindowButton* button);
    PXWindowButton* zoomButton() const { return custom(StandardButton::Zoom); }
    void setZoomButton(PXWindowButton* button);
    PXWindowButton* fullScreenButton() const { return custom(StandardButton::FullScreen); }
    void setFullScreenButton(PXWindowButton* button);
    // The window's own button of that kind; null for kinds it has none of.
    PXWindowButton* standardWindowButton(StandardButton kind) const;

    // --- looks (unset values fall back to the bar's defaults) ----------------
    std::optional<QFont> titleFont() const { return m_titleFont; }
    void setTitleFont(const std::optional<QFont>& font) { m_titleFont = font; }
    QColor titleBarStartColor() const { return m_titleBarStartColor; }
    void setTitleBarStartColor(const QColor& c) { m_titleBarStartColor = c; }
    QColor titleBarEndColor() const { return m_titleBarEndColor; }
    void setTitleBarEndColor(const QColor& c) { m_titleBarEndColor = c; }
    QColor baselineSeparatorColor() const { return m_baselineSeparatorColor; }
    void setBaselineSeparatorColor(const QColor& c) { m_baselineSeparatorColor = c; }
    QColor titleTextColor() const { return m_titleTextColor; }
    void setTitleTextColor(const QColor& c) { m_titleTextColor = c; }
    std::optional<PXTextShadow> titleTextShadow() const { return m_titleTextShadow; }
    void setTitleTextShadow(const std::optional<PXTextShadow>& s) { m_titleTextShadow = s; }
    QColor inactiveTitleBarStartColor() const { return m_inactiveTitleBarStartColor; }
    void setInactiveTitleBarStartColor(const QColor& c) { m_inactiveTitleBarStartColor = c; }
    QColor inactiveTitleBarEndColor() const { return m_inactiveTitleBarEndColor; }
    void setInactiveTitleBarEndColor(const QColor& c) { m_inactiveTitleBarEndColor = c; }
    QColor inactiveBaselineSeparatorColor() const { return m_inactiveBaselineSeparatorColor; }
    void setInactiveBaselineSeparatorColor(const QColor& c) {
        m_inactiveBaselineSeparatorColor = c;
    }
    QColor inactiveTitleTextColor() const { return m_inactiveTitleTextColor; }
    void setInactiveTitleTextColor(const QColor& c) { m_inactiveTitleTextColor = c; }
    std::optional<PXTextShadow> inactiveTitleTextShadow() const {
        return m_inactiveTitleTextShadow;
    }
    void setInactiveTitleTextShadow(const std::optional<PXTextShadow>& s) {
        m_inactiveTitleTextShadow = s;
    }
    const DrawingBlock& titleBarDrawingBlock() const { return m_titleBarDrawingBlock; }
    void setTitleBarDrawingBlock(DrawingBlock block) { m_titleBarDrawingBlock = std::move(block); }

    // --- content ------------------------------------------------------------
    // The view that spans the whole window, bar included.
    QWidget* themeFrameView() { return this; }
    QWidget* contentView() const { return m_contentView; }
    // A plain QWidget is held to the area below the bar. The window takes the
    // view; the one it replaces is deleted if the window made it, else
    // handed back to the caller without a parent.
    void setContentView(QWidget* view);
    // The area below the bar, bottom-up.
    QRectF contentViewFrame() const;

    // --- delegate -----------------------------------------------------------
    QObject* delegate() const;
    void setDelegate(QObject* delegate);
    PXAppStoreWindowDelegateProxy* delegateProxy() const { return m_delegateProxy; }

    // --- window state ---------------------------------------------------------
    unsigned styleMask() const { return m_styleMask; }
    void setStyleMask(unsigned mask);
    bool isInFullScreen() const { return (m_styleMask & FullScreen) != 0; }
    bool isMovableByWindowBackground() const { return m_movableByWindowBackground; }
    void setMovableByWindowBackground(bool on) { m_movableByWindowBackground = on; }
    // The window, or the sheet attached to it, has the keyboard: a sheet is
    // part of its window, which keeps looking like the one in use.
    bool isKeyWindow() const;
    // Key window of an active application.
    bool isActiveAppearance() const;

    void performClose();
    void performMiniaturize();
    void performZoom();
    void toggleFullScreen();

    // --- frame ---------------------------------------------------------------
    // The window's frame in bottom-up screen coordinates.
    QRectF frame() const;
    // Ignored while the style is being changed.
    void setFrame(const QRectF& frame, bool display = true, bool animate = false);
    void setFrameOrigin(const QPointF& origin);
    // Once named, the window keeps "NSWindow Frame <name>" in the user defaults
    // up to date whenever it moves or is resized.
    QString frameAutosaveName() const { return m_frameAutosaveName; }
    void setFrameAutosaveName(const QString& name);
    void saveFrameUsingName(const QString& name) const;

    // --- sheets ---------------------------------------------------------------
    // Shows `sheet` hanging from the bottom of the bar and centred (a client
    // delegate may place it); see chrome/SheetPresenter.h.
    void beginSheet(QWidget* sheet);
    void endSheet(QWidget* sheet);
    QWidget* attachedSheet() const;
    // Where the attached sheet goes, bottom-up in the window.
    QRectF sheetFrame(QWidget* sheet);

Q_SIGNALS:
    void windowWillEnterFullScreen();
    void windowDidEnterFullScreen();
    void windowWillExitFullScreen();
    void windowDidExitFullScreen();
    void windowDidMiniaturize();
    void windowDidEndSheet(QWidget* sheet);
    void styleMaskChanged(unsigned mask);
    // After every layout of the buttons and content.
    void didLayoutTitlebar();

protected:
    bool event(QEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    void changeEvent(QEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void moveEvent(QMoveEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    PXWindowButton* custom(StandardButton kind) const;
    void setCustomButton(StandardButton kind, PXWindowButton* button);
    static int slot(StandardButton kind);
    void createStandardButtons();
    void connectStandardAction(QAbstractButton* button, StandardButton kind);
    void createTitlebarView();
    PXWindowButton* windowButtonToLayout(StandardButton kind);
    void layoutTrafficLightsAndContent();
    void repositionContentView();
    void displayWindowAndTitlebar();
    void updateTitlebarView();
    void setupTrafficLightsTrackingArea();
    void hideTitleBarView(bool hide);
    void handleWillEnterFullScreen();
    void handleWillExitFullScreen();
    void handleDidExitFullScreen();
    void frameDidChange();

    void watchWindowHandle();
    void updateHover(const QPointF& pos);
    void exitAllHover();
    Qt::Edges edgesAt(const QPointF& pos) const;

    double m_titleBarHeight = standardTitleBarHeight;
    double m_cachedTitleBarHeight = standardTitleBarHeight;
    bool m_centerFullScreenButton = false;
    bool m_centerTrafficLightButtons = true;
    bool m_verticalTrafficLightButtons = false;
    bool m_verticallyCenterTitle = false;
    bool m_hideTitleBarInFullScreen = false;
    bool m_showsBaselineSeparator = true;
    double m_trafficLightButtonsLeftMargin = standardButtonLeftMargin;
    double m_trafficLightButtonsTopMargin = 3;
    double m_fullScreenButtonRightMargin = 0;
    double m_fullScreenButtonTopMargin = 3;
    double m_trafficLightSeparation = standardButtonSeparation;
    bool m_showsTitle = false;
    bool m_showsTitleInFullscreen = false;
    bool m_showsDocumentProxyIcon = false;
    std::optional<QFont> m_titleFont;
    QColor m_titleBarStartColor, m_titleBarEndColor, m_baselineSeparatorColor, m_titleTextColor;
    std::optional<PXTextShadow> m_titleTextShadow;
    QColor m_inactiveTitleBarStartColor, m_inactiveTitleBarEndColor,
        m_inactiveBaselineSeparatorColor, m_inactiveTitleTextColor;
    std::optional<PXTextShadow> m_inactiveTitleTextShadow;
    DrawingBlock m_titleBarDrawingBlock;

    bool m_setFullScreenButtonRightMargin = false;
    bool m_preventWindowFrameChange = false;
    bool m_enteringFullScreen = false;
    bool m_exitingFullScreen = false;
    unsigned m_styleMask = Titled | Closable | Miniaturizable | Resizable;
    bool m_movableByWindowBackground = false;

    PXAppStoreWindowDelegateProxy* m_delegateProxy = nullptr;
    PXTitlebarContainer* m_titleBarContainer = nullptr;
    PXTitlebarView* m_titleBarView = nullptr;
    QPointer<QWidget> m_contentView;
    bool m_ownsContentView = true;
    std::array<PXWindowButton*, 8> m_standard{};
    std::array<QPointer<PXWindowButton>, 8> m_custom{};

    QString m_frameAutosaveName;

    QPointer<QWindow> m_watchedWindow;
    std::optional<QPointF> m_lastPointer;
    struct ManualResize {
        Qt::Edges edges;
        QPointF start;
        QRect geometry;
    };
    std::optional<ManualResize> m_manualResize;

    SheetPresenter* m_sheets = nullptr;
    QPointer<QVariantAnimation> m_frameAnimation;
};
