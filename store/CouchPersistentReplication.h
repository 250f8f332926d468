#pragma once

#include "store/RESTOperation.h"

#include <QHash>
#include <QJsonObject>
#include <QObject>
#include <QPointer>
#include <QString>

#include <optional>

class ChangeFeed;
class CouchDatabase;
class CouchDocument;
class CouchServer;
class ReplicatorWatcher;

// A persistent replication: a document in the server's `_replicator` with the
// two databases as `source` and `target` (bare names, or full URLs with the
// replication credential where the server wants them), and `filter`, `continuous` and
// `query_params` when set.
//
// The document is written once, complete, so the replication never runs with
// half its settings: either when start() is called or when the event loop next
// runs after the handle was made, whichever comes first. Call setFilter() and
// setContinuous() right after making the handle, before any wait(). A setting
// changed after the write rewrites the document (the server restarts the
// replication).
//
// The handle follows its document through the one `_replicator` change feed of
// the server; the values and their signals change only when the server reports
// something new. Signals may be emitted inside someone's wait(): connected code
// must not start a flow.
class CouchPersistentReplication : public QObject {
    Q_OBJECT
public:
    // From `_replication_state`: none or unknown, "triggered", "completed",
    // "error" (or "failed", as the scheduling replicator says it).
    enum State { StateIdle = 0, StateTriggered = 1, StateCompleted = 2, StateError = 3 };
    // Stopped (completed, failed, unknown), or Active (triggered, running).
    enum Mode { ModeStopped = 0, ModeOffline = 1, ModeIdle = 2, ModeActive = 3 };

    // Made by CouchDatabase's replication calls; `parent` is that database.
    CouchPersistentReplication(CouchServer* server, const QString& source, const QString& target,
                               QObject* parent = nullptr);
    ~CouchPersistentReplication() override;

    QString source() const { return m_source; }
    QString target() const { return m_target; }

    // "designdoc/filtername" of a filter in the source database ("" for none).
    void setFilter(const QString& filter);
    QString filter() const { return m_filter; }
    void setContinuous(bool continuous);
    bool continuous() const { return m_continuous; }
    void setQueryParams(const QJsonObject& params);

    // Writes the replication document now (once; later calls return the same
    // operation).
    RESTOperationPtr start();
    bool isWritten() const { return bool(m_writeOp); }

    // The replication document in `_replicator` (its ID is chosen at creation).
    CouchDocument* document() const { return m_document; }

    int state() const { return m_state; }
    // Documents written so far (`docs_written`) and read (`docs_read`).
    int completed() const { return m_completed; }
    int total() const { return m_total; }
    // The server's reason when the replication failed ("" otherwise).
    QString error() const { return m_error; }
    int mode() const { return m_mode; }

    // ---- used by the store: takes the document's body seen on the server ----
    void updateFromDocument(const std::optional<QJsonObject>& body);

Q_SIGNALS:
    void stateChanged();
    void completedChanged();
    void totalChanged();
    void errorChanged();
    void modeChanged();

private:
    QJsonObject documentBody() const;
    void settingsChanged();

    QPointer<CouchServer> m_server;
    QPointer<ReplicatorWatcher> m_watcher;
    QString m_source;
    QString m_target;
    QString m_filter;
    bool m_continuous = false;
    QJsonObject m_queryParams;
    CouchDocument* m_document = nullptr;
    RESTOperationPtr m_writeOp;
    int m_state = StateIdle;
    int m_completed = 0;
    int m_total = 0;
    QString m_error;
    int m_mode = ModeStopped;
};

// The `_replicator` change feed shared by every replication handle of a server.
class ReplicatorWatcher : public QObject {
    Q_OBJECT
public:
    explicit ReplicatorWatcher(CouchServer* server);
    ~ReplicatorWatcher() override;
    void add(CouchPersistentReplication* replication);
    void remove(CouchPersistentReplication* replication);
    // Starts the feed without a handle, for those who follow every
    // replication document through documentChanged().
    void follow();
    // Ends one follow(); the feed stops once nobody follows and no handle
    // is watched.
    void unfollow();

Q_SIGNALS:
    // Every replication document the feed reports (design documents left
    // out): its body, or `deleted` with an empty body.
    void documentChanged(const QString& id, const QJsonObject& body, bool deleted);
    // The feed answers again after a failure: changes may have been missed.
    void reconnected();

private:
    void ensureFeed();

    CouchServer* m_server;
    ChangeFeed* m_feed = nullptr;
    int m_followers = 0;
    QHash<QString, QPointer<CouchPersistentReplication>> m_replications;
};
