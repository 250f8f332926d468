#pragma once

#include "store/CouchResource.h"

#include <QHash>
#include <QJsonObject>
#include <QList>
#include <QString>

#include <memory>

class CouchDesignDocument;
class CouchDocument;
class CouchPersistentReplication;
class CouchQuery;
class CouchServer;

// The handle of one database. Made by CouchServer::databaseNamed(), which owns
// it; its URL is the server's URL plus the name encoded as one path segment.
class CouchDatabase : public CouchResource {
    Q_OBJECT
public:
    CouchDatabase(CouchServer* server, const QString& name);
    ~CouchDatabase() override;

    // The handle of database `name` on `server` (same as server->databaseNamed()).
    static CouchDatabase* databaseNamed(const QString& name, CouchServer* server);

    QString name() const { return m_name; }

    // A name CouchDB accepts for a database (a lower-case letter first, then
    // a-z 0-9 _ $ ( ) + - /); names starting with "_" are left to the server.
    static bool isValidName(const QString& name);

    // PUT: creates the database (412 "file_exists" when it exists); a name
    // that is not valid fails without a request ("illegal_database_name: …").
    RESTOperationPtr create();
    // DELETE: removes the database with all its documents.
    RESTOperationPtr DELETE() override;

    // GET _security: who may read and administer the database.
    RESTOperationPtr security();
    // PUT _security: replaces the database's security object.
    RESTOperationPtr putSecurity(const QJsonObject& security);

    // One handle per document ID, owned by the database; no request.
    CouchDocument* documentWithID(const QString& docID);
    // The design document "_design/" + name; one handle per name.
    CouchDesignDocument* designDocumentWithName(const QString& name);
    // A fresh document handle with a new random ID (nothing is written yet).
    CouchDocument* untitledDocument();

    // All documents (_all_docs), by ID.
    std::unique_ptr<CouchQuery> getAllDocuments();

    // Persistent replications: documents in the server's `_replicator` with
    // bare database names as `source` and `target`. The document is written
    // later (see CouchPersistentReplication): set filter and continuity right
    // after this call, before any wait.
    // Pulls `sourceName` into this database.
    CouchPersistentReplication* replicationFromDatabaseAtURL(const QString& sourceName);
    // Pushes this database into `targetName`.
    CouchPersistentReplication* replicationToDatabaseAtURL(const QString& targetName);
    // Both directions, continuous: element 0 pulls `otherName` into this
    // database, element 1 pushes this one into it. `exclusively` true also
    // deletes every other replication between this database and any other;
    // false leaves all other replications alone.
    QList<CouchPersistentReplication*> replicateWithURL(const QString& otherName, bool exclusively);

    // Documents of this database already loaded by the store (for tests).
    int loadedDocumentCount() const { return int(m_documents.size()); }

private:
    QString m_name;
    QHash<QString, CouchDocument*> m_documents;
};
