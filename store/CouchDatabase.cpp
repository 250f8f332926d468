#include "store/CouchDatabase.h"

#include "store/CouchDesignDocument.h"
#include "store/CouchDocument.h"
#include "store/CouchPersistentReplication.h"
#include "store/CouchQuery.h"
#include "store/CouchServer.h"
#include "store/ReplicationEndpoint.h"

#include <QRegularExpression>
#include <QUuid>

CouchDatabase::CouchDatabase(CouchServer* server, const QString& name)
    : CouchResource(server, couchEncodedSegment(name), server)
    , m_name(name) {}

CouchDatabase::~CouchDatabase() = default;

CouchDatabase* CouchDatabase::databaseNamed(const QString& name, CouchServer* server) {
    return server ? server->databaseNamed(name) : nullptr;
}

bool CouchDatabase::isValidName(const QString& name) {
    // CouchDB's rule. The server's own databases ("_users", "_replicator")
    // are left to the server.
    static const QRegularExpression rule(QStringLiteral("^[a-z][a-z0-9_$()+/-]*$"));
    return name.startsWith(QLatin1Char('_')) || rule.match(name).hasMatch();
}

static RESTOperationPtr illegalName(const QString& name) {
    return RESTOperation::failed(
        QStringLiteral("illegal_database_name: Name: '%1'. Only lowercase characters (a-z), "
                       "digits (0-9), and any of the characters _, $, (, ), +, -, and / are "
                       "allowed. Must begin with a letter.")
            .arg(name));
}

RESTOperationPtr CouchDatabase::create() {
    // Checked here as well, so that a server that is lax about names (and may
    // map such a name onto another database's files) never gets to create or
    // delete a database that CouchDB would refuse.
    if (!isValidName(m_name))
        return illegalName(m_name);
    return request("PUT");
}

RESTOperationPtr CouchDatabase::DELETE() {
    if (!isValidName(m_name))
        return illegalName(m_name);
    RESTOperationPtr op = request("DELETE");
    op->whenSettled([db = QPointer<CouchDatabase>(this)](RESTOperation& done) {
        if (!db || !done.isSuccessful())
            return;
        // The documents are gone with the database; a database made again
        // under the same name starts without them.
        for (CouchDocument* doc : std::as_const(db->m_documents))
            doc->markDeletedFromServer(QString());
    });
    return op;
}

RESTOperationPtr CouchDatabase::security() {
    if (!isValidName(m_name))
        return illegalName(m_name);
    return request("GET", {}, {}, QStringLiteral("_security"));
}

RESTOperationPtr CouchDatabase::putSecurity(const QJsonObject& security) {
    if (!isValidName(m_name))
        return illegalName(m_name);
    return request("PUT", couchJsonBytes(security), {}, QStringLiteral("_security"));
}

CouchDocument* CouchDatabase::documentWithID(const QString& docID) {
    CouchDocument*& doc = m_documents[docID];
    if (!doc) {
        static const QString designPrefix = QStringLiteral("_design/");
        if (docID.startsWith(designPrefix))
            doc = new CouchDesignDocument(this, docID.mid(designPrefix.size()));
        else
            doc = new CouchDocument(this, docID);
    }
    return doc;
}

CouchDesignDocument* CouchDatabase::designDocumentWithName(const QString& name) {
    return static_cast<CouchDesignDocument*>(documentWithID(QStringLiteral("_design/") + name));
}

CouchDocument* CouchDatabase::untitledDocument() {
    return documentWithID(QUuid::createUuid().toString(QUuid::Id128));
}

std::unique_ptr<CouchQuery> CouchDatabase::getAllDocuments() {
    return std::make_unique<CouchQuery>(this, QStringLiteral("_all_docs"));
}

CouchPersistentReplication* CouchDatabase::replicationFromDatabaseAtURL(const QString& sourceName) {
    return new CouchPersistentReplication(server(), sourceName, m_name, this);
}

CouchPersistentReplication* CouchDatabase::replicationToDatabaseAtURL(const QString& targetName) {
    return new CouchPersistentReplication(server(), m_name, targetName, this);
}

QList<CouchPersistentReplication*> CouchDatabase::replicateWithURL(const QString& otherName,
                                                                   bool exclusively) {
    if (exclusively) {
        // Every other replication into or out of this database goes.
        auto query = server()->databaseNamed(QStringLiteral("_replicator"))->getAllDocuments();
        query->setPrefetch(true);
        if (const auto rows = query->rowsAndWait()) {
            for (const CouchQueryRow& row : *rows) {
                const QJsonObject doc = row.documentProperties().value_or(QJsonObject());
                const QString source =
                    replicationEndpointDatabase(doc.value(QStringLiteral("source")));
                const QString target =
                    replicationEndpointDatabase(doc.value(QStringLiteral("target")));
                const bool ours = source == m_name || target == m_name;
                const bool pair = (source == m_name && target == otherName) ||
                                  (source == otherName && target == m_name);
                if (ours && !pair && !row.documentID().startsWith(QStringLiteral("_design/")))
                    row.document()->DELETE();
            }
        }
    }
    CouchPersistentReplication* pull = replicationFromDatabaseAtURL(otherName);
    CouchPersistentReplication* push = replicationToDatabaseAtURL(otherName);
    pull->setContinuous(true);
    push->setContinuous(true);
    return {pull, push};
}
