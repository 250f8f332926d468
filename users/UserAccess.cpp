#include "users/UserAccess.h"

#include "records/UserNames.h"
#include "store/CouchDatabase.h"
#include "store/CouchDesignDocument.h"
#include "store/CouchDocument.h"
#include "store/CouchServer.h"

namespace trevok::users {

namespace {
CouchDocument* designOf(CouchServer* server, const QString& userName) {
    return server->databaseNamed(userDatabaseName(userName))
        ->designDocumentWithName(QLatin1String(kSecurityDesignName));
}
} // namespace

Rewrite grantProjectsAndWait(CouchServer* server, const QString& userName,
                             const QStringList& projectIDs, QString* error) {
    const Rewrite written = ensureDocumentAndWait(
        designOf(server, userName),
        [&](QJsonObject& body) { return applyUserDesign(body, userName, projectIDs); }, error);
    if (written == Rewrite::Gone && error->isEmpty())
        *error = QStringLiteral("not_found: the database “%1” does not exist")
                     .arg(userDatabaseName(userName));
    return written;
}

void grantProjects(CouchServer* server, const QString& userName,
                   std::function<QStringList()> projectIDs, QObject* context,
                   std::function<void(Rewrite, const QString& error)> done) {
    ensureDocument(
        designOf(server, userName),
        [userName, projectIDs = std::move(projectIDs)](QJsonObject& body) {
            return applyUserDesign(body, userName, projectIDs());
        },
        kRewriteAttempts, context, std::move(done));
}

} // namespace trevok::users
