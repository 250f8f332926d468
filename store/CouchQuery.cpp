#include "store/CouchQuery.h"

#include "store/ChangeFeed.h"
#include "store/CouchDatabase.h"
#include "store/CouchDocument.h"
#include "store/CouchServer.h"
#include "store/StoreLog.h"

#include <QDebug>
#include <QJsonArray>
#include <QPointer>

#include <QTimer>
#include <algorithm>

namespace {
// Changes arriving together give one run.
constexpr int kLiveQueryCoalesceMs = 5;
} // namespace

CouchQueryRow::CouchQueryRow(CouchDatabase* database, const QJsonObject& row)
    : m_database(database)
    , m_row(row) {}

CouchDocument* CouchQueryRow::document() const {
    const QString id = documentID();
    if (!m_database || id.isEmpty())
        return nullptr;
    return m_database->documentWithID(id);
}

std::optional<QJsonObject> CouchQueryRow::documentProperties() const {
    const QJsonValue doc = m_row.value(QStringLiteral("doc"));
    if (!doc.isObject())
        return std::nullopt;
    return doc.toObject();
}

CouchQuery::CouchQuery(CouchDatabase* database, const QString& encodedPath, QObject* parent)
    : QObject(parent)
    , m_database(database)
    , m_path(encodedPath) {}

CouchQuery::~CouchQuery() = default;

void CouchQuery::setCredential(const QString& user, const QString& password) {
    m_authorization = CouchServer::basicAuthorization(user, password);
}

std::unique_ptr<CouchLiveQuery> CouchQuery::asLiveQuery() const {
    auto live = std::make_unique<CouchLiveQuery>(m_database, m_path);
    live->m_startKey = m_startKey;
    live->m_endKey = m_endKey;
    live->m_descending = m_descending;
    live->m_prefetch = m_prefetch;
    live->m_limit = m_limit;
    live->m_authorization = m_authorization;
    return live;
}

RESTOperationPtr CouchQuery::run() {
    QStringList query;
    auto add = [&query](const QString& key, const QByteArray& value) {
        query.append(key + QLatin1Char('=') +
                     QString::fromLatin1(QUrl::toPercentEncoding(QString::fromUtf8(value))));
    };
    if (m_descending)
        add(QStringLiteral("descending"), "true");
    if (m_prefetch)
        add(QStringLiteral("include_docs"), "true");
    if (!m_startKey.isUndefined())
        add(QStringLiteral("startkey"), couchJsonBytes(m_startKey));
    if (!m_endKey.isUndefined())
        add(QStringLiteral("endkey"), couchJsonBytes(m_endKey));
    if (m_limit >= 0)
        add(QStringLiteral("limit"), QByteArray::number(m_limit));
    QByteArray encoded = m_database->url().toEncoded() + '/' + m_path.toUtf8();
    if (!query.isEmpty())
        encoded += '?' + query.join(QLatin1Char('&')).toLatin1();
    return m_database->server()->enqueue("GET", QUrl::fromEncoded(encoded), {}, {},
                                         m_authorization);
}

bool CouchQuery::takeResult(RESTOperation& op) {
    if (!op.isSuccessful() || !op.responseBody().isObject()) {
        m_lastError = op.error().isEmpty() ? QStringLiteral("bad_reply: no rows") : op.error();
        if (gCouchLogLevel >= 1)
            qWarning().noquote() << "Couch: query" << m_path << "of" << m_database->name()
                                 << "failed:" << m_lastError;
        return false;
    }
    m_lastError.clear();
    const QJsonArray array = op.responseBody().toObject().value(QStringLiteral("rows")).toArray();
    QList<CouchQueryRow> rows;
    rows.reserve(array.size());
    for (const QJsonValue& value : array) {
        const QJsonObject row = value.toObject();
        const QJsonValue doc = row.value(QStringLiteral("doc"));
        if (doc.isObject()) {
            const QString id = row.value(QStringLiteral("id")).toString();
            if (!id.isEmpty())
                m_database->documentWithID(id)->updateFromServer(doc.toObject());
        }
        rows.append(CouchQueryRow(m_database, row));
    }
    const bool changed = !m_hasRows || rows != m_rows;
    m_rows = std::move(rows);
    m_hasRows = true;
    return changed;
}

std::optional<QList<CouchQueryRow>> CouchQuery::rows() {
    RESTOperationPtr op = run();
    op->wait();
    if (!op->isSuccessful()) {
        takeResult(*op);
        return std::nullopt;
    }
    if (takeResult(*op))
        Q_EMIT rowsChanged();
    return m_rows;
}

RESTOperationPtr CouchQuery::start() {
    RESTOperationPtr op = run();
    op->onCompletion(this, [this](RESTOperation& done) {
        if (!done.isSuccessful()) {
            takeResult(done);
            Q_EMIT failed();
        } else if (takeResult(done)) {
            Q_EMIT rowsChanged();
        }
    });
    return op;
}

CouchLiveQuery::CouchLiveQuery(CouchDatabase* database, const QString& encodedPath, QObject* parent)
    : CouchQuery(database, encodedPath, parent)
    , m_coalesce(new QTimer(this)) {
    m_coalesce->setSingleShot(true);
    connect(m_coalesce, &QTimer::timeout, this, &CouchLiveQuery::reload);
}

CouchLiveQuery::~CouchLiveQuery() = default;

