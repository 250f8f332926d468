#include "services/ReplicationHealth.h"

#include "store/CouchDatabase.h"
#include "store/CouchDocument.h"
#include "store/CouchPersistentReplication.h"
#include "store/CouchServer.h"
#include "store/DocumentRewrite.h"
#include "store/ReplicationEndpoint.h"

#include <QDebug>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTimer>
#include <QUrl>

using trevok::health::ActiveTask;
using trevok::health::SyncKind;
using trevok::health::SyncState;

namespace {
QUrl below(const QUrl& base, const QString& path, const QString& query = {}) {
    QUrl url = base;
    QString basePath = url.path();
    if (!basePath.endsWith(QLatin1Char('/')))
        basePath += QLatin1Char('/');
    url.setPath(basePath + path);
    if (!query.isEmpty())
        url.setQuery(query);
    return url;
}

// Worse states first: the one a pair shows when it has several documents.
int severity(const SyncState& state) {
    switch (state.kind) {
    case SyncKind::Error:
        return 3;
    case SyncKind::Stopped:
        return 2;
    case SyncKind::Pending:
        return 1;
    case SyncKind::Running:
        break;
    }
    return 0;
}

constexpr int kRestartAttempts = 3;
} // namespace

ReplicationHealth::ReplicationHealth(CouchServer* server, QObject* parent)
    : QObject(parent)
    , m_server(server)
    , m_pollTimer(new QTimer(this)) {
    m_pollTimer->setInterval(kMinPollMs);
    connect(m_pollTimer, &QTimer::timeout, this, &ReplicationHealth::poll);
    ReplicatorWatcher* watcher = server->replicatorWatcher();
    connect(watcher, &ReplicatorWatcher::documentChanged, this,
            [this](const QString& id, const QJsonObject& body, bool deleted) {
                if (m_running)
                    apply(id, body, deleted);
            });
    // Changes made while the feed was away are read again.
    connect(watcher, &ReplicatorWatcher::reconnected, this, [this] {
        if (m_running)
            readAll();
    });
}

ReplicationHealth::~ReplicationHealth() {
    stop();
}

void ReplicationHealth::setPollInterval(int ms) {
    m_pollTimer->setInterval(std::max(ms, kMinPollMs));
}

void ReplicationHealth::start() {
    if (m_running || !m_server)
        return;
    m_running = true;
    // The feed first, so nothing written after the read below is missed.
    m_server->replicatorWatcher()->follow();
    readAll();
    poll();
    m_pollTimer->start();
}

void ReplicationHealth::stop() {
    if (!m_running)
        return;
    m_running = false;
    m_pollTimer->stop();
    if (m_server)
        m_server->replicatorWatcher()->unfollow();
}

QString ReplicationHealth::pairKey(const QString& source, const QString& target) {
    return source + QChar(0) + target;
}

void ReplicationHealth::readAll() {
    if (m_reading || !m_server)
        return;
    m_reading = true;
    RESTOperationPtr op =
        m_server->enqueue("GET", below(m_server->url(), QStringLiteral("_replicator/_all_docs"),
                                       QStringLiteral("include_docs=true")));
    op->onCompletion(this, [this](RESTOperation& done) {
        m_reading = false;
        if (!m_running)
            return;
        if (!done.isSuccessful()) {
            qWarning().noquote() << "Error: the replications could not be read:" << done.error();
            return;
        }
        QSet<QString> seen;
        const QJsonArray rows =
            done.responseBody().toObject().value(QStringLiteral("rows")).toArray();
        for (const QJsonValue& value : rows) {
            const QJsonObject row = value.toObject();
            const QString id = row.value(QStringLiteral("id")).toString();
            if (id.isEmpty() || id.startsWith(QStringLiteral("_design/")))
                continue;
            seen.insert(id);
            apply(id, row.value(QStringLiteral("doc")).toObject(), false);
        }
        // Documents removed while nobody listened.
        const QStringList known = m_replications.keys();
        for (const QString& id : known) {
            if (!seen.contains(id))
                apply(id, {}, true);
        }
        m_read = true;
        Q_EMIT totalsChanged();
    });
}

