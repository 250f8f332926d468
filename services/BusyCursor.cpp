#include "services/BusyCursor.h"

#include "store/RESTOperation.h"

#include <QCursor>
#include <QGuiApplication>
#include <QTimer>

namespace trevok {

namespace {
struct BusyState {
    int depth = 0;
    bool shown = false;
    QTimer* timer = nullptr;
};

BusyState& state() {
    static BusyState s;
    return s;
}

void show() {
    BusyState& s = state();
    if (s.depth > 0 && !s.shown) {
        QGuiApplication::setOverrideCursor(Qt::BusyCursor);
        s.shown = true;
    }
}

void waiting(bool begins) {
    BusyState& s = state();
    if (!s.timer) {
        s.timer = new QTimer(QCoreApplication::instance());
        s.timer->setSingleShot(true);
        QObject::connect(s.timer, &QTimer::timeout, s.timer, &show);
    }
    if (begins) {
        if (s.depth++ == 0)
            s.timer->start(kBusyCursorDelayMs);
        return;
    }
    if (s.depth > 0 && --s.depth == 0) {
        s.timer->stop();
        if (s.shown) {
            QGuiApplication::restoreOverrideCursor();
            s.shown = false;
        }
    }
}
} // namespace

void installBusyCursor() {
    static bool installed = false;
    if (!installed) {
        installed = true;
        RESTOperation::addWaitObserver(&waiting);
    }
}

bool busyCursorShown() {
    return state().shown;
}

bool waitInProgress() {
    return state().depth > 0;
}

} // namespace trevok
