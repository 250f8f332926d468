#include "store/CouchPersistentReplication.h"

#include "store/ChangeFeed.h"
#include "store/CouchDatabase.h"
#include "store/CouchDocument.h"
#include "store/CouchServer.h"

#include <QJsonArray>
#include <QTimer>

CouchPersistentReplication::CouchPersistentReplication(CouchServer* server, const QString& source,
                                                       const QString& target, QObject* parent)
    : QObject(parent)
    , m_server(server)
    , m_source(source)
    , m_target(target) {
    m_document = server->databaseNamed(QStringLiteral("_replicator"))->untitledDocument();
    // Until the server reports, the mode is unknown: its first report
    // (whatever it says) is then always announced.
    m_mode = ModeOffline;
    m_watcher = server->replicatorWatcher();
    m_watcher->add(this);
    QTimer::singleShot(0, this, [this] { start(); });
}

CouchPersistentReplication::~CouchPersistentReplication() {
    if (m_watcher)
        m_watcher->remove(this);
}

QJsonObject CouchPersistentReplication::documentBody() const {
    QJsonObject body{{QStringLiteral("source"),
                      m_server ? m_server->replicationEndpoint(m_source) : QJsonValue(m_source)},
                     {QStringLiteral("target"),
                      m_server ? m_server->replicationEndpoint(m_target) : QJsonValue(m_target)},
                     {QStringLiteral("continuous"), m_continuous}};
    if (!m_filter.isEmpty())
        body.insert(QStringLiteral("filter"), m_filter);
    if (!m_queryParams.isEmpty())
        body.insert(QStringLiteral("query_params"), m_queryParams);
    return body;
}

void CouchPersistentReplication::setFilter(const QString& filter) {
    if (filter == m_filter)
        return;
    m_filter = filter;
    settingsChanged();
}

void CouchPersistentReplication::setContinuous(bool continuous) {
    if (continuous == m_continuous)
        return;
    m_continuous = continuous;
    settingsChanged();
}

void CouchPersistentReplication::setQueryParams(const QJsonObject& params) {
    if (params == m_queryParams)
        return;
    m_queryParams = params;
    settingsChanged();
}

void CouchPersistentReplication::settingsChanged() {
    // Before the first write nothing is on the server yet; afterwards the
    // document is rewritten with the settings complete.
    if (m_writeOp)
        m_writeOp = m_document->putProperties(documentBody());
}

RESTOperationPtr CouchPersistentReplication::start() {
    if (!m_writeOp)
        m_writeOp = m_document->putProperties(documentBody());
    return m_writeOp;
}

void CouchPersistentReplication::updateFromDocument(const std::optional<QJsonObject>& body) {
    int state = m_state;
    int completed = m_completed;
    int total = m_total;
    QString error = m_error;
    int mode = ModeStopped;
    if (body) {
        const QString text = body->value(QStringLiteral("_replication_state")).toString();
        if (text == QStringLiteral("triggered"))
            state = StateTriggered;
        else if (text == QStringLiteral("completed"))
            state = StateCompleted;
        else if (text == QStringLiteral("error") || text == QStringLiteral("failed"))
            state = StateError;
        else
            state = StateIdle;
        const QJsonObject stats = body->value(QStringLiteral("_replication_stats")).toObject();
        if (!stats.isEmpty()) {
            completed = stats.value(QStringLiteral("docs_written")).toInt();
            total = stats.value(QStringLiteral("docs_read")).toInt();
        }
        error = state == StateError
                    ? body->value(QStringLiteral("_replication_state_reason")).toString()
                    : QString();
        mode = state == StateTriggered ? ModeActive : ModeStopped;
    }
    // Every value is in place before the first signal: observers read state().
    const bool stateDiffers = state != m_state;
    const bool completedDiffers = completed != m_completed;
    const bool totalDiffers = total != m_total;
    const bool errorDiffers = error != m_error;
    const bool modeDiffers = mode != m_mode;
    m_state = state;
    m_completed = completed;
    m_total = total;
    m_error = error;
    m_mode = mode;
    QPointer<CouchPersistentReplication> self(this);
    if (stateDiffers)
        Q_EMIT stateChanged();
    if (self && completedDiffers)
        Q_EMIT completedChanged();
    if (self && totalDiffers)
        Q_EMIT totalChanged();
    if (self && errorDiffers)
        Q_EMIT errorChanged();
    if (self && modeDiffers)
        Q_EMIT modeChanged();
}

ReplicatorWatcher::ReplicatorWatcher(CouchServer* server)
    : QObject(server)
    , m_server(server) {}

ReplicatorWatcher::~ReplicatorWatcher() = default;

void ReplicatorWatcher::add(CouchPersistentReplication* replication) {
    m_replications.insert(replication->document()->documentID(), replication);
    ensureFeed();
}

void ReplicatorWatcher::follow() {
    ++m_followers;
    ensureFeed();
}

void ReplicatorWatcher::unfollow() {
    if (m_followers > 0)
        --m_followers;
    if (m_followers == 0 && m_feed && m_replications.isEmpty())
        m_feed->stop();
}

void ReplicatorWatcher::ensureFeed() {
    if (!m_feed) {
        m_feed = new ChangeFeed(
            m_server, m_server->databaseNamed(QStringLiteral("_replicator"))->url(), true, this);
        connect(m_feed, &ChangeFeed::reconnected, this, &ReplicatorWatcher::reconnected);
        connect(m_feed, &ChangeFeed::changes, this, [this](const QJsonArray& results) {
            CouchDatabase* db = m_server->databaseNamed(QStringLiteral("_replicator"));
            QPointer<ReplicatorWatcher> self(this);
            for (const QJsonValue& value : results) {
                if (!self)
                    return;
                const QJsonObject change = value.toObject();
                const QString id = change.value(QStringLiteral("id")).toString();
                const bool deleted = change.value(QStringLiteral("deleted")).toBool();
                const QJsonObject body =
                    deleted ? QJsonObject() : change.value(QStringLiteral("doc")).toObject();
                if (!id.startsWith(QStringLiteral("_design/")))
                    Q_EMIT documentChanged(id, body, deleted);
                QPointer<CouchPersistentReplication> replication = m_replications.value(id);
                if (!replication)
                    continue;
                CouchDocument* doc = db->documentWithID(id);
                if (deleted) {
                    const QString rev = change.value(QStringLiteral("changes"))
                                            .toArray()
                                            .at(0)
                                            .toObject()
                                            .value(QStringLiteral("rev"))
                                            .toString();
                    doc->markDeletedFromServer(rev);
                    replication->updateFromDocument(std::nullopt);
                } else {
                    doc->updateFromServer(body);
                    replication->updateFromDocument(body);
                }
            }
        });
    }
    m_feed->start();
}

void ReplicatorWatcher::remove(CouchPersistentReplication* replication) {
    for (auto it = m_replications.begin(); it != m_replications.end();) {
        if (!it.value() || it.value() == replication)
            it = m_replications.erase(it);
        else
            ++it;
    }
}
