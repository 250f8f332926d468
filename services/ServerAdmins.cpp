#include "services/ServerAdmins.h"

#include "store/CouchResource.h"
#include "store/CouchServer.h"

#include <QJsonArray>
#include <QStringList>

namespace trevok {

QString localConfigPath(const CouchServer* server) {
    return server->generation() == ServerGeneration::Clustered
               ? QStringLiteral("_node/_local/_config")
               : QStringLiteral("_config");
}

QString setServerAdminAndWait(CouchServer* server, const QString& name, const QString& password) {
    const QString below = QStringLiteral("/_config/admins/") + couchEncodedSegment(name);
    if (server->generation() == ServerGeneration::Classic) {
        RESTOperationPtr op = server->childWithPath(below.mid(1))->PUTJSON(password);
        return op->wait() ? QString() : op->error();
    }
    RESTOperationPtr members = server->GET(QStringLiteral("_membership"));
    if (!members->wait())
        return QStringLiteral("the server's nodes could not be listed: %1").arg(members->error());
    // Every node the cluster is made of, also one that is down now: the
    // administrator must exist wherever a request may land.
    const QJsonArray nodes =
        members->responseBody().toObject().value(QStringLiteral("cluster_nodes")).toArray();
    if (nodes.isEmpty())
        return QStringLiteral("the server listed no nodes");
    QStringList failed;
    for (const QJsonValue& node : nodes) {
        RESTOperationPtr op = server
                                  ->childWithPath(QStringLiteral("_node/") +
                                                  couchEncodedSegment(node.toString()) + below)
                                  ->PUTJSON(password);
        if (!op->wait())
            failed.append(QStringLiteral("the node “%1”: %2").arg(node.toString(), op->error()));
    }
    if (failed.isEmpty())
        return {};
    return QStringLiteral("not changed on %1").arg(failed.join(QStringLiteral("; ")));
}

} // namespace trevok
