#pragma once

#include <QAbstractButton>
#include <QMetaObject>
#include <QPixmap>
#include <QPointer>

class PXWindowButtonGroup;

// An image-only button that can stand in for one of the window's own buttons
// (close, minimise, zoom, full screen). It shows one image per state; buttons
// of one group show their rollover images together while the pointer is over
// any of them. Installed in a PXAppStoreWindow, the window reports the pointer
// entering and leaving its hover region (the button grown by four points on
// every side).
class PXWindowButton : public QAbstractButton {
    Q_OBJECT
public:
    enum class ShownImage { None, Active, ActiveNotKeyWindow, Inactive, Rollover };
    Q_ENUM(ShownImage)

    static constexpr int hoverMargin = 4;

    // A new button owned by the caller (or by `parent`).
    static PXWindowButton* windowButtonWithSize(const QSize& size,
                                                const QString& groupIdentifier = QString(),
                                                QWidget* parent = nullptr);
    PXWindowButton(const QSize& size, const QString& groupIdentifier, QWidget* parent = nullptr);
    ~PXWindowButton() override;

    QString groupIdentifier() const { return m_groupIdentifier; }
    // Moves the button to another group; the rollover subscription follows,
    // so the button never answers a group it no longer belongs to.
    void setGroupIdentifier(const QString& identifier);
    PXWindowButtonGroup* group() const;

    // Setting an image does not change what is shown; the next state change does.
    QPixmap activeImage() const { return m_activeImage; }
    void setActiveImage(const QPixmap& image) { m_activeImage = image; }
    QPixmap activeNotKeyWindowImage() const { return m_activeNotKeyWindowImage; }
    void setActiveNotKeyWindowImage(const QPixmap& image) { m_activeNotKeyWindowImage = image; }
    QPixmap inactiveImage() const { return m_inactiveImage; }
    void setInactiveImage(const QPixmap& image) { m_inactiveImage = image; }
    QPixmap rolloverImage() const { return m_rolloverImage; }
    void setRolloverImage(const QPixmap& image) { m_rolloverImage = image; }
    // Shown while the button is held down.
    QPixmap pressedImage() const { return m_pressedImage; }
    void setPressedImage(const QPixmap& image);

    ShownImage shownImage() const { return m_shown; }
    QPixmap displayedImage() const;

    void updateImage();
    void updateActiveImage();
    void updateRollOverImage();

    // The region in which the pointer counts as over the button, in the
    // button's own coordinates.
    QRect hoverRegion() const;
    bool isPointerInside() const { return m_pointerInside; }
    void mouseEntered();
    void mouseExited();

    // What the button does when its window changes state.
    void windowDidChangeFocus();
    void windowWillEnterFullScreen();
    void windowWillExitFullScreen();
    void windowDidMiniaturize();
    void viewDidEndLiveResize();

    QSize sizeHint() const override { return m_size; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void changeEvent(QEvent* event) override;
    bool event(QEvent* event) override;

private:
    void showImage(ShownImage which);
    void observeWindow();
    void subscribeToGroup();
    bool isInKeyWindow() const;

    QSize m_size;
    QString m_groupIdentifier;
    QPixmap m_activeImage;
    QPixmap m_activeNotKeyWindowImage;
    QPixmap m_inactiveImage;
    QPixmap m_rolloverImage;
    QPixmap m_pressedImage;
    ShownImage m_shown = ShownImage::None;
    bool m_pointerInside = false;
    QMetaObject::Connection m_groupConnection;
    QPointer<QWidget> m_observedWindow;
    QList<QMetaObject::Connection> m_windowConnections;
};
