#include "store/ChangeFeed.h"

#include "store/CouchServer.h"
#include "store/StoreLog.h"

#include <QDebug>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>

namespace {

QString sequenceText(const QJsonValue& seq) {
    if (seq.isString())
        return seq.toString();
    if (seq.isDouble())
        return QString::number(qint64(seq.toDouble()));
    if (seq.isUndefined() || seq.isNull())
        return {};
    return QString::fromUtf8(QJsonDocument(QJsonArray{seq}).toJson(QJsonDocument::Compact))
        .mid(1)
        .chopped(1);
}

} // namespace

ChangeFeed::ChangeFeed(CouchServer* server, const QUrl& databaseUrl, bool includeDocs,
                       QObject* parent)
    : QObject(parent)
    , m_server(server)
    , m_dbUrl(databaseUrl)
    , m_includeDocs(includeDocs)
    , m_manager(server->acquireFeedManager())
    , m_retry(new QTimer(this))
    , m_watchdog(new QTimer(this)) {
    m_retry->setSingleShot(true);
    connect(m_retry, &QTimer::timeout, this, [this] {
        if (!m_running)
            return;
        if (m_since.isEmpty())
            readSequence();
        else
            poll();
    });
    m_watchdog->setSingleShot(true);
    connect(m_watchdog, &QTimer::timeout, this, [this] {
        // An answer that never comes (a server that hangs) ends like a drop.
        if (m_reply)
            m_reply->abort();
    });
}

ChangeFeed::~ChangeFeed() {
    stop();
    if (m_server && m_manager)
        m_server->releaseFeedManager(m_manager);
}

void ChangeFeed::start() {
    if (m_running)
        return;
    m_running = true;
    if (m_since.isEmpty())
        readSequence();
    else
        poll();
}

void ChangeFeed::stop() {
    m_running = false;
    m_retry->stop();
    m_watchdog->stop();
    if (QNetworkReply* reply = m_reply) {
        m_reply = nullptr;
        reply->disconnect(this);
        reply->abort();
        reply->deleteLater();
    }
}

QNetworkReply* ChangeFeed::get(const QUrl& url) {
    QNetworkRequest request(url);
    request.setAttribute(QNetworkRequest::Http2AllowedAttribute, false);
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute,
                         QNetworkRequest::AlwaysNetwork);
    request.setRawHeader("Accept", "application/json");
    if (!m_server || !m_manager)
        return nullptr; // the server handle is closed: nothing to follow
    const QByteArray auth = m_server->authorizationHeader();
    if (!auth.isEmpty())
        request.setRawHeader("Authorization", auth);
    QNetworkReply* reply = m_manager->get(request);
    m_reply = reply;
    m_watchdog->start(kPollTimeoutMs + 10000);
    return reply;
}

void ChangeFeed::readSequence() {
    QNetworkReply* reply = get(m_dbUrl);
    if (!reply)
        return;
    connect(reply, &QNetworkReply::finished, this, [this, reply] {
        const std::optional<QJsonObject> info = takeAnswer(reply);
        if (!info)
            return;
        const QString seq = sequenceText(info->value(QStringLiteral("update_seq")));
        if (seq.isEmpty()) {
            failedAttempt();
            return;
        }
        m_since = seq;
        succeeded();
        if (m_running)
            poll();
    });
}

void ChangeFeed::poll() {
    QUrl url = QUrl::fromEncoded(m_dbUrl.toEncoded() + "/_changes");
    QString query = QStringLiteral("feed=longpoll&timeout=%1&since=%2")
                        .arg(kPollTimeoutMs)
                        .arg(QString::fromLatin1(QUrl::toPercentEncoding(m_since)));
    if (m_includeDocs)
        query += QStringLiteral("&include_docs=true");
    url.setQuery(query);
    QNetworkReply* reply = get(url);
    if (!reply)
        return;
    connect(reply, &QNetworkReply::finished, this, [this, reply] {
        const std::optional<QJsonObject> taken = takeAnswer(reply);
        if (!taken)
            return;
        const QJsonObject& answer = *taken;
        if (!answer.contains(QStringLiteral("results"))) {
            failedAttempt();
            return;
        }
        const QString last = sequenceText(answer.value(QStringLiteral("last_seq")));
        if (!last.isEmpty())
            m_since = last;
        QPointer<ChangeFeed> self(this);
        succeeded();
        const QJsonArray results = answer.value(QStringLiteral("results")).toArray();
        if (self && !results.isEmpty())
            Q_EMIT changes(results);
        if (self && m_running && !m_reply)
            poll();
    });
}

std::optional<QJsonObject> ChangeFeed::takeAnswer(QNetworkReply* reply) {
    reply->deleteLater();
    // A request replaced by a restart answers to nobody.
    if (m_reply != reply)
        return std::nullopt;
    m_reply = nullptr;
    m_watchdog->stop();
    if (reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt() != 200) {
        failedAttempt();
        return std::nullopt;
    }
    return QJsonDocument::fromJson(reply->readAll()).object();
}

void ChangeFeed::failedAttempt() {
    if (!m_running)
        return;
    if (!m_failing && gCouchLogLevel >= 1)
        qWarning().noquote() << "Couch: change feed of"
                             << m_dbUrl.toDisplayString(QUrl::RemoveUserInfo)
                             << "lost; reconnecting";
    m_failing = true;
    m_retry->start(m_backoffMs);
    m_backoffMs = std::min(m_backoffMs * 2, kMaxBackoffMs);
}

void ChangeFeed::succeeded() {
    m_backoffMs = 50;
    if (m_failing) {
        m_failing = false;
        Q_EMIT reconnected();
    }
}
