#include "chrome/PXTitlebarView.h"

#include "chrome/PXAppStoreWindow.h"
#include "chrome/PXTitlebarContainer.h"
#include "chrome/TitlebarLayout.h"
#include "chrome/UserDefaults.h"

#include <QApplication>
#include <QFontMetricsF>
#include <QLinearGradient>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QRandomGenerator>

PXTitlebarView::PXTitlebarView(QWidget* parent)
    : QWidget(parent) {
    setAccessibleName(tr("Title bar"));
    setAccessibleDescription(QStringLiteral("titleBarView"));
}

PXAppStoreWindow* PXTitlebarView::appStoreWindow() const {
    return qobject_cast<PXAppStoreWindow*>(window());
}

QPainterPath PXTitlebarView::roundedTopPath(const QRectF& r) {
    const double radius = PXTitlebarDefaults::cornerRadius;
    QPainterPath path;
    path.moveTo(r.left(), r.bottom());
    path.lineTo(r.left(), r.top() + radius);
    path.arcTo(QRectF(r.left(), r.top(), 2 * radius, 2 * radius), 180, -90);
    path.lineTo(r.right() - radius, r.top());
    path.arcTo(QRectF(r.right() - 2 * radius, r.top(), 2 * radius, 2 * radius), 90, -90);
    path.lineTo(r.right(), r.bottom());
    path.closeSubpath();
    return path;
}

QImage PXTitlebarView::noiseImage() {
    // One tile for the whole process; a fresh pattern every run.
    static const QImage tile = [] {
        const int n = PXTitlebarDefaults::noiseTileSize;
        QImage image(n, n, QImage::Format_Grayscale8);
        QRandomGenerator* random = QRandomGenerator::global();
        for (int y = 0; y < n; ++y) {
            uchar* row = image.scanLine(y);
            for (int x = 0; x < n; ++x)
                row[x] = static_cast<uchar>(random->generate() & 0xff);
        }
        return image;
    }();
    return tile;
}

QFont PXTitlebarView::defaultTitleFont() {
    QFont font = QApplication::font();
    font.setPixelSize(13);
    return font;
}

void PXTitlebarView::paintEvent(QPaintEvent*) {
    const PXAppStoreWindow* w = appStoreWindow();
    QPainter p(this);
    render(&p, w ? w->isActiveAppearance() : isActiveWindow());
}

void PXTitlebarView::render(QPainter* p, bool active) const {
    const PXAppStoreWindow* w = appStoreWindow();
    const QRectF b = rect();
    const bool fullScreen = w && w->isInFullScreen();
    p->save();
    if (fullScreen)
        p->fillRect(b, Qt::black);
    if (w && w->titleBarDrawingBlock()) {
        const QPainterPath path = roundedTopPath(b);
        w->titleBarDrawingBlock()(p, active, path, b);
    } else {
        // The top pixel row stays unpainted: it reads as the window's edge.
        const QPainterPath path =
            roundedTopPath(QRectF(b.x(), b.y() + 1, b.width(), b.height() - 1));
        drawWindowBackgroundGradient(p, b, w ? w->showsBaselineSeparator() : true, path, active);
    }
    if (w && w->showsTitle() && (!fullScreen || w->showsTitleInFullscreen())) {
        QRectF frame;
        TitleAttributes attrs;
        getTitleFrame(&frame, &attrs, active);
        if (w->verticallyCenterTitle()) {
            // The bounds start at the origin, so they read the same bottom-up.
            const QRectF up = pxTitleFrame(b, frame.size(), true);
            frame.moveTop(b.height() - up.y() - up.height());
        }
        const QString title = w->windowTitle();
        const int flags = Qt::AlignLeft | Qt::AlignTop | Qt::TextSingleLine | Qt::TextDontClip;
        p->setFont(attrs.font);
        if (attrs.shadow.color.isValid() && attrs.shadow.color.alpha() > 0) {
            p->setPen(attrs.shadow.color);
            p->drawText(frame.translated(attrs.shadow.offset), flags, title);
        }
        p->setPen(attrs.color);
        p->drawText(frame, flags, title);
    }
    p->restore();
}

