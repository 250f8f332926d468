#pragma once

#include <QObject>

#include <functional>

namespace trevok {

// The console's one busy state. A flow is running while it waits: the local
// loops of its waits deliver timers, replies and window events, and nothing
// that arrives meanwhile may start a flow of its own or take the flow's
// sheet or window away. What was held back is carried out once control is
// back in the application's own event loop.
//
// Installed once (by the controller). While a flow runs:
// - a request to close a window (a sheet or the main window) is held back
//   and carried out once the flow has ended, unless the flow closed that
//   window itself meanwhile;
// - a request to quit the application is held back the same way, so that
//   the waits of the running flow are not ended from outside;
// - work handed to whenIdle() waits for the flow's end.
void installBusyState();

// Whether a flow is running now (see above).
bool flowRunning();

// Runs `fn` now when no flow is running, else once the running flow has
// ended; never inside a wait. Nothing runs when `context` is gone by then.
void whenIdle(QObject* context, std::function<void()> fn);

// The controller's own closing of a window during a flow (a sheet the flow
// ends) is not a request to hold back.
class OwnWindowClose {
public:
    OwnWindowClose();
    ~OwnWindowClose();
    OwnWindowClose(const OwnWindowClose&) = delete;
    OwnWindowClose& operator=(const OwnWindowClose&) = delete;
};

} // namespace trevok
