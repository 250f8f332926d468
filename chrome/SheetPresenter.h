#pragma once

#include <QList>
#include <QMetaObject>
#include <QObject>
#include <QPointer>
#include <QRectF>

#include <functional>

class QKeyEvent;
class QVariantAnimation;
class QWidget;

// Hangs sheets from a window: one at a time, window-modal and frameless,
// sliding out of the bar's bottom edge, with keyboard focus on its first
// control. A sheet begun while another is attached waits for it to end. A
// QDialog keeps its own Return and Escape handling; for other widgets Return
// presses the default button and Escape the cancelling one.
class SheetPresenter : public QObject {
    Q_OBJECT
public:
    // Where a sheet goes, bottom-up in the window (see chrome/Geometry.h).
    using FrameFor = std::function<QRectF(QWidget* sheet)>;

    SheetPresenter(QWidget* window, FrameFor frameFor);
    ~SheetPresenter() override;

    // Sheets slide out only while this is on (the default); tests turn it off.
    static void setAnimationsEnabled(bool enabled);

    void begin(QWidget* sheet);
    void end(QWidget* sheet);
    QWidget* attached() const { return m_sheet; }
    // After the window moved or changed size: the sheet follows at once.
    void reposition();

    // Return and Escape for a sheet that is not a QDialog; the event is
    // accepted when a button was pressed.
    static void pressKey(QWidget* sheet, QKeyEvent* event);

Q_SIGNALS:
    // The window lays itself out again and takes the keyboard back.
    void ended(QWidget* sheet);
    // The attached sheet gained or lost the keyboard: its window looks
    // active exactly while one of the two has it.
    void focusChanged();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void position(bool animate);
    void finish(QWidget* sheet);
    void stopAnimation();

    QWidget* m_window;
    FrameFor m_frameFor;
    QPointer<QWidget> m_sheet;
    QList<QPointer<QWidget>> m_pending;
    QMetaObject::Connection m_sheetFinished;
    QPointer<QVariantAnimation> m_animation;
};