RESTOperationPtr CouchLiveQuery::start() {
    if (!m_feed) {
        const auto keyUsable = [](const QJsonValue& key) {
            return key.isUndefined() || key.isString();
        };
        m_incremental = m_path == QLatin1String("_all_docs") && m_limit < 0 &&
                        keyUsable(m_startKey) && keyUsable(m_endKey);
        m_feed = new ChangeFeed(m_database->server(), m_database->url(), m_incremental, this);
        connect(m_feed, &ChangeFeed::changes, this, &CouchLiveQuery::changesArrived);
        connect(m_feed, &ChangeFeed::reconnected, this, &CouchLiveQuery::changeArrived);
    }
    m_feed->start();
    reload();
    return m_inFlight;
}

void CouchLiveQuery::stop() {
    if (m_feed)
        m_feed->stop();
    m_coalesce->stop();
}

bool CouchLiveQuery::isFollowing() const {
    return m_feed && m_feed->isRunning();
}

std::optional<QList<CouchQueryRow>> CouchLiveQuery::rows() {
    if (m_hasRows)
        return m_rows;
    if (m_inFlight) {
        RESTOperationPtr op = m_inFlight;
        op->wait();
        if (m_hasRows)
            return m_rows;
    }
    return CouchQuery::rows();
}

void CouchLiveQuery::changesArrived(const QJsonArray& results) {
    // While a full run is due or under way, it brings these changes as well.
    if (!m_incremental || !m_hasRows || m_inFlight || m_dirty || m_coalesce->isActive()) {
        changeArrived();
        return;
    }
    bool changed = false;
    if (!applyChanges(results, &changed)) {
        changeArrived();
        return;
    }
    if (changed) {
        // Announced from the event loop, as after a run.
        QTimer::singleShot(0, this, [self = QPointer<CouchLiveQuery>(this)] {
            if (self)
                Q_EMIT self->rowsChanged();
        });
    }
}

bool CouchLiveQuery::inRange(const QString& id) const {
    const QJsonValue low = m_descending ? m_endKey : m_startKey;
    const QJsonValue high = m_descending ? m_startKey : m_endKey;
    if (low.isString() && id < low.toString())
        return false;
    if (high.isString() && id > high.toString())
        return false;
    return true;
}

bool CouchLiveQuery::applyChanges(const QJsonArray& results, bool* changed) {
    QList<CouchQueryRow> rows = m_rows;
    for (const QJsonValue& value : results) {
        const QJsonObject result = value.toObject();
        const QString id = result.value(QStringLiteral("id")).toString();
        if (id.isEmpty())
            return false;
        if (id.startsWith(QLatin1String("_local/")))
            continue;
        const bool deleted = result.value(QStringLiteral("deleted")).toBool();
        const QJsonValue doc = result.value(QStringLiteral("doc"));
        if (!deleted && !doc.isObject())
            return false;
        const QString rev = deleted ? result.value(QStringLiteral("changes"))
                                          .toArray()
                                          .first()
                                          .toObject()
                                          .value(QStringLiteral("rev"))
                                          .toString()
                                    : doc.toObject().value(QStringLiteral("_rev")).toString();

        // The rows are ordered by document ID: find where `id` is or belongs.
        const auto before = [this](const CouchQueryRow& row, const QString& key) {
            return m_descending ? row.documentID() > key : row.documentID() < key;
        };
        auto at = std::lower_bound(rows.begin(), rows.end(), id, before);
        const bool listed = at != rows.end() && at->documentID() == id;
        if (listed) {
            const QString known = at->value().toObject().value(QStringLiteral("rev")).toString();
            if (couchRevisionGeneration(known) > couchRevisionGeneration(rev))
                continue; // the row is newer than this report
        }
        if (deleted) {
            m_database->documentWithID(id)->markDeletedFromServer(rev);
            if (listed) {
                rows.erase(at);
                *changed = true;
            }
            continue;
        }
        if (!inRange(id))
            continue;
        QJsonObject row{{QStringLiteral("id"), id},
                        {QStringLiteral("key"), id},
                        {QStringLiteral("value"), QJsonObject{{QStringLiteral("rev"), rev}}}};
        if (m_prefetch) {
            row.insert(QStringLiteral("doc"), doc);
            m_database->documentWithID(id)->updateFromServer(doc.toObject());
        }
        CouchQueryRow next(m_database, row);
        if (listed) {
            if (*at == next)
                continue;
            *at = next;
        } else {
            rows.insert(at, next);
        }
        *changed = true;
    }
    if (*changed)
        m_rows = std::move(rows);
    return true;
}

void CouchLiveQuery::changeArrived() {
    if (m_inFlight)
        m_dirty = true;
    else if (!m_coalesce->isActive())
        m_coalesce->start(kLiveQueryCoalesceMs);
}

void CouchLiveQuery::reload() {
    if (m_inFlight) {
        m_dirty = true;
        return;
    }
    m_dirty = false;
    m_inFlight = run();
    m_inFlight->whenSettled([self = QPointer<CouchLiveQuery>(this)](RESTOperation& done) {
        if (!self)
            return;
        self->m_inFlight.reset();
        const bool ok = done.isSuccessful();
        const bool changed = self->takeResult(done);
        // Announced from the event loop: rows handlers must see a finished run.
        QTimer::singleShot(0, self, [self, ok, changed] {
            if (!self)
                return;
            if (!ok)
                Q_EMIT self->failed();
            else if (changed)
                Q_EMIT self->rowsChanged();
        });
        if (self->m_dirty)
            self->m_coalesce->start(kLiveQueryCoalesceMs);
    });
}
