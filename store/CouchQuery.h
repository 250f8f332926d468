#pragma once

#include "store/RESTOperation.h"

#include <QByteArray>
#include <QJsonObject>
#include <QJsonValue>
#include <QList>
#include <QObject>
#include <QString>

#include <memory>
#include <optional>

class CouchDatabase;
class CouchDocument;
class CouchLiveQuery;
class ChangeFeed;
class QTimer;

// One row of a query result.
class CouchQueryRow {
public:
    CouchQueryRow() = default;
    CouchQueryRow(CouchDatabase* database, const QJsonObject& row);

    QJsonValue key() const { return m_row.value(QStringLiteral("key")); }
    QJsonValue value() const { return m_row.value(QStringLiteral("value")); }
    // "" for rows without a document (reduced views).
    QString documentID() const { return m_row.value(QStringLiteral("id")).toString(); }
    // The row's document handle (nullptr without an ID); when the query
    // prefetched, its cached properties are the row's document.
    CouchDocument* document() const;
    // The document carried in the row (prefetch), else std::nullopt.
    std::optional<QJsonObject> documentProperties() const;
    QJsonObject json() const { return m_row; }

    bool operator==(const CouchQueryRow& other) const { return m_row == other.m_row; }

private:
    CouchDatabase* m_database = nullptr;
    QJsonObject m_row;
};

// A query of all documents or of a view. Parameters are set before running.
class CouchQuery : public QObject {
    Q_OBJECT
public:
    // `encodedPath` below the database: "_all_docs" or "_design/x/_view/y".
    CouchQuery(CouchDatabase* database, const QString& encodedPath, QObject* parent = nullptr);
    ~CouchQuery() override;

    CouchDatabase* database() const { return m_database; }

    // An undefined key (the default) sets no bound; null is a key of its own.
    void setStartKey(const QJsonValue& key) { m_startKey = key; }
    void setEndKey(const QJsonValue& key) { m_endKey = key; }
    void setDescending(bool descending) { m_descending = descending; }
    bool descending() const { return m_descending; }
    // Rows carry their documents (include_docs).
    void setPrefetch(bool prefetch) { m_prefetch = prefetch; }
    bool prefetch() const { return m_prefetch; }
    void setLimit(int limit) { m_limit = limit; }
    // Runs this query's requests with this credential instead of the server's.
    void setCredential(const QString& user, const QString& password);

    // Runs the query and waits for it; std::nullopt on failure (see error()).
    // A live query returns its current rows (running once when it has none yet).
    virtual std::optional<QList<CouchQueryRow>> rowsAndWait();
    // Runs the query without waiting; rowsChanged() follows when the rows
    // arrive and differ from the ones held before.
    virtual RESTOperationPtr start();
    // The rows of the last run (empty before).
    QList<CouchQueryRow> currentRows() const { return m_rows; }
    QString error() const { return m_lastError; }

    // A live query with the same parameters (it is not started yet).
    std::unique_ptr<CouchLiveQuery> asLiveQuery() const;

Q_SIGNALS:
    // The rows were replaced by different ones. May be emitted from inside
    // someone's wait(): connected code must not start a flow of its own.
    void rowsChanged();
    // A run failed (see error()).
    void failed();

protected:
    RESTOperationPtr run();
    // Takes a finished run's result; returns whether the rows changed.
    bool takeResult(RESTOperation& op);

    CouchDatabase* m_database;
    QString m_path;
    QJsonValue m_startKey{QJsonValue::Undefined};
    QJsonValue m_endKey{QJsonValue::Undefined};
    bool m_descending = false;
    bool m_prefetch = false;
    int m_limit = -1;
    QByteArray m_authorization;
    QList<CouchQueryRow> m_rows;
    bool m_hasRows = false;
    QString m_lastError;
};

// A query that follows the database's change feed (outside the request queue)
// and runs again after changes, replacing its rows and emitting rowsChanged()
// only when they differ (an all-documents query without limit applies the
// feed's changes to its rows instead of running again). Bursts of changes give one run; never more
// than one run is in flight. It reconnects (with backoff) after the server restarts or the
// connection drops, and runs again then. rowsChanged() may be emitted from inside someone's wait():
// connected code must not start a flow.
class CouchLiveQuery : public CouchQuery {
    Q_OBJECT
public:
    CouchLiveQuery(CouchDatabase* database, const QString& encodedPath, QObject* parent = nullptr);
    ~CouchLiveQuery() override;

    // Runs the query and starts following the change feed.
    RESTOperationPtr start() override;
    // The current rows; when the query has none yet, runs once and waits.
    std::optional<QList<CouchQueryRow>> rowsAndWait() override;
    // Stops following changes.
    void stop();
    bool isFollowing() const;

private:
    void changeArrived();
    void reload();
    // All-documents queries take the feed's changes into their rows directly
    // (a reload of thousands of documents per change is too slow); returns
    // false when they cannot (a run in flight, a limit).
    bool applyChanges(const QJsonArray& results);
    bool isIncremental() const;

    ChangeFeed* m_feed = nullptr;
    QTimer* m_coalesce = nullptr;
    RESTOperationPtr m_inFlight;
    bool m_dirty = false;
};
