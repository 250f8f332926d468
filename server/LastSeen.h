#pragma once

#include <QHash>
#include <QString>

#include <mutex>

namespace trevok {

// When each account last reached the sync listener. The listener's thread
// notes every forwarded request of a user; the console takes what was noted
// on its own thread. Noting is one short lock and a hash update, so it costs
// the relay nothing it would notice.
class LastSeenRecorder {
public:
    void seen(const QString& name, qint64 msSinceEpoch);
    // The latest time of each account noted since the previous take.
    QHash<QString, qint64> take();

private:
    std::mutex m_mutex;
    QHash<QString, qint64> m_seen;
};

} // namespace trevok
