#pragma once

#include "store/CouchResource.h"
#include "store/RESTOperation.h"
#include "store/ReplicationEndpoint.h"

#include <QHash>
#include <QList>
#include <QObject>
#include <QString>
#include <QUrl>

#include <deque>
#include <optional>

class CouchDatabase;
class CouchPersistentReplication;
class QNetworkAccessManager;
class ReplicatorWatcher;

// Percent-encodes a name as one URL path segment: "/", "?", "#", "%", "+",
// blanks and a bare "." or ".." can never address another resource.
QString couchEncodedSegment(const QString& name);

// The handle of one CouchDB server: base URL, credential and the one FIFO
// request queue through which every database, document, query, model and
// replication handle of this server sends its requests (one request on the
// wire at a time, over one keep-alive connection). Change feeds run outside
// the queue. GUI thread only.
class CouchServer : public QObject {
    Q_OBJECT
public:
    explicit CouchServer(const QUrl& url, QObject* parent = nullptr);
    ~CouchServer() override;

    QUrl url() const { return m_url; }

    // Basic authentication for every later request (and change feed); may be
    // changed at any time. An empty user removes the credential.
    void setCredential(const QString& user, const QString& password);
    QString credentialUser() const { return m_user; }

    // Which line of servers this is (the first until told otherwise): it
    // decides how replication documents name their databases.
    void setGeneration(ServerGeneration generation) { m_generation = generation; }
    ServerGeneration generation() const { return m_generation; }
    // The account that replication documents carry on a server that wants
    // full URLs; none on the first line.
    void setReplicationCredential(const QString& user, const QString& password);
    QString replicationUser() const { return m_replicationUser; }
    // One end of a replication into or out of `database` on this server, as
    // its documents name it.
    QJsonValue replicationEndpoint(const QString& database) const;

    // Lists the databases, waiting for the reply: a handle per database (the
    // last path segment of its url() is the name, percent-encoded), an empty
    // list for none, std::nullopt on failure (see error()).
    std::optional<QList<CouchDatabase*>> getDatabasesAndWait();
    // Why the last getDatabasesAndWait() failed ("" after a success).
    QString error() const { return m_lastError; }

    // The handle of a database; one per name, owned by the server; no request.
    CouchDatabase* databaseNamed(const QString& name);

    // A raw resource below the server; `path` is used as given, not encoded
    // (e.g. "_config/admins/admin"). One handle per path, owned by the server.
    CouchResource* childWithPath(const QString& path);

    // A single request of its own (e.g. GET "/" or "_uuids").
    RESTOperationPtr GET(const QString& path);

    // How long a sent request may stay unanswered, and a wait() may last.
    void setRequestTimeout(int ms) { m_timeoutMs = ms; }
    int requestTimeout() const { return m_timeoutMs; }

    // Number of operations queued or in flight.
    int pendingOperations() const;

    // ---- used by the store's own classes ----
    // Queues a request. `prepare`, when given, computes the body right before
    // it is sent.
    RESTOperationPtr enqueue(const QByteArray& method, const QUrl& url, const QByteArray& body = {},
                             std::function<QByteArray()> prepare = {},
                             const QByteArray& authorization = {});
    // "Basic …" for the current credential, or empty.
    QByteArray authorizationHeader() const;
    static QByteArray basicAuthorization(const QString& user, const QString& password);
    // The one watcher of `_replicator`'s change feed shared by all replication handles.
    ReplicatorWatcher* replicatorWatcher();
    // The network manager a change feed sends its long-polls through, shared
    // by up to kFeedsPerManager feeds; handed back when the feed ends.
    QNetworkAccessManager* acquireFeedManager();
    void releaseFeedManager(QNetworkAccessManager* manager);
    // A manager opens at most six connections to one host at once and a
    // long-poll holds one for its whole length: five feeds leave one for the
    // short reads with which a feed starts and restarts.
    static constexpr int kFeedsPerManager = 5;
    int feedManagerCount() const { return int(m_feedManagers.size()); }

private:
    friend class RESTOperation;
    void sendNext();
    void operationFinished(RESTOperation* op);
    void cancelQueued(RESTOperation* op, const QString& error);

    QUrl m_url;
    ServerGeneration m_generation = ServerGeneration::Classic;
    QString m_replicationUser;
    QString m_replicationPassword;
    QString m_user;
    QString m_password;
    QString m_lastError;
    int m_timeoutMs = kRESTTimeoutMs;
    QNetworkAccessManager* m_manager;
    std::deque<RESTOperationPtr> m_queue;
    RESTOperationPtr m_current;
    QHash<QString, CouchDatabase*> m_databases;
    QHash<QString, CouchResource*> m_resources;
    ReplicatorWatcher* m_replicatorWatcher = nullptr;
    struct FeedManager {
        QNetworkAccessManager* manager;
        int feeds;
    };
    QList<FeedManager> m_feedManagers;
};
