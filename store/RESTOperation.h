#pragma once

#include <QByteArray>
#include <QJsonValue>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QUrl>

#include <functional>
#include <memory>

class CouchServer;
class QNetworkReply;
class QTimer;

// How long a request may stay unanswered once sent, and how long wait() waits.
inline constexpr int kRESTTimeoutMs = 30000;

class RESTOperation;
using RESTOperationPtr = std::shared_ptr<RESTOperation>;

// One HTTP request of a CouchServer and its result. Every operation is queued
// as soon as it is made: the server sends it when every operation queued
// before it has been answered, so operations take effect in the order issued
// whether or not anybody waits for them.
class RESTOperation : public QObject, public std::enable_shared_from_this<RESTOperation> {
    Q_OBJECT
public:
    enum class State { Queued, Sent, Finished };

    ~RESTOperation() override;

    // An operation that failed without a request (e.g. saving a model that has
    // no database).
    static RESTOperationPtr failed(const QString& error);

    QByteArray method() const { return m_method; }
    QUrl url() const { return m_url; }
    State state() const { return m_state; }
    bool isFinished() const { return m_state == State::Finished; }

    // Runs a local event loop (user input held back, painting and timers go on)
    // until the reply arrives, at most the server's request timeout. Operations
    // queued before this one run meanwhile. Code connected to store signals
    // may thus run inside a wait. Returns isSuccessful().
    bool wait();

    // Told when a wait begins (true) and ends (false), so that the interface
    // can show that it is busy and hold back what must not run meanwhile.
    // Waits may nest. Observers are told in the order they were added.
    static void addWaitObserver(std::function<void(bool waiting)> observer);
    // How many waits are under way now (nested waits count each).
    static int waitDepth();

    // Runs a local event loop like wait() until `done` returns true (checked
    // every `pollMs`) or `timeoutMs` has passed; for steps that wait for
    // something other than a request, such as a server process coming up.
    // Returns done().
    static bool waitUntil(const std::function<bool()>& done, int timeoutMs, int pollMs = 100);

    // Test hook: called from inside every wait's event loop once it runs,
    // with the operation waited for (nullptr for waitUntil).
    static void setWaitHookForTesting(std::function<void(RESTOperation*)> hook);
    // Test hook: called with every operation whose reply has just arrived,
    // before anything learns of it.
    static void setReplyHookForTesting(std::function<void(RESTOperation*)> hook);
    static void runReplyHook(RESTOperation* op);

    // 2xx reply received.
    bool isSuccessful() const;
    // HTTP status of the reply; 0 while there is none (transport failure, timeout).
    int httpStatus() const { return m_status; }
    // "" on success; else the server's "error: reason", or the transport's
    // message, or a text saying that the request timed out.
    QString error() const { return m_error; }
    QByteArray responseData() const { return m_data; }
    // The reply parsed as JSON (undefined when it is not JSON).
    QJsonValue responseBody() const;

    // Calls `fn` once the operation has finished (at once when it already has),
    // as long as `context` lives.
    void onCompletion(QObject* context, std::function<void(RESTOperation&)> fn);

    // ---- used by the store: bookkeeping run before finished() is emitted ----
    void whenSettled(std::function<void(RESTOperation&)> fn);

Q_SIGNALS:
    void finished();

private:
    friend class CouchServer;
    RESTOperation(CouchServer* server, QByteArray method, QUrl url, QByteArray body);

    // Records the result and runs the store's own bookkeeping; the server then
    // sends the next request before finished() is emitted, so code connected
    // to finished() may wait for later operations.
    void settle(int status, QByteArray data, QString error);
    void announce();

    QPointer<CouchServer> m_server;
    QByteArray m_method;
    QUrl m_url;
    QByteArray m_body;
    QByteArray m_authorization; // overrides the server's credential when set
    // Computes the body right before sending (a document write takes the
    // latest revision known then, not the one known when it was queued).
    std::function<QByteArray()> m_prepare;
    // Internal bookkeeping of the store, run before finished() is emitted.
    QList<std::function<void(RESTOperation&)>> m_internalCompletions;
    State m_state = State::Queued;
    int m_status = 0;
    QByteArray m_data;
    QString m_error;
    mutable QJsonValue m_json;
    mutable bool m_jsonParsed = false;
    QPointer<QNetworkReply> m_reply;
    QTimer* m_timer = nullptr;
    qint64 m_sentAtMs = 0;
};
