#pragma once

namespace trevok::bench {

// A web of U users and P projects of M members each (member m of project p
// is user (p·M + m) mod U), the numbers the benchmarks are run at.
struct Size {
    int users = 1000;
    int projects = 100;
    int members = 10;
};

// Builds the web on the server at 127.0.0.1:5984 (administrator "admin" with
// the initial password) the way the console builds it, with its widget-free
// provisioning, so that a login finds nothing to mend. Users are "user<N>"
// with the password "pw", projects "Bench Project <N>". Prints how long each
// half took; false (after saying why) when a step failed.
bool buildWeb(const Size& size);

} // namespace trevok::bench