void ReplicationHealth::apply(const QString& id, const QJsonObject& body, bool deleted) {
    ++m_counters.documentsApplied;
    auto it = m_replications.find(id);
    if (deleted) {
        if (it == m_replications.end())
            return;
        const Replication gone = it.value();
        m_replications.erase(it);
        const QString key = pairKey(gone.source, gone.target);
        auto pair = m_pairs.find(key);
        if (pair != m_pairs.end()) {
            pair->remove(id);
            if (pair->isEmpty())
                m_pairs.erase(pair);
        }
        ++m_counters.announcements;
        Q_EMIT replicationChanged(gone.source, gone.target);
        recount();
        return;
    }
    const int generation = couchRevisionGeneration(body.value(QStringLiteral("_rev")).toString());
    // An older revision than one seen already (the first read and the feed cross).
    if (it != m_replications.end() && generation < it->generation)
        return;
    Replication next;
    next.source = replicationEndpointDatabase(body.value(QStringLiteral("source")));
    next.target = replicationEndpointDatabase(body.value(QStringLiteral("target")));
    next.generation = generation;
    next.state = body.value(QStringLiteral("_replication_state")).toString();
    next.reason = body.value(QStringLiteral("_replication_state_reason")).toString();
    if (it != m_replications.end()) {
        if (it->source != next.source || it->target != next.target) {
            auto pair = m_pairs.find(pairKey(it->source, it->target));
            if (pair != m_pairs.end()) {
                pair->remove(id);
                if (pair->isEmpty())
                    m_pairs.erase(pair);
            }
            Q_EMIT replicationChanged(it->source, it->target);
        } else if (it->state == next.state && it->reason == next.reason) {
            it->generation = generation;
            return;
        }
        next.display = it->display;
        next.hasDisplay = it->hasDisplay;
    }
    m_replications.insert(id, next);
    m_pairs[pairKey(next.source, next.target)].insert(id);
    refresh(id);
}

void ReplicationHealth::refresh(const QString& id) {
    auto it = m_replications.find(id);
    if (it == m_replications.end())
        return;
    const auto task = m_tasks.constFind(id);
    const auto scheduled = m_scheduled.constFind(id);
    // The scheduling replicator keeps its states out of the documents (only
    // "completed" and "failed" are written there): its report counts first.
    const SyncState display =
        scheduled != m_scheduled.constEnd() && it->state != QStringLiteral("completed") &&
                it->state != QStringLiteral("failed")
            ? trevok::health::syncState(*scheduled)
            : trevok::health::syncState(
                  it->state, it->reason,
                  task == m_tasks.constEnd() ? std::nullopt : std::optional<ActiveTask>(*task));
    if (it->hasDisplay && it->display == display)
        return;
    it->display = display;
    it->hasDisplay = true;
    ++m_counters.announcements;
    Q_EMIT replicationChanged(it->source, it->target);
    recount();
}

void ReplicationHealth::recount() {
    int running = 0;
    int errors = 0;
    for (const Replication& replication : std::as_const(m_replications)) {
        if (replication.display.kind == SyncKind::Error)
            ++errors;
        else if (replication.display.kind != SyncKind::Stopped)
            ++running;
    }
    if (running == m_runningCount && errors == m_errorCount)
        return;
    m_runningCount = running;
    m_errorCount = errors;
    Q_EMIT totalsChanged();
}

void ReplicationHealth::poll() {
    if (m_polling || !m_running || !m_server)
        return;
    m_polling = true;
    const bool scheduler = m_server->generation() == ServerGeneration::Clustered;
    RESTOperationPtr op = m_server->enqueue(
        "GET", below(m_server->url(), scheduler ? QStringLiteral("_scheduler/docs/_replicator")
                                                : QStringLiteral("_active_tasks")));
    op->onCompletion(this, [this, scheduler](RESTOperation& done) {
        m_polling = false;
        if (!m_running || !done.isSuccessful())
            return;
        if (scheduler)
            takeSchedule(done.responseData());
        else
            takeTasks(done.responseData());
    });
}

