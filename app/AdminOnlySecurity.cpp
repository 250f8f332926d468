#include "app/AdminOnlySecurity.h"

#include "store/CouchResource.h"
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
    CouchResource* security =
        server->childWithPath(couchEncodedSegment(databaseName) + QStringLiteral("/_security"));
    RESTOperationPtr read = security->GET();
    if (read->wait() && read->responseBody().toObject() == adminOnlySecurity())
        return {};
    RESTOperationPtr written = security->PUTJSON(adminOnlySecurity());
    if (!written->wait())
        return written->error();
    return {};
}

} // namespace trevok
