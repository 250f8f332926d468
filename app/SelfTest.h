#pragma once

class AppDelegate;

namespace trevok {

// A check of an installation without a person at the keyboard, asked for
// with TREVOK_SELF_TEST=login: the console starts up as usual (launching its
// server), waits until its start-up probe finds the server up, then logs in
// through its own login sheet with the password in TREVOK_SELF_TEST_PASSWORD
// (the initial one when unset). Prints one line per step on standard output
// and returns the process's exit status: 0 when logged in.
bool selfTestRequested();
int runSelfTest(AppDelegate& delegate);

} // namespace trevok
