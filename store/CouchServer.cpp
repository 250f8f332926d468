#include "store/CouchServer.h"

#include "store/CouchDatabase.h"
#include "store/CouchPersistentReplication.h"
#include "store/StoreLog.h"

#include <QDateTime>
#include <QDebug>
#include <QJsonArray>
#include <QNetworkAccessManager>
#include <QNetworkCookieJar>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>

namespace {

// The credential goes with every request; a session cookie picked up on the
// way must not outlive a change of credential.
class NoCookies : public QNetworkCookieJar {
public:
    using QNetworkCookieJar::QNetworkCookieJar;
    bool setCookiesFromUrl(const QList<QNetworkCookie>&, const QUrl&) override { return false; }
};

// Every manager of the server: requests go exactly where they are sent,
// with nothing but the credential to say who sends them.
QNetworkAccessManager* newManager(QObject* parent) {
    auto* manager = new QNetworkAccessManager(parent);
    manager->setCookieJar(new NoCookies(manager));
    manager->setRedirectPolicy(QNetworkRequest::ManualRedirectPolicy);
    return manager;
}

QString logUrl(const QUrl& url) {
    return url.toDisplayString(QUrl::RemoveUserInfo);
}

// "." and ".." cannot be sent as path segments, encoded or not: every HTTP
// stack resolves them, so a name that is exactly that would address the
// resource above it.
bool hasDotSegment(const QUrl& url) {
    const QStringList segments = url.path(QUrl::FullyEncoded).split(QLatin1Char('/'));
    for (const QString& segment : segments) {
        const QString decoded = QUrl::fromPercentEncoding(segment.toUtf8());
        if (decoded == QStringLiteral(".") || decoded == QStringLiteral(".."))
            return true;
    }
    return false;
}

} // namespace

QString couchEncodedSegment(const QString& name) {
    return QString::fromLatin1(QUrl::toPercentEncoding(name));
}

CouchServer::CouchServer(const QUrl& url, QObject* parent)
    : QObject(parent)
    , m_url(url)
    , m_manager(newManager(this)) {}

void CouchServer::setReplicationCredential(const QString& user, const QString& password) {
    m_replicationUser = user;
    m_replicationPassword = password;
}

QJsonValue CouchServer::replicationEndpoint(const QString& database) const {
    return replicationEndpointValue(m_generation, m_url, database, m_replicationUser,
                                    m_replicationPassword);
}

CouchServer::~CouchServer() {
    // Operations still held elsewhere finish as failed rather than hang.
    while (!m_queue.empty()) {
        RESTOperationPtr op = m_queue.front();
        m_queue.pop_front();
        op->settle(0, {}, QStringLiteral("the server handle was closed"));
        op->m_server = nullptr;
        op->announce();
    }
    if (m_current) {
        RESTOperationPtr op = std::move(m_current);
        if (op->m_reply) {
            op->m_reply->disconnect(this);
            op->m_reply->abort();
        }
        op->settle(0, {}, QStringLiteral("the server handle was closed"));
        op->m_server = nullptr;
        op->announce();
    }
}

void CouchServer::setCredential(const QString& user, const QString& password) {
    m_user = user;
    m_password = password;
}

QByteArray CouchServer::basicAuthorization(const QString& user, const QString& password) {
    if (user.isEmpty())
        return {};
    return "Basic " + (user + QLatin1Char(':') + password).toUtf8().toBase64();
}

QByteArray CouchServer::authorizationHeader() const {
    return basicAuthorization(m_user, m_password);
}

std::optional<QList<CouchDatabase*>> CouchServer::getDatabasesAndWait() {
    RESTOperationPtr op = GET(QStringLiteral("_all_dbs"));
    if (!op->wait() || !op->responseBody().isArray()) {
        m_lastError = op->error().isEmpty() ? QStringLiteral("bad_reply: not a list of databases")
                                            : op->error();
        if (gCouchLogLevel >= 1)
            qWarning().noquote() << "Couch: listing the databases failed:" << m_lastError;
        return std::nullopt;
    }
    m_lastError.clear();
    QList<CouchDatabase*> result;
    const QJsonArray names = op->responseBody().toArray();
    for (const QJsonValue& name : names)
        result.append(databaseNamed(name.toString()));
    return result;
}

CouchDatabase* CouchServer::databaseNamed(const QString& name) {
    CouchDatabase*& db = m_databases[name];
    if (!db)
        db = new CouchDatabase(this, name);
    return db;
}

CouchResource* CouchServer::childWithPath(const QString& path) {
    CouchResource*& resource = m_resources[path];
    if (!resource)
        resource = new CouchResource(this, path, this);
    return resource;
}

RESTOperationPtr CouchServer::GET(const QString& path) {
    return childWithPath(path)->GET();
}

int CouchServer::pendingOperations() const {
    return int(m_queue.size()) + (m_current ? 1 : 0);
}