void PXTitlebarView::drawWindowBackgroundGradient(QPainter* p, const QRectF& r,
                                                  bool showsBaselineSeparator,
                                                  const QPainterPath& clippingPath,
                                                  bool active) const {
    const PXAppStoreWindow* w = appStoreWindow();
    // The clip stays in force for the separator and the title.
    p->setClipPath(clippingPath, Qt::IntersectClip);
    if (w && (w->styleMask() & PXAppStoreWindow::TexturedBackground)) {
        // A textured window continues the window's own background into the bar.
        const QColor base = palette().color(QPalette::Window);
        QLinearGradient g(r.center().x(), r.bottom(), r.center().x(), r.top());
        g.setColorAt(0, base.darker(108));
        g.setColorAt(1, base.lighter(104));
        p->fillRect(r, g);
    } else {
        QColor start =
            w ? (active ? w->titleBarStartColor() : w->inactiveTitleBarStartColor()) : QColor();
        QColor end =
            w ? (active ? w->titleBarEndColor() : w->inactiveTitleBarEndColor()) : QColor();
        if (!start.isValid())
            start = PXTitlebarDefaults::gradientStart(active);
        if (!end.isValid())
            end = PXTitlebarDefaults::gradientEnd(active);
        // Start colour along the bottom edge, end colour along the top.
        QLinearGradient g(r.center().x(), r.bottom(), r.center().x(), r.top());
        g.setColorAt(0, start.toRgb());
        g.setColorAt(1, end.toRgb());
        p->fillRect(r, g);

        if (active) {
            QRectF n = r.adjusted(1, 1, -1, -1);
            if (!showsBaselineSeparator)
                n.setBottom(n.bottom() + baselineSeparatorFrame().height());
            p->save();
            p->setClipPath(roundedTopPath(n), Qt::IntersectClip);
            drawNoiseWithOpacity(p, PXTitlebarDefaults::noiseOpacity);
            p->restore();
        }
    }
    if (showsBaselineSeparator)
        drawBaselineSeparator(p, baselineSeparatorFrame(), active);
}

void PXTitlebarView::drawBaselineSeparator(QPainter* p, const QRectF& s, bool active) const {
    const PXAppStoreWindow* w = appStoreWindow();
    QColor color =
        w ? (active ? w->baselineSeparatorColor() : w->inactiveBaselineSeparatorColor()) : QColor();
    if (!color.isValid())
        color = PXTitlebarDefaults::baselineSeparator(active);
    p->fillRect(s, color);
    p->fillRect(QRectF(s.x(), s.y() - 1, s.width(), 1), PXTitlebarDefaults::separatorHighlight());
}

QRectF PXTitlebarView::baselineSeparatorFrame() const {
    return QRectF(0, height() - 1, width(), 1);
}

void PXTitlebarView::drawNoiseWithOpacity(QPainter* p, double opacity) const {
    static const QPixmap tile = QPixmap::fromImage(noiseImage());
    p->save();
    p->setOpacity(opacity);
    p->setCompositionMode(QPainter::CompositionMode_Screen);
    // One tile pixel per device pixel, whatever the scale of the screen.
    const double scale = p->device() ? p->device()->devicePixelRatioF() : 1.0;
    p->scale(1 / scale, 1 / scale);
    p->drawTiledPixmap(QRectF(0, 0, width() * scale, height() * scale), tile);
    p->restore();
}

void PXTitlebarView::getTitleFrame(QRectF* frame, TitleAttributes* attributes, bool active) const {
    const PXAppStoreWindow* w = appStoreWindow();
    TitleAttributes attrs;
    std::optional<PXTextShadow> shadow;
    if (w)
        shadow = active ? w->titleTextShadow() : w->inactiveTitleTextShadow();
    attrs.shadow = shadow.value_or(PXTextShadow{PXTitlebarDefaults::titleShadowColor(),
                                                PXTitlebarDefaults::titleShadowOffset(), 0});
    attrs.color = w ? (active ? w->titleTextColor() : w->inactiveTitleTextColor()) : QColor();
    if (!attrs.color.isValid())
        attrs.color = PXTitlebarDefaults::titleText(active);
    attrs.font = w && w->titleFont() ? *w->titleFont() : defaultTitleFont();
    if (frame) {
        const QFontMetricsF metrics(attrs.font);
        const QString title = w ? w->windowTitle() : windowTitle();
        const QSizeF size(metrics.horizontalAdvance(title), metrics.height());
        const QRectF b = rect();
        const QRectF up = pxTitleFrame(b, size, false);
        *frame = QRectF(up.x(), b.height() - up.y() - up.height(), up.width(), up.height());
    }
    if (attributes)
        *attributes = attrs;
}

void PXTitlebarView::mousePressEvent(QMouseEvent* event) {
    // Presses that no control takes belong to the container, which drags.
    m_doubleClicked = false;
    event->ignore();
}

void PXTitlebarView::mouseMoveEvent(QMouseEvent* event) {
    event->ignore();
}

void PXTitlebarView::mouseDoubleClickEvent(QMouseEvent* event) {
    m_doubleClicked = event->button() == Qt::LeftButton;
    event->accept();
}

void PXTitlebarView::mouseReleaseEvent(QMouseEvent* event) {
    const auto* container = qobject_cast<const PXTitlebarContainer*>(parentWidget());
    if (!m_doubleClicked || (container && container->isTrackingDrag())) {
        m_doubleClicked = false;
        event->ignore();
        return;
    }
    m_doubleClicked = false;
    event->accept();
    const bool minimise = pxDefaultsBool(
        pxOpenUserDefaults()->value(QStringLiteral("AppleMiniaturizeOnDoubleClick")));
    if (minimise) {
        if (PXAppStoreWindow* w = appStoreWindow())
            w->performMiniaturize();
    }
}
