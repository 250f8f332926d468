#include "server/LastSeen.h"

namespace trevok {

void LastSeenRecorder::seen(const QString& name, qint64 msSinceEpoch) {
    const std::lock_guard lock(m_mutex);
    qint64& latest = m_seen[name];
    if (msSinceEpoch > latest)
        latest = msSinceEpoch;
}

QHash<QString, qint64> LastSeenRecorder::take() {
    QHash<QString, qint64> taken;
    const std::lock_guard lock(m_mutex);
    taken.swap(m_seen);
    return taken;
}

} // namespace trevok
