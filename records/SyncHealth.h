#pragma once

#include <QDateTime>
#include <QJsonObject>
#include <QString>

#include <optional>

// How the console words the health of its replications and when a user was
// last seen. Pure functions: no server, no window.
namespace trevok::health {

// One entry of the server's running tasks that belongs to a replication.
struct ActiveTask {
    QString docId;
    QString source;
    QString target;
    qint64 docsRead = 0;
    qint64 docsWritten = 0;
    qint64 docWriteFailures = 0;
    qint64 changesPending = 0;
    qint64 updatedOn = 0;
};

// A task entry of type "replication" (nullopt for any other entry).
std::optional<ActiveTask> activeTaskFrom(const QJsonObject& entry);

// One document of the scheduling replicator (CouchDB 2 and later) as
// `/_scheduler/docs` reports it: "running", "pending" (waiting for its turn),
// "crashing" (failing, retried), "error", "failed" or "completed", with the
// reason of the last failure and the changes still to read.
struct ScheduledDoc {
    QString docId;
    QString state;
    QString reason;
    qint64 changesPending = 0;
    bool operator==(const ScheduledDoc&) const = default;
};

// An entry of `/_scheduler/docs` (nullopt without a document ID).
std::optional<ScheduledDoc> scheduledDocFrom(const QJsonObject& entry);

enum class SyncKind { Running, Pending, Error, Stopped };

struct SyncState {
    SyncKind kind = SyncKind::Stopped;
    qint64 pending = 0;
    // Error: the server's reason in words.
    QString reason;

    // "Running", "Pending 12", "Error: …", "Stopped"; "Pending" alone for a
    // replication the server has queued but not started yet.
    QString text() const;
    // A sentence for assistive technology and tooltips.
    QString sentence() const;
    bool operator==(const SyncState&) const = default;
};

// The state shown for a replication whose document says `documentState`
// (`_replication_state`, "" when the server has not reported yet) with
// `reason` (`_replication_state_reason`), and its running task, if any.
SyncState syncState(const QString& documentState, const QString& reason,
                    const std::optional<ActiveTask>& task);

// The state shown for a replication as the scheduling replicator reports it.
SyncState syncState(const ScheduledDoc& scheduled);

// The server's "error: detail" reason, as a person reads it.
QString reasonInWords(const QString& reason);

// "just now", "1 minute ago", "3 hours ago", "2 days ago", … ; "never" for an
// invalid time. A time slightly ahead of `now` (clocks of two machines) is
// "just now".
QString relativeTimeText(const QDateTime& then, const QDateTime& now);

// A record's `lastConnected` as shown in the users table. The record gets
// `lastConnected` when it is created; until a sync client has connected it
// equals `created` (within a fraction of a second) and the user was never seen.
QString lastSeenText(const QDateTime& lastConnected, const QDateTime& created,
                     const QDateTime& now);

// The one place where the texts of the health display live.
namespace texts {
inline const char* const kRunning = "Running";
inline const char* const kPending = "Pending %1";
inline const char* const kQueued = "Pending";
inline const char* const kError = "Error: %1";
inline const char* const kStopped = "Stopped";
inline const char* const kNever = "never";
inline const char* const kRestart = "Restart replication";
inline const char* const kLastSeenHeader = "Last seen";
inline const char* const kSyncHeader = "Sync";
} // namespace texts

} // namespace trevok::health