void ReplicationHealth::takeSchedule(const QByteArray& data) {
    if (data == m_lastTasks) {
        ++m_counters.pollsUnchanged;
        return;
    }
    m_lastTasks = data;
    ++m_counters.pollsParsed;
    QHash<QString, trevok::health::ScheduledDoc> scheduled;
    const QJsonArray entries =
        QJsonDocument::fromJson(data).object().value(QStringLiteral("docs")).toArray();
    scheduled.reserve(entries.size());
    for (const QJsonValue& value : entries) {
        if (auto doc = trevok::health::scheduledDocFrom(value.toObject()))
            scheduled.insert(doc->docId, *doc);
    }
    QSet<QString> touched;
    for (auto it = scheduled.cbegin(); it != scheduled.cend(); ++it) {
        const auto old = m_scheduled.constFind(it.key());
        if (old == m_scheduled.constEnd() || !(*old == *it))
            touched.insert(it.key());
    }
    for (auto it = m_scheduled.cbegin(); it != m_scheduled.cend(); ++it) {
        if (!scheduled.contains(it.key()))
            touched.insert(it.key());
    }
    m_scheduled = std::move(scheduled);
    for (const QString& id : std::as_const(touched))
        refresh(id);
}

void ReplicationHealth::takeTasks(const QByteArray& data) {
    // An idle server answers the same bytes poll after poll: nothing to parse.
    if (data == m_lastTasks) {
        ++m_counters.pollsUnchanged;
        return;
    }
    m_lastTasks = data;
    ++m_counters.pollsParsed;
    QHash<QString, ActiveTask> tasks;
    const QJsonArray entries = QJsonDocument::fromJson(data).array();
    tasks.reserve(entries.size());
    for (const QJsonValue& value : entries) {
        if (auto task = trevok::health::activeTaskFrom(value.toObject());
            task && !task->docId.isEmpty())
            tasks.insert(task->docId, *task);
    }
    QSet<QString> touched;
    for (auto it = tasks.cbegin(); it != tasks.cend(); ++it) {
        const auto old = m_tasks.constFind(it.key());
        if (old == m_tasks.constEnd() || old->changesPending != it->changesPending)
            touched.insert(it.key());
    }
    for (auto it = m_tasks.cbegin(); it != m_tasks.cend(); ++it) {
        if (!tasks.contains(it.key()))
            touched.insert(it.key());
    }
    m_tasks = std::move(tasks);
    for (const QString& id : std::as_const(touched))
        refresh(id);
}

std::optional<SyncState> ReplicationHealth::stateOf(const QString& source,
                                                    const QString& target) const {
    const auto pair = m_pairs.constFind(pairKey(source, target));
    if (pair == m_pairs.constEnd())
        return std::nullopt;
    std::optional<SyncState> worst;
    for (const QString& id : *pair) {
        const auto it = m_replications.constFind(id);
        if (it == m_replications.constEnd() || !it->hasDisplay)
            continue;
        if (!worst || severity(it->display) > severity(*worst))
            worst = it->display;
    }
    return worst;
}

QString ReplicationHealth::documentIdOf(const QString& source, const QString& target) const {
    const auto pair = m_pairs.constFind(pairKey(source, target));
    if (pair == m_pairs.constEnd())
        return {};
    QString chosen;
    int worst = -1;
    for (const QString& id : *pair) {
        const auto it = m_replications.constFind(id);
        if (it == m_replications.constEnd())
            continue;
        const int s = severity(it->display);
        if (s > worst || (s == worst && id < chosen)) {
            worst = s;
            chosen = id;
        }
    }
    return chosen;
}

bool ReplicationHealth::restart(const QString& documentId, QString* error) {
    if (!m_server) {
        *error = QStringLiteral("not connected to the server");
        return false;
    }
    CouchDocument* document =
        m_server->databaseNamed(QStringLiteral("_replicator"))->documentWithID(documentId);
    // The server writes its own reports into the document as it runs: the
    // write starts from what it holds at that moment.
    const Rewrite written = rewriteDocumentAndWait(
        document,
        [](QJsonObject& stored) {
            // The fields the console wrote; everything the server added goes.
            QJsonObject body;
            for (auto it = stored.constBegin(); it != stored.constEnd(); ++it) {
                if (!it.key().startsWith(QLatin1Char('_')))
                    body.insert(it.key(), it.value());
            }
            stored = body;
            return true;
        },
        error, kRestartAttempts);
    if (written == Rewrite::Gone)
        *error = QStringLiteral("the replication's document is gone");
    return written == Rewrite::Written;
}
