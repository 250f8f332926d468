#include "services/WebSteps.h"

#include "records/ReplicatorViews.h"
#include "store/CouchDatabase.h"
#include "store/CouchDesignDocument.h"
#include "store/CouchDocument.h"
#include "store/CouchPersistentReplication.h"
#include "store/CouchQuery.h"
#include "store/CouchServer.h"
#include "store/DocumentRewrite.h"

#include <QJsonArray>

#include <memory>
#include <optional>

namespace trevok {

namespace {

// The server rewrites replication documents as they run: more reads are
// allowed than elsewhere.
constexpr int kReplicationAttempts = 3;

std::optional<QList<CouchQueryRow>>
replicationRows(const StoreSession& session, records::ReplicatorView (*viewOf)(ServerGeneration),
                const QString& key, QString* error) {
    const records::ReplicatorView view = viewOf(session.server->generation());
    CouchDesignDocument* design =
        session.replicationDatabase->designDocumentWithName(records::replicatorDesignName());
    const auto run = [&]() {
        std::unique_ptr<CouchQuery> query = design->queryViewNamed(view.name);
        query->setDescending(false);
        query->setStartKey(key);
        query->setEndKey(key);
        auto rows = query->rowsAndWait();
        if (!rows)
            *error = query->error();
        return rows;
    };
    // The view is written only where it is missing: a step that finds its
    // piece right writes nothing, the bookkeeping included.
    if (auto rows = run())
        return rows;
    design->defineViewNamed(view.name, view.map);
    error->clear();
    return run();
}

void dropServerReports(QJsonObject& body) {
    for (const QString& key : body.keys()) {
        if (key.startsWith(QLatin1String("_replication_")))
            body.remove(key);
    }
}

void removeReplication(const StoreSession& session, const QString& id, Provisioned& report) {
    if (id.isEmpty())
        return;
    QString error;
    if (deleteDocumentAndWait(session.replicationDatabase->documentWithID(id), &error, {},
                              kReplicationAttempts) == Rewrite::Failed)
        report.fail(QStringLiteral("Removing the replication %1").arg(quoted(id)), error);
}

} // namespace

QString Provisioned::failureText() const {
    QStringList lines;
    for (const OperationFailure& failure : failures)
        lines.append(failure.step + QStringLiteral(": ") + failure.error);
    return lines.join(QLatin1Char('\n'));
}

CouchPersistentReplication* Provisioned::replication(const QString& source,
                                                     const QString& target) const {
    for (CouchPersistentReplication* made : replications) {
        if (made->source() == source && made->target() == target)
            return made;
    }
    return nullptr;
}

bool replicationStopped(const QJsonObject& body) {
    const QString state = body.value(QStringLiteral("_replication_state")).toString();
    return state == QLatin1String("error") || state == QLatin1String("failed");
}

QString quoted(const QString& text) {
    return QStringLiteral("“") + text + QStringLiteral("”");
}

Ensured ensureDatabaseAndWait(CouchServer* server, const QString& name, Provisioned& report) {
    RESTOperationPtr created = server->databaseNamed(name)->create();
    if (created->wait()) {
        report.mended.append(QStringLiteral("the database %1").arg(quoted(name)));
        return Ensured::Made;
    }
    if (created->httpStatus() == 412)
        return Ensured::AlreadySo;
    report.fail(QStringLiteral("Creating the database %1").arg(quoted(name)), created->error());
    return Ensured::Failed;
}

Ensured ensureSecurityAndWait(CouchServer* server, const QString& name, const QJsonObject& security,
                              Provisioned& report) {
    CouchDatabase* database = server->databaseNamed(name);
    RESTOperationPtr read = database->security();
    if (read->wait() && read->responseBody().toObject() == security)
        return Ensured::AlreadySo;
    RESTOperationPtr written = database->putSecurity(security);
    if (!written->wait()) {
        report.fail(QStringLiteral("Securing the database %1").arg(quoted(name)), written->error());
        return Ensured::Failed;
    }
    report.mended.append(QStringLiteral("who may read %1").arg(quoted(name)));
    return Ensured::Made;
}

Ensured ensureDesignMembersAndWait(CouchDocument* design, const QJsonObject& views,
                                   const QJsonObject& filters, const QString& what,
                                   Provisioned& report) {
    QString error;
    const Rewrite written = ensureDocumentAndWait(
        design,
        [&](QJsonObject& body) {
            bool changed = false;
            const auto merge = [&](const QString& member, const QJsonObject& wanted) {
                QJsonObject current = body.value(member).toObject();
                for (auto it = wanted.begin(); it != wanted.end(); ++it) {
                    if (current.value(it.key()) == it.value())
                        continue;
                    current.insert(it.key(), it.value());
                    changed = true;
                }
                if (!wanted.isEmpty())
                    body.insert(member, current);
            };
            merge(QStringLiteral("views"), views);
            merge(QStringLiteral("filters"), filters);
            return changed;
        },
        &error);
    switch (written) {
    case Rewrite::Unchanged:
        return Ensured::AlreadySo;
    case Rewrite::Written:
        report.mended.append(what);
        return Ensured::Made;
    case Rewrite::Gone:
        if (error.isEmpty())
            error = QStringLiteral("not_found: the database does not exist");
        break;
    case Rewrite::Failed:
        break;
    }
    report.fail(QStringLiteral("Storing %1").arg(what), error);
    return Ensured::Failed;
}

QJsonObject ReplicationSpec::body(const CouchServer* server) const {
    QJsonObject body{{QStringLiteral("source"), server->replicationEndpoint(source)},
                     {QStringLiteral("target"), server->replicationEndpoint(target)}};
    if (!filter.isEmpty())
        body.insert(QStringLiteral("filter"), filter);
    if (continuous)
        body.insert(QStringLiteral("continuous"), true);
    return body;
}

QString ReplicationSpec::words() const {
    return QStringLiteral("the replication from %1 to %2").arg(quoted(source), quoted(target));
}

Ensured ensureReplicationAndWait(const StoreSession& session, const ReplicationSpec& spec,
                                 Provisioned& report) {
    QString listError;
    const auto rows =
        replicationRows(session, &records::replicationsBySourceWithTarget, spec.source, &listError);
    if (!rows) {
        report.fail(QStringLiteral("Finding the replications from %1").arg(quoted(spec.source)),
                    listError);
        return Ensured::Failed;
    }
    QStringList existing;
    for (const CouchQueryRow& row : *rows) {
        const QJsonArray value = row.value().toArray();
        if (value.at(0).toString() == spec.target && !value.at(1).toString().isEmpty())
            existing.append(value.at(1).toString());
    }
    if (!existing.isEmpty()) {
        // The one the console made: its settings as they should be. The
        // server's own fields stay; changed settings restart it.
        const QJsonObject wanted = spec.body(session.server);
        QString error;
        const Rewrite written = rewriteDocumentAndWait(
            session.replicationDatabase->documentWithID(existing.first()),
            [&wanted](QJsonObject& body) {
                // One that stopped for good (its database was missing, say)
                // is not tried again by every server: written without the
                // server's reports, it starts afresh from its checkpoint.
                bool changed = replicationStopped(body);
                if (changed)
                    dropServerReports(body);
                // The ends too: where they carry the replication account, a
                // new password of it is written into every document.
                for (const QString& key : {QStringLiteral("filter"), QStringLiteral("continuous"),
                                           QStringLiteral("source"), QStringLiteral("target")}) {
                    if (body.value(key) == wanted.value(key))
                        continue;
                    if (wanted.contains(key))
                        body.insert(key, wanted.value(key));
                    else
                        body.remove(key);
                    changed = true;
                }
                return changed;
            },
            &error, kReplicationAttempts);
        switch (written) {
        case Rewrite::Unchanged:
            return Ensured::AlreadySo;
        case Rewrite::Written:
            report.mended.append(spec.words());
            return Ensured::Made;
        case Rewrite::Failed:
            report.fail(QStringLiteral("Correcting %1").arg(spec.words()), error);
            return Ensured::Failed;
        case Rewrite::Gone:
            break; // removed meanwhile: made anew below
        }
    }
    CouchPersistentReplication* replication =
        session.server->databaseNamed(spec.target)->replicationFromDatabaseAtURL(spec.source);
    replication->setFilter(spec.filter);
    replication->setContinuous(spec.continuous);
    RESTOperationPtr started = replication->start();
    if (!started->wait()) {
        report.fail(QStringLiteral("Creating %1").arg(spec.words()), started->error());
        return Ensured::Failed;
    }
    report.mended.append(spec.words());
    report.replications.append(replication);
    return Ensured::Made;
}

void removeReplicationsFromAndWait(const StoreSession& session, const QString& database,
                                   const QString& onlyTo, Provisioned& report) {
    QString listError;
    const auto rows =
        replicationRows(session, &records::replicationsBySourceWithTarget, database, &listError);
    if (!rows) {
        report.fail(QStringLiteral("Finding the replications from %1").arg(quoted(database)),
                    listError);
        return;
    }
    for (const CouchQueryRow& row : *rows) {
        const QJsonArray value = row.value().toArray();
        if (onlyTo.isEmpty() || value.at(0).toString() == onlyTo)
            removeReplication(session, value.at(1).toString(), report);
    }
}

void removeReplicationsIntoAndWait(const StoreSession& session, const QString& database,
                                   Provisioned& report) {
    QString listError;
    const auto rows =
        replicationRows(session, &records::replicationsByTarget, database, &listError);
    if (!rows) {
        report.fail(QStringLiteral("Finding the replications into %1").arg(quoted(database)),
                    listError);
        return;
    }
    for (const CouchQueryRow& row : *rows)
        removeReplication(session, row.value().toString(), report);
}

void removeDatabaseAndWait(const StoreSession& session, const QString& name, Provisioned& report) {
    // The replications first: one left without its database would fail for
    // good and say so on every tab.
    removeReplicationsFromAndWait(session, name, {}, report);
    removeReplicationsIntoAndWait(session, name, report);
    RESTOperationPtr dropped = session.server->databaseNamed(name)->DELETE();
    if (!dropped->wait() && dropped->httpStatus() != 404)
        report.fail(QStringLiteral("Deleting the database %1").arg(quoted(name)), dropped->error());
}

} // namespace trevok
