#pragma once

#include <QColor>
#include <QFont>
#include <QPainterPath>
#include <QPixmap>
#include <QPointF>
#include <QWidget>

class PXAppStoreWindow;

// A text shadow; the offset is in Qt's top-down pixels.
struct PXTextShadow {
    QColor color;
    QPointF offset;
    double blurRadius = 0;
};

// Fills the title bar of a PXAppStoreWindow: a vertical two-colour gradient
// with rounded top corners, a faint noise over it while the window has the
// active appearance, a separator along the bottom with a highlight above it,
// and the title if the window asks for it. Everything it paints follows the
// window's properties, read afresh at every paint.
class PXTitlebarView : public QWidget {
    Q_OBJECT
public:
    struct TitleAttributes {
        QFont font;
        QColor color;
        PXTextShadow shadow;
    };

    explicit PXTitlebarView(QWidget* parent = nullptr);

    PXAppStoreWindow* appStoreWindow() const;

    // Paints the whole bar as for the given appearance; the paint event uses
    // the window's active appearance. Drawing into an image uses this too.
    void render(QPainter* painter, bool active) const;

    void drawWindowBackgroundGradient(QPainter* painter, const QRectF& rect,
                                      bool showsBaselineSeparator, const QPainterPath& clippingPath,
                                      bool active) const;
    void drawBaselineSeparator(QPainter* painter, const QRectF& rect, bool active) const;
    QRectF baselineSeparatorFrame() const;
    void drawNoiseWithOpacity(QPainter* painter, double opacity) const;
    // Either output may be null.
    void getTitleFrame(QRectF* frame, TitleAttributes* attributes, bool active) const;

    // The outline of `rect` with its top corners rounded (radius 4), in Qt's
    // top-down coordinates.
    static QPainterPath roundedTopPath(const QRectF& rect);
    // The process-wide noise tile: 124 by 124 random grey pixels, made once.
    static QImage noiseImage();
    static QFont defaultTitleFont();

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    bool m_doubleClicked = false;
};
