#pragma once

#include <QString>

class AppDelegate;

namespace trevok {

// A command channel for the lifecycle tests, which drive the real console
// binary from outside: a local socket named by the environment variable
// TREVOK_TEST_CONTROL, taking one command per line and answering each with
// one JSON line. Built only with the CMake option TREVOK_TEST_CONTROL and
// opened only when that variable is set; a console started by a person has
// no such channel.
void startTestControl(AppDelegate& app, const QString& socketName);

} // namespace trevok
