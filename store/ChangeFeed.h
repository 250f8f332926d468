#pragma once

#include <QJsonArray>
#include <QJsonObject>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QUrl>

#include <optional>

class CouchServer;
class QNetworkAccessManager;
class QNetworkReply;
class QTimer;

// Inside the store: follows one database's `_changes` with long-polls outside
// the request queue, through a network manager the server shares between
// feeds. It first reads the database's update_seq, so changes made
// after start() are never missed; after a failure (server restart, dropped
// connection) it retries with backoff and emits reconnected() once it gets an
// answer again, since changes may have been missed meanwhile.
class ChangeFeed : public QObject {
    Q_OBJECT
public:
    ChangeFeed(CouchServer* server, const QUrl& databaseUrl, bool includeDocs, QObject* parent);
    ~ChangeFeed() override;

    void start();
    void stop();
    bool isRunning() const { return m_running; }

    // Long-poll timeout asked of the server, and the client's own limit beyond it.
    static constexpr int kPollTimeoutMs = 25000;
    static constexpr int kMaxBackoffMs = 1000;

Q_SIGNALS:
    // The `results` of one answer of the feed (non-empty).
    void changes(const QJsonArray& results);
    void reconnected();

private:
    void readSequence();
    void poll();
    // The body of the feed's current request when it succeeded; a failure is
    // counted, a superseded request ignored.
    std::optional<QJsonObject> takeAnswer(QNetworkReply* reply);
    void failedAttempt();
    void succeeded();
    QNetworkReply* get(const QUrl& url);

    QPointer<CouchServer> m_server;
    QUrl m_dbUrl;
    bool m_includeDocs;
    QPointer<QNetworkAccessManager> m_manager;
    QPointer<QNetworkReply> m_reply;
    QTimer* m_retry;
    QTimer* m_watchdog;
    QString m_since;
    bool m_running = false;
    bool m_failing = false;
    int m_backoffMs = 50;
};
