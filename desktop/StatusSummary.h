#pragma once

#include <QString>

#include <optional>

namespace trevok {

// What the status icon says about the service.
struct ServiceFacts {
    // "" while the server answers, else what is wrong in words.
    QString serverProblem;
    bool listenerRunning = false;
    bool listenerAnnounced = false;
    int usersSeenLastHour = 0;
    // Unknown until the administrator logs in.
    std::optional<int> replicationsInError;
};

// The status icon's tooltip: one line each for the server, the listener,
// the users seen and the replications in error.
QString statusSummary(const ServiceFacts& facts);

} // namespace trevok
