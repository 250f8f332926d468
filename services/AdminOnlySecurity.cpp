#include "services/AdminOnlySecurity.h"

#include "store/CouchDatabase.h"
#include "store/CouchServer.h"

#include <QJsonArray>

namespace trevok {

QJsonObject adminOnlySecurity() {
    return QJsonObject{
        {QStringLiteral("admins"), QJsonObject{{QStringLiteral("names"), QJsonArray()},
                                               {QStringLiteral("roles"), QJsonArray()}}},
        {QStringLiteral("members"),
         QJsonObject{{QStringLiteral("names"), QJsonArray()},
                     {QStringLiteral("roles"), QJsonArray{QStringLiteral("_admin")}}}},
    };
}

QString secureForAdministrators(CouchServer* server, const QString& databaseName) {
    CouchDatabase* database = server->databaseNamed(databaseName);
    RESTOperationPtr read = database->security();
    if (read->wait() && read->responseBody().toObject() == adminOnlySecurity())
        return {};
    RESTOperationPtr written = database->putSecurity(adminOnlySecurity());
    if (!written->wait())
        return written->error();
    return {};
}

} // namespace trevok
