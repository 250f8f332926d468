#include "chrome/ContentMinimum.h"

#include <QEvent>
#include <QPointer>
#include <QTimer>
#include <QWidget>

namespace trevok {

namespace {
class ContentMinimum : public QObject {
public:
    ContentMinimum(QWidget* window, QWidget* content)
        : QObject(window)
        , m_window(window)
        , m_content(content) {
        window->installEventFilter(this);
        update();
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        // A changed layout asks its window to lay it out again; the new
        // minimum is known once that is done.
        if (watched == m_window && event->type() == QEvent::LayoutRequest && !m_pending) {
            m_pending = true;
            QTimer::singleShot(0, this, [this] {
                m_pending = false;
                update();
            });
        }
        return false;
    }

private:
    void update() {
        if (!m_content || !m_window)
            return;
        const QSize around = m_window->size() - m_content->size();
        const QSize needed = m_content->minimumSizeHint().expandedTo(QSize(0, 0)) + around;
        if (needed.isValid() && needed != m_window->minimumSize())
            m_window->setMinimumSize(needed);
    }

    QWidget* m_window;
    QPointer<QWidget> m_content;
    bool m_pending = false;
};
} // namespace

void followContentMinimum(QWidget* window, QWidget* content) {
    if (window && content)
        new ContentMinimum(window, content);
}

} // namespace trevok
