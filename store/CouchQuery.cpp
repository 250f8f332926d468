#include "store/CouchQuery.h"

#include "store/ChangeFeed.h"
#include "store/CouchDatabase.h"
#include "store/CouchDocument.h"
#include "store/CouchServer.h"
#include "store/StoreLog.h"

#include <QDebug>
#include <QJsonArray>
#include <QTimer>

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

std::optional<QList<CouchQueryRow>> CouchQuery::rowsAndWait() {
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
        m_feed = new ChangeFeed(m_database->server(), m_database->url(),
                                isIncremental() && m_prefetch, this);
        connect(m_feed, &ChangeFeed::changes, this, [this](const QJsonArray& results) {
            if (!applyChanges(results))
                changeArrived();
        });
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

std::optional<QList<CouchQueryRow>> CouchLiveQuery::rowsAndWait() {
    if (m_hasRows)
        return m_rows;
    if (m_inFlight) {
        RESTOperationPtr op = m_inFlight;
        op->wait();
        if (m_hasRows)
            return m_rows;
    }
    return CouchQuery::rowsAndWait();
}

bool CouchLiveQuery::isIncremental() const {
    return m_path == QStringLiteral("_all_docs") && m_limit < 0;
}

bool CouchLiveQuery::applyChanges(const QJsonArray& results) {
    if (!isIncremental() || !m_hasRows || m_inFlight || m_coalesce->isActive() || m_dirty)
        return false;
    // Rows of _all_docs are ordered by ID; keys are IDs.
    auto before = [this](const QString& a, const QString& b) {
        return m_descending ? b < a : a < b;
    };
    auto inRange = [&](const QString& id) {
        if (m_startKey.isString() && before(id, m_startKey.toString()))
            return false;
        if (m_endKey.isString() && before(m_endKey.toString(), id))
            return false;
        return true;
    };
    bool changed = false;
    for (const QJsonValue& value : results) {
        const QJsonObject change = value.toObject();
        const QString id = change.value(QStringLiteral("id")).toString();
        if (id.isEmpty() || !inRange(id))
            continue;
        const QString rev = change.value(QStringLiteral("changes"))
                                .toArray()
                                .at(0)
                                .toObject()
                                .value(QStringLiteral("rev"))
                                .toString();
        const bool deleted = change.value(QStringLiteral("deleted")).toBool();
        auto it = std::lower_bound(m_rows.begin(), m_rows.end(), id,
                                   [&](const CouchQueryRow& row, const QString& key) {
                                       return before(row.documentID(), key);
                                   });
        const bool present = it != m_rows.end() && it->documentID() == id;
        CouchDocument* doc = m_database->documentWithID(id);
        if (deleted) {
            doc->markDeletedFromServer(rev);
            if (present) {
                m_rows.erase(it);
                changed = true;
            }
            continue;
        }
        QJsonObject row{{QStringLiteral("id"), id},
                        {QStringLiteral("key"), id},
                        {QStringLiteral("value"), QJsonObject{{QStringLiteral("rev"), rev}}}};
        if (m_prefetch) {
            const QJsonObject body = change.value(QStringLiteral("doc")).toObject();
            row.insert(QStringLiteral("doc"), body);
            doc->updateFromServer(body);
        }
        CouchQueryRow newRow(m_database, row);
        if (present) {
            if (!(*it == newRow)) {
                *it = newRow;
                changed = true;
            }
        } else {
            m_rows.insert(it, newRow);
            changed = true;
        }
    }
    if (changed)
        Q_EMIT rowsChanged();
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
