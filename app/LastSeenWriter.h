#pragma once

#include <QHash>
#include <QObject>
#include <QPointer>
#include <QSet>
#include <QString>

#include <memory>

class CouchDatabase;
class QTimer;

namespace trevok {
class LastSeenRecorder;
}

// Writes the time each user was last seen through the sync listener into the
// user's record as `lastConnected`, at most once per interval and user. The
// record is read as stored, the one field set and the whole record saved, so
// nothing else of it changes; a conflict reads it again. Failures are logged,
// never shown: the next sighting tries again. GUI thread only.
class LastSeenWriter : public QObject {
    Q_OBJECT
public:
    LastSeenWriter(std::shared_ptr<trevok::LastSeenRecorder> recorder, CouchDatabase* users,
                   int intervalSeconds, QObject* parent = nullptr);
    ~LastSeenWriter() override;

    // Takes what the listener noted and writes what is due.
    void flush();
    int intervalSeconds() const { return m_intervalMs / 1000; }
    qint64 writesDone() const { return m_writesDone; }

Q_SIGNALS:
    // A record got its new `lastConnected`.
    void written(const QString& name);
    // The listener saw `name` at `seenMs` (taken from its notes).
    void sighted(const QString& name, qint64 seenMs);

private:
    struct Pending {
        qint64 seenMs = 0;
        // When the record was last written for this user (0: not yet).
        qint64 writtenAtMs = 0;
        bool writing = false;
    };
    void write(const QString& name, qint64 seenMs);

    std::shared_ptr<trevok::LastSeenRecorder> m_recorder;
    QPointer<CouchDatabase> m_users;
    qint64 m_intervalMs;
    QTimer* m_timer;
    QHash<QString, Pending> m_state;
    qint64 m_writesDone = 0;
};
