#include "services/BusyState.h"

#include "store/RESTOperation.h"

#include <QCoreApplication>
#include <QEvent>
#include <QList>
#include <QPointer>
#include <QTimer>
#include <QWidget>

#include <utility>

namespace trevok {

namespace {

struct IdleTask {
    QPointer<QObject> context;
    std::function<void()> fn;
};

class BusyFilter : public QObject {
public:
    bool eventFilter(QObject* watched, QEvent* event) override;
};

struct State {
    // Set by the first wait of a flow; cleared once a check queued behind
    // the flow's last wait runs with no wait under way, which happens only
    // in the application's own loop.
    bool running = false;
    bool checkQueued = false;
    int ownCloses = 0;
    bool quitHeld = false;
    QList<QPointer<QWidget>> heldCloses;
    QList<IdleTask> tasks;
    BusyFilter* filter = nullptr;
};

State& state() {
    static State s;
    return s;
}

void settle();

void queueCheck() {
    State& s = state();
    if (s.checkQueued || !QCoreApplication::instance())
        return;
    s.checkQueued = true;
    QTimer::singleShot(0, QCoreApplication::instance(), &settle);
}

void settle() {
    State& s = state();
    s.checkQueued = false;
    if (RESTOperation::waitDepth() > 0)
        return; // the end of that wait queues the next check
    s.running = false;
    // Held-back requests first: a window the flow closed itself is gone.
    const QList<QPointer<QWidget>> closes = std::exchange(s.heldCloses, {});
    for (const QPointer<QWidget>& window : closes) {
        if (window && window->isVisible()) {
            window->close();
            if (s.running)
                break;
        }
    }
    while (!s.running && !s.tasks.isEmpty()) {
        const IdleTask task = s.tasks.takeFirst();
        if (task.context)
            task.fn();
    }
    if (!s.running && s.quitHeld) {
        s.quitHeld = false;
        QCoreApplication::quit();
    }
}

void waiting(bool begins) {
    State& s = state();
    if (begins)
        s.running = true;
    else if (RESTOperation::waitDepth() == 0)
        queueCheck();
}

bool BusyFilter::eventFilter(QObject* watched, QEvent* event) {
    State& s = state();
    if (!flowRunning())
        return false;
    if (event->type() == QEvent::Quit && watched == QCoreApplication::instance()) {
        s.quitHeld = true;
        return true;
    }
    if (event->type() == QEvent::Close && s.ownCloses == 0) {
        auto* window = qobject_cast<QWidget*>(watched);
        if (window && window->isWindow()) {
            if (!s.heldCloses.contains(window))
                s.heldCloses.append(window);
            event->ignore();
            return true;
        }
    }
    return false;
}

} // namespace

void installBusyState() {
    State& s = state();
    if (s.filter || !QCoreApplication::instance())
        return;
    s.filter = new BusyFilter();
    s.filter->setParent(QCoreApplication::instance());
    QCoreApplication::instance()->installEventFilter(s.filter);
    RESTOperation::addWaitObserver(&waiting);
}

// Only a wait lets events in while a flow is under way: between its waits a
// flow runs without the event loop, and after its last one it is over by
// the time any event is delivered at the loop's own level.
bool flowRunning() {
    return RESTOperation::waitDepth() > 0;
}

void whenIdle(QObject* context, std::function<void()> fn) {
    if (!flowRunning()) {
        if (context)
            fn();
        return;
    }
    state().tasks.append({context, std::move(fn)});
    if (RESTOperation::waitDepth() == 0)
        queueCheck();
}

OwnWindowClose::OwnWindowClose() {
    ++state().ownCloses;
}

OwnWindowClose::~OwnWindowClose() {
    --state().ownCloses;
}

} // namespace trevok
