#include "store/RESTOperation.h"

#include "store/CouchServer.h"

#include <QEventLoop>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QNetworkReply>
#include <QTimer>

RESTOperation::RESTOperation(CouchServer* server, QByteArray method, QUrl url, QByteArray body)
    : m_server(server)
    , m_method(std::move(method))
    , m_url(std::move(url))
    , m_body(std::move(body)) {}

RESTOperation::~RESTOperation() {
    if (m_reply) {
        m_reply->disconnect(this);
        m_reply->abort();
        m_reply->deleteLater();
    }
}

RESTOperationPtr RESTOperation::failed(const QString& error) {
    RESTOperationPtr op(new RESTOperation(nullptr, QByteArray(), QUrl(), QByteArray()));
    op->m_state = State::Finished;
    op->m_error = error;
    return op;
}

namespace {
QList<std::function<void(bool)>>& waitObservers() {
    static QList<std::function<void(bool)>> observers;
    return observers;
}
std::function<void(RESTOperation*)>& waitHook() {
    static std::function<void(RESTOperation*)> hook;
    return hook;
}
int g_waitDepth = 0;

void tellObservers(bool waiting) {
    // A copy: an observer may add another.
    const auto observers = waitObservers();
    for (const auto& observer : observers)
        observer(waiting);
}

// One wait: observers told around a local loop that holds back user input.
void runWaitLoop(QEventLoop& loop, RESTOperation* op) {
    ++g_waitDepth;
    tellObservers(true);
    if (waitHook())
        QTimer::singleShot(0, &loop, [op] {
            // A copy: the hook may replace itself.
            if (const auto hook = waitHook())
                hook(op);
        });
    loop.exec(QEventLoop::ExcludeUserInputEvents);
    --g_waitDepth;
    tellObservers(false);
}
} // namespace

void RESTOperation::addWaitObserver(std::function<void(bool)> observer) {
    waitObservers().append(std::move(observer));
}

int RESTOperation::waitDepth() {
    return g_waitDepth;
}

namespace {
std::function<void(RESTOperation*)>& replyHook() {
    static std::function<void(RESTOperation*)> hook;
    return hook;
}
} // namespace

void RESTOperation::setReplyHookForTesting(std::function<void(RESTOperation*)> hook) {
    replyHook() = std::move(hook);
}

void RESTOperation::runReplyHook(RESTOperation* op) {
    if (replyHook())
        replyHook()(op);
}

void RESTOperation::setWaitHookForTesting(std::function<void(RESTOperation*)> hook) {
    waitHook() = std::move(hook);
}

bool RESTOperation::wait() {
    if (m_state != State::Finished) {
        // Keeps this operation alive even if every other owner lets go of it.
        RESTOperationPtr self = shared_from_this();
        const int timeoutMs = m_server ? m_server->requestTimeout() : kRESTTimeoutMs;
        QEventLoop loop;
        connect(this, &RESTOperation::finished, &loop, &QEventLoop::quit);
        QTimer deadline;
        deadline.setSingleShot(true);
        connect(&deadline, &QTimer::timeout, &loop, &QEventLoop::quit);
        deadline.start(timeoutMs);
        if (m_state != State::Finished)
            runWaitLoop(loop, this);
        if (m_state != State::Finished && m_server) {
            // Also reached when the loop was ended from outside before the
            // deadline (an application asked to exit): the flow hears it.
            const QString why =
                deadline.isActive()
                    ? QStringLiteral("cancelled: the console stopped waiting for the server")
                    : QStringLiteral("timed out: no answer from the server within %1 s")
                          .arg(timeoutMs / 1000.0);
            m_server->cancelQueued(this, why);
        }
    }
    return isSuccessful();
}

bool RESTOperation::waitUntil(const std::function<bool()>& done, int timeoutMs, int pollMs) {
    if (done())
        return true;
    QEventLoop loop;
    QTimer poll;
    connect(&poll, &QTimer::timeout, &loop, [&] {
        if (done())
            loop.quit();
    });
    poll.start(pollMs);
    QTimer deadline;
    deadline.setSingleShot(true);
    connect(&deadline, &QTimer::timeout, &loop, &QEventLoop::quit);
    deadline.start(timeoutMs);
    runWaitLoop(loop, nullptr);
    return done();
}

bool RESTOperation::isSuccessful() const {
    return m_state == State::Finished && m_status >= 200 && m_status < 300;
}

QJsonValue RESTOperation::responseBody() const {
    if (!m_jsonParsed) {
        m_jsonParsed = true;
        QJsonParseError error;
        const QJsonDocument doc = QJsonDocument::fromJson(m_data, &error);
        if (error.error == QJsonParseError::NoError) {
            if (doc.isObject())
                m_json = doc.object();
            else if (doc.isArray())
                m_json = doc.array();
        } else {
            // Scalars are valid JSON replies too ("true", a number, a string).
            const QJsonDocument wrapped = QJsonDocument::fromJson("[" + m_data + "]", &error);
            if (error.error == QJsonParseError::NoError && wrapped.array().size() == 1)
                m_json = wrapped.array().at(0);
        }
    }
    return m_json;
}

void RESTOperation::onCompletion(QObject* context, std::function<void(RESTOperation&)> fn) {
    if (m_state == State::Finished) {
        fn(*this);
        return;
    }
    connect(
        this, &RESTOperation::finished, context, [this, fn = std::move(fn)] { fn(*this); },
        Qt::SingleShotConnection);
}

void RESTOperation::settle(int status, QByteArray data, QString error) {
    if (m_state == State::Finished)
        return;
    m_state = State::Finished;
    m_status = status;
    m_data = std::move(data);
    m_jsonParsed = false;
    if (error.isEmpty() && (status < 200 || status >= 300)) {
        const QJsonObject body = responseBody().toObject();
        const QString name = body.value(QStringLiteral("error")).toString();
        const QString reason = body.value(QStringLiteral("reason")).toString();
        if (!name.isEmpty() && !reason.isEmpty())
            error = name + QStringLiteral(": ") + reason;
        else if (!name.isEmpty())
            error = name;
        else
            error = QStringLiteral("HTTP status %1").arg(status);
    }
    m_error = error;
    // Keep this object alive through the callbacks even if they drop it.
    RESTOperationPtr self = shared_from_this();
    const auto completions = std::move(m_internalCompletions);
    for (const auto& fn : completions)
        fn(*this);
}

void RESTOperation::announce() {
    RESTOperationPtr self = shared_from_this();
    Q_EMIT finished();
}

void RESTOperation::whenSettled(std::function<void(RESTOperation&)> fn) {
    if (m_state == State::Finished)
        fn(*this);
    else
        m_internalCompletions.append(std::move(fn));
}
