#pragma once

#include <QObject>
#include <QPointer>

class PXAppStoreWindow;
class QWidget;

// The behaviour the window gives its plain content view: whatever frame
// anybody asks for, the view keeps the area below the title bar.
class PXAppStoreWindowContentView : public QObject {
    Q_OBJECT
public:
    static void attach(QWidget* view, PXAppStoreWindow* window);
    static void detach(QWidget* view);
    static bool isAttached(const QWidget* view);

    // The frame the view is held to, in the window's top-down pixels; empty
    // when the view is in no such window.
    static QRect enforcedFrame(const QWidget* view);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    PXAppStoreWindowContentView(QWidget* view, PXAppStoreWindow* window);
    void enforce();

    QWidget* m_view;
    QPointer<PXAppStoreWindow> m_window;
};
