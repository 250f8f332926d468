#pragma once

namespace trevok {

// How long a waited request may run before the window shows that it is busy.
inline constexpr int kBusyCursorDelayMs = 300;

// Shows the busy cursor while any waited store request has been under way for
// longer than the delay. Installed once by the controller.
void installBusyCursor();

// Whether the busy cursor is shown now (for tests).
bool busyCursorShown();

// Whether a flow is waiting for a store request right now: work that arrives
// meanwhile (a replication's report) must not start a flow of its own.
bool waitInProgress();

} // namespace trevok