RESTOperationPtr CouchServer::enqueue(const QByteArray& method, const QUrl& url,
                                      const QByteArray& body, std::function<QByteArray()> prepare,
                                      const QByteArray& authorization) {
    if (hasDotSegment(url))
        return RESTOperation::failed(
            QStringLiteral("illegal_name: a name may not be \".\" or \"..\""));
    RESTOperationPtr op(new RESTOperation(this, method, url, body));
    op->m_prepare = std::move(prepare);
    op->m_authorization = authorization;
    m_queue.push_back(op);
    if (!m_current)
        sendNext();
    return op;
}

ReplicatorWatcher* CouchServer::replicatorWatcher() {
    if (!m_replicatorWatcher)
        m_replicatorWatcher = new ReplicatorWatcher(this);
    return m_replicatorWatcher;
}

QNetworkAccessManager* CouchServer::acquireFeedManager() {
    for (FeedManager& entry : m_feedManagers) {
        if (entry.feeds < kFeedsPerManager) {
            ++entry.feeds;
            return entry.manager;
        }
    }
    QNetworkAccessManager* manager = newManager(this);
    m_feedManagers.append({manager, 1});
    return manager;
}

void CouchServer::releaseFeedManager(QNetworkAccessManager* manager) {
    for (qsizetype i = 0; i < m_feedManagers.size(); ++i) {
        if (m_feedManagers[i].manager != manager)
            continue;
        // An idle manager goes with its connections and HTTP thread.
        if (--m_feedManagers[i].feeds == 0) {
            m_feedManagers.removeAt(i);
            manager->deleteLater();
        }
        return;
    }
}

void CouchServer::sendNext() {
    if (m_current || m_queue.empty())
        return;
    m_current = m_queue.front();
    m_queue.pop_front();
    RESTOperation* op = m_current.get();
    if (op->m_prepare)
        op->m_body = op->m_prepare();

    QNetworkRequest request(op->m_url);
    request.setAttribute(QNetworkRequest::Http2AllowedAttribute, false);
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute,
                         QNetworkRequest::AlwaysNetwork);
    request.setRawHeader("Accept", "application/json");
    if (!op->m_body.isEmpty() || op->m_method == "PUT" || op->m_method == "POST")
        request.setHeader(QNetworkRequest::ContentTypeHeader,
                          QByteArrayLiteral("application/json"));
    const QByteArray auth =
        op->m_authorization.isEmpty() ? authorizationHeader() : op->m_authorization;
    if (!auth.isEmpty())
        request.setRawHeader("Authorization", auth);

    if (gRESTLogLevel >= 3)
        qInfo().noquote() << "REST:" << op->m_method << logUrl(op->m_url);
    op->m_state = RESTOperation::State::Sent;
    op->m_sentAtMs = QDateTime::currentMSecsSinceEpoch();
    QNetworkReply* reply = op->m_method == "GET" && op->m_body.isEmpty()
                               ? m_manager->get(request)
                               : m_manager->sendCustomRequest(request, op->m_method, op->m_body);
    op->m_reply = reply;
    connect(reply, &QNetworkReply::finished, this, [this, reply] {
        if (!m_current || m_current->m_reply != reply)
            return;
        RESTOperationPtr done = std::move(m_current);
        m_current.reset();
        const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        QString error;
        if (status == 0)
            error = reply->errorString();
        if (done->m_timer)
            done->m_timer->stop();
        if (gRESTLogLevel >= 3) {
            qInfo().noquote() << "REST:" << status << done->m_method << logUrl(done->m_url)
                              << QStringLiteral("(%1 ms)").arg(QDateTime::currentMSecsSinceEpoch() -
                                                               done->m_sentAtMs);
        } else if (gRESTLogLevel >= 1 && status == 0) {
            qWarning().noquote() << "REST:" << done->m_method << logUrl(done->m_url)
                                 << "failed:" << error;
        }
        RESTOperation::runReplyHook(done.get());
        const QByteArray data = reply->readAll();
        done->m_reply = nullptr;
        reply->deleteLater();
        done->settle(status, data, error);
        sendNext();
        done->announce();
    });
    if (!op->m_timer) {
        op->m_timer = new QTimer(op);
        op->m_timer->setSingleShot(true);
        connect(op->m_timer, &QTimer::timeout, this, [this, op] {
            cancelQueued(op, QStringLiteral("timed out: no answer from the server within %1 s")
                                 .arg(m_timeoutMs / 1000.0));
        });
    }
    op->m_timer->start(m_timeoutMs);
}

void CouchServer::cancelQueued(RESTOperation* op, const QString& error) {
    RESTOperationPtr held;
    if (m_current.get() == op) {
        held = std::move(m_current);
        m_current.reset();
        if (QNetworkReply* reply = held->m_reply) {
            held->m_reply = nullptr;
            reply->disconnect(this);
            reply->abort();
            reply->deleteLater();
        }
    } else {
        for (auto it = m_queue.begin(); it != m_queue.end(); ++it) {
            if (it->get() == op) {
                held = *it;
                m_queue.erase(it);
                break;
            }
        }
    }
    if (!held)
        return;
    if (held->m_timer)
        held->m_timer->stop();
    if (gRESTLogLevel >= 1)
        qWarning().noquote() << "REST:" << held->m_method << logUrl(held->m_url)
                             << "failed:" << error;
    held->settle(0, {}, error);
    sendNext();
    held->announce();
}
