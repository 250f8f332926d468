#pragma once

#include "records/SyncHealth.h"

#include <QByteArray>
#include <QHash>
#include <QJsonObject>
#include <QObject>
#include <QPointer>
#include <QSet>
#include <QString>

#include <optional>

class CouchServer;
class QTimer;

// Follows the state of every replication of the server: the `_replicator`
// documents through the store's one change feed of `_replicator`, and the
// running tasks by a poll of `_active_tasks` (or, where the replicator
// schedules its jobs, of `/_scheduler/docs`). It keeps, per replication
// document, the display state and announces only the replications whose
// display changed, so the tables redraw one cell, never everything. GUI
// thread only; it makes no window.
class ReplicationHealth : public QObject {
    Q_OBJECT
public:
    // The poll never runs more often than this.
    static constexpr int kMinPollMs = 5000;

    explicit ReplicationHealth(CouchServer* server, QObject* parent = nullptr);
    ~ReplicationHealth() override;

    // Reads every replication document once and follows from then on;
    // stop() ends the poll (the shared feed stays with the store).
    void start();
    void stop();
    bool isRunning() const { return m_running; }
    void setPollInterval(int ms);

    // The display state of the replication from `source` into `target`
    // (several documents for one pair: the worst of them); nullopt when the
    // server has no such replication.
    std::optional<trevok::health::SyncState> stateOf(const QString& source,
                                                     const QString& target) const;
    // The document of that replication that needs a restart first ("" for none).
    QString documentIdOf(const QString& source, const QString& target) const;
    int runningCount() const { return m_runningCount; }
    int errorCount() const { return m_errorCount; }
    int replicationCount() const { return int(m_replications.size()); }
    // Whether the documents have been read once.
    bool hasRead() const { return m_read; }

    // Rewrites the replication document with the fields it was made with and
    // its current revision, without anything the server added, so that the
    // server starts it again from its checkpoint. Waits; false with the
    // reason in `error`.
    bool restart(const QString& documentId, QString* error);

    // Counts of work done, for the benchmark.
    struct Counters {
        qint64 documentsApplied = 0;
        qint64 pollsParsed = 0;
        qint64 pollsUnchanged = 0;
        qint64 announcements = 0;
    };
    const Counters& counters() const { return m_counters; }

Q_SIGNALS:
    // The display of the replication from `source` into `target` changed.
    void replicationChanged(const QString& source, const QString& target);
    void totalsChanged();

private:
    struct Replication {
        QString source;
        QString target;
        int generation = 0;
        QString state;
        QString reason;
        trevok::health::SyncState display;
        bool hasDisplay = false;
    };
    static QString pairKey(const QString& source, const QString& target);
    void readAll();
    void apply(const QString& id, const QJsonObject& body, bool deleted);
    void poll();
    void takeTasks(const QByteArray& data);
    // The scheduling replicator's report of every document (servers that
    // keep the states there, not in the documents).
    void takeSchedule(const QByteArray& data);
    // Recomputes one document's display; announces its pair when it changed.
    void refresh(const QString& id);
    void recount();

    QPointer<CouchServer> m_server;
    QTimer* m_pollTimer;
    bool m_running = false;
    bool m_read = false;
    bool m_reading = false;
    bool m_polling = false;
    QHash<QString, Replication> m_replications;
    // source + target → documents
    QHash<QString, QSet<QString>> m_pairs;
    // document ID → its running task
    QHash<QString, trevok::health::ActiveTask> m_tasks;
    // document ID → what the scheduling replicator says of it
    QHash<QString, trevok::health::ScheduledDoc> m_scheduled;
    QByteArray m_lastTasks;
    int m_runningCount = 0;
    int m_errorCount = 0;
    Counters m_counters;
};
