#include "store/CouchDocument.h"

#include "store/CouchDatabase.h"
#include "store/CouchServer.h"
#include "store/StoreLog.h"

#include <QDebug>
#include <QJsonDocument>

namespace {

QString encodedDocumentPath(const QString& id) {
    // Design and local documents keep their prefix as a path of its own; the
    // rest of the ID is one segment like any other ID.
    for (const QString& prefix : {QStringLiteral("_design/"), QStringLiteral("_local/")}) {
        if (id.startsWith(prefix))
            return prefix + couchEncodedSegment(id.mid(prefix.size()));
    }
    return couchEncodedSegment(id);
}

} // namespace

int couchRevisionGeneration(const QString& rev) {
    const int dash = rev.indexOf(QLatin1Char('-'));
    if (dash <= 0)
        return 0;
    bool ok = false;
    const int generation = rev.left(dash).toInt(&ok);
    return ok ? generation : 0;
}

CouchDocument::CouchDocument(CouchDatabase* database, const QString& docID)
    : CouchResource(database->server(),
                    database->encodedPath() + QLatin1Char('/') + encodedDocumentPath(docID),
                    database)
    , m_database(database)
    , m_id(docID) {}

CouchDocument::~CouchDocument() = default;

void CouchDocument::setCache(std::optional<QJsonObject> body, const QString& rev, bool deleted) {
    const bool same = m_loaded && m_properties == body && m_rev == rev && m_deleted == deleted;
    m_loaded = true;
    m_properties = std::move(body);
    m_rev = rev;
    m_deleted = deleted;
    if (!same)
        Q_EMIT propertiesChanged();
}

RESTOperationPtr CouchDocument::reload() {
    RESTOperationPtr op = GET();
    op->whenSettled([doc = QPointer<CouchDocument>(this)](RESTOperation& done) {
        if (!doc)
            return;
        if (done.isSuccessful() && done.responseBody().isObject()) {
            const QJsonObject body = done.responseBody().toObject();
            doc->setCache(body, body.value(QStringLiteral("_rev")).toString(), false);
        } else if (done.httpStatus() == 404) {
            doc->setCache(std::nullopt, doc->m_deleted ? doc->m_rev : QString(), true);
        } else if (gCouchLogLevel >= 1) {
            qWarning().noquote() << "Couch: reading document" << doc->m_id
                                 << "failed:" << done.error();
        }
    });
    return op;
}

namespace {
StoredProperties storedFrom(const RESTOperation& read) {
    StoredProperties stored;
    if (read.isSuccessful() && read.responseBody().isObject()) {
        stored.status = StoredProperties::Found;
        stored.body = read.responseBody().toObject();
    } else if (read.httpStatus() == 404) {
        stored.status = StoredProperties::Missing;
    } else {
        stored.error = read.isSuccessful()
                           ? QStringLiteral("bad_reply: the server's answer is not a document")
                           : read.error();
    }
    return stored;
}
} // namespace

StoredProperties CouchDocument::readPropertiesAndWait() {
    RESTOperationPtr op = reload();
    op->wait();
    return storedFrom(*op);
}

void CouchDocument::readProperties(QObject* context,
                                   std::function<void(const StoredProperties&)> done) {
    reload()->onCompletion(context,
                           [done = std::move(done)](RESTOperation& op) { done(storedFrom(op)); });
}

std::optional<QJsonObject> CouchDocument::propertiesAndWait() {
    if (m_loaded && m_pendingWrites == 0)
        return m_properties;
    const StoredProperties stored = readPropertiesAndWait();
    if (!stored.found())
        return std::nullopt;
    return m_properties;
}

QJsonValue CouchDocument::propertyForKeyAndWait(const QString& key) {
    const auto body = propertiesAndWait();
    return body ? body->value(key) : QJsonValue(QJsonValue::Undefined);
}

void CouchDocument::trackWrite(const RESTOperationPtr& op) {
    ++m_pendingWrites;
    op->whenSettled([doc = QPointer<CouchDocument>(this)](RESTOperation&) {
        if (doc)
            --doc->m_pendingWrites;
    });
}

RESTOperationPtr CouchDocument::putProperties(const QJsonObject& properties) {
    return putComputed([properties] { return properties; });
}

RESTOperationPtr CouchDocument::putComputed(std::function<QJsonObject()> compute) {
    if (m_id == QStringLiteral(".") || m_id == QStringLiteral("..") || m_id.isEmpty())
        return RESTOperation::failed(
            QStringLiteral("illegal_docid: this document ID cannot be addressed"));
    QPointer<CouchDocument> self(this);
    auto sent = std::make_shared<QJsonObject>();
    auto prepare = [self, compute = std::move(compute), sent]() {
        QJsonObject body = compute();
        if (self) {
            body.insert(QStringLiteral("_id"), self->m_id);
            if (!self->m_rev.isEmpty() && !self->m_deleted)
                body.insert(QStringLiteral("_rev"), self->m_rev);
            else if (self->m_loaded)
                body.remove(QStringLiteral("_rev")); // known to be missing: a new document
        }
        *sent = body;
        return QJsonDocument(body).toJson(QJsonDocument::Compact);
    };
    RESTOperationPtr op = server()->enqueue("PUT", url(), {}, prepare);
    trackWrite(op);
    op->whenSettled([self, sent](RESTOperation& done) {
        if (!self)
            return;
        if (!done.isSuccessful()) {
            if (gCouchLogLevel >= 1)
                qWarning().noquote()
                    << "Couch: saving document" << self->m_id << "failed:" << done.error();
            return;
        }
        const QString rev = done.responseBody().toObject().value(QStringLiteral("rev")).toString();
        if (sent->value(QStringLiteral("_deleted")).toBool()) {
            self->setCache(std::nullopt, rev, true);
        } else {
            QJsonObject body = *sent;
            body.insert(QStringLiteral("_rev"), rev);
            self->setCache(body, rev, false);
        }
    });
    return op;
}

RESTOperationPtr CouchDocument::DELETE() {
    // Without a known revision the deletion would be refused as a conflict:
    // read the current one first (queued just ahead of the deletion).
    if (!m_loaded)
        reload();
    return putProperties(QJsonObject{{QStringLiteral("_deleted"), true}});
}

void CouchDocument::updateFromServer(const QJsonObject& body) {
    const QString rev = body.value(QStringLiteral("_rev")).toString();
    if (m_pendingWrites > 0)
        return;
    if (m_loaded && couchRevisionGeneration(rev) < couchRevisionGeneration(m_rev))
        return;
    setCache(body, rev, false);
}

void CouchDocument::markDeletedFromServer(const QString& rev) {
    if (m_pendingWrites > 0)
        return;
    if (m_loaded && !rev.isEmpty() && couchRevisionGeneration(rev) < couchRevisionGeneration(m_rev))
        return;
    setCache(std::nullopt, rev, true);
}
