#pragma once

#include "store/CouchResource.h"

#include <QJsonObject>
#include <QJsonValue>
#include <QString>

#include <functional>
#include <optional>

class CouchDatabase;
class CouchModel;

// A document read as the server holds it: found with its body, missing (not
// there, deleted, or its database gone), or failed (anything else, with the
// request's error text).
struct StoredProperties {
    enum Status { Found, Missing, Failed };
    Status status = Failed;
    QJsonObject body;
    QString error;
    bool found() const { return status == Found; }
};

// The handle of one document (one per ID per database; the database owns it).
// It caches the body last read or written; every write sends the revision
// known when the write is sent, so writes queued back to back on the same
// document all succeed in order.
class CouchDocument : public CouchResource {
    Q_OBJECT
public:
    CouchDocument(CouchDatabase* database, const QString& docID);
    ~CouchDocument() override;

    QString documentID() const { return m_id; }
    CouchDatabase* database() const { return m_database; }

    // The stored body (with _id and _rev): the cached one, or, when none is
    // cached or writes of this document are still pending, read and waited
    // for (so writes queued before are applied first); std::nullopt when the
    // document is missing or deleted, or the read failed.
    std::optional<QJsonObject> propertiesAndWait();
    // One member of propertiesAndWait() (undefined when absent).
    QJsonValue propertyForKeyAndWait(const QString& key);
    // Reads the body as the server holds it now, waiting for the answer; the
    // cache follows.
    StoredProperties readPropertiesAndWait();
    // The same without waiting: `done` gets the result once it is known, as
    // long as `context` lives.
    void readProperties(QObject* context, std::function<void(const StoredProperties&)> done);
    // The cached body without any request (std::nullopt when none is cached).
    std::optional<QJsonObject> cachedProperties() const { return m_properties; }
    bool hasCachedProperties() const { return m_loaded; }
    // Queues a GET that replaces the cached body.
    RESTOperationPtr reload();

    // The revision last read or written ("" when unknown).
    QString currentRevisionID() const { return m_rev; }
    bool isDeleted() const { return m_deleted; }

    // Writes the whole body. `_id` is set to this document's ID and `_rev` to
    // the revision known when the request is sent; `_deleted` true deletes the
    // document. On success the cached body and revision follow.
    RESTOperationPtr putProperties(const QJsonObject& properties);
    // Deletes the document (with the revision known at send time; when none is
    // known a read is queued first).
    RESTOperationPtr DELETE() override;

    // The model made for this document, if any (see CouchModel).
    CouchModel* modelObject() const { return m_model; }

    // ---- used by the store's own classes ----
    // Takes a body seen elsewhere (query rows, change feeds) unless it is
    // older than the revision known here or writes are pending.
    void updateFromServer(const QJsonObject& body);
    void markDeletedFromServer(const QString& rev);
    void setModelObject(CouchModel* model) { m_model = model; }
    int pendingWrites() const { return m_pendingWrites; }

Q_SIGNALS:
    // The cached body changed (a read, a write of ours, a query row, a change feed).
    void propertiesChanged();

protected:
    // A write whose body is computed right before it is sent.
    RESTOperationPtr putComputed(std::function<QJsonObject()> compute);

private:
    void setCache(std::optional<QJsonObject> body, const QString& rev, bool deleted);
    void trackWrite(const RESTOperationPtr& op);

    CouchDatabase* m_database;
    QString m_id;
    std::optional<QJsonObject> m_properties;
    QString m_rev;
    bool m_loaded = false;
    bool m_deleted = false;
    int m_pendingWrites = 0;
    CouchModel* m_model = nullptr;
};

// Revision generation ("3-abc" gives 3; 0 when not a revision).
int couchRevisionGeneration(const QString& rev);
