#include "desktop/StatusSummary.h"

#include <QStringList>

namespace trevok {

QString statusSummary(const ServiceFacts& facts) {
    QStringList lines;
    lines << (facts.serverProblem.isEmpty() ? QStringLiteral("Server: up")
                                            : QStringLiteral("Server: ") + facts.serverProblem);
    if (!facts.listenerRunning)
        lines << QStringLiteral("Sync listener: not running");
    else if (facts.listenerAnnounced)
        lines << QStringLiteral("Sync listener: announced on the network");
    else
        lines << QStringLiteral("Sync listener: running, not announced (no DNS-SD daemon)");
    lines << (facts.usersSeenLastHour == 1
                  ? QStringLiteral("1 user seen in the last hour")
                  : QStringLiteral("%1 users seen in the last hour").arg(facts.usersSeenLastHour));
    if (!facts.replicationsInError)
        lines << QStringLiteral("Replications in error: known once you log in");
    else
        lines << QStringLiteral("Replications in error: %1").arg(*facts.replicationsInError);
    return lines.join(QLatin1Char('\n'));
}

} // namespace trevok
