#pragma once

#include "store/OperationGroup.h"

#include <QJsonObject>
#include <QList>
#include <QString>
#include <QStringList>

class CouchDatabase;
class CouchDocument;
class CouchPersistentReplication;
class CouchServer;

// The steps every change of the web is made of. Each makes sure that one
// piece is so: it reads what the server holds, writes only what is missing or
// different, and waits. Running a step again after it stopped anywhere
// completes it; a piece already right costs one read and no write.
namespace trevok {

// The server and the database handles the logged-in console holds.
struct StoreSession {
    CouchServer* server = nullptr;
    CouchDatabase* userDatabase = nullptr;        // "_users"
    CouchDatabase* replicationDatabase = nullptr; // "_replicator"
    CouchDatabase* trevokMasterDB = nullptr;      // "trevok_master"
};

// What an operation did, in words: the pieces it found missing or different
// and made right, and the steps that failed with the server's reason.
struct Provisioned {
    QStringList mended;
    QList<OperationFailure> failures;
    // The handles of the replications it made anew.
    QList<CouchPersistentReplication*> replications;
    bool ok() const { return failures.isEmpty(); }
    void fail(const QString& step, const QString& error) { failures.append({step, error}); }
    void add(const Provisioned& other) {
        mended += other.mended;
        failures += other.failures;
        replications += other.replications;
    }
    // The replication made anew from `source` to `target` (nullptr: none).
    CouchPersistentReplication* replication(const QString& source, const QString& target) const;
    // The failures, one line each ("" when none).
    QString failureText() const;
};

enum class Ensured { AlreadySo, Made, Failed };

// `text` in the console's quotation marks.
QString quoted(const QString& text);

// The database exists (one that exists already is kept with all it holds).
Ensured ensureDatabaseAndWait(CouchServer* server, const QString& name, Provisioned& report);
// The database's security object is `security`.
Ensured ensureSecurityAndWait(CouchServer* server, const QString& name, const QJsonObject& security,
                              Provisioned& report);

// The design document holds the views (name → map text) and filters (name →
// source) given, beside members of its own; `what` names it in the report.
Ensured ensureDesignMembersAndWait(CouchDocument* design, const QJsonObject& views,
                                   const QJsonObject& filters, const QString& what,
                                   Provisioned& report);

// A persistent replication as the console makes it: its two databases, the
// filter in the source's design document ("" for none).
struct ReplicationSpec {
    QString source;
    QString target;
    QString filter;
    bool continuous = true;
    // The document body the console writes for it on `server`.
    QJsonObject body(const CouchServer* server) const;
    // How the administrator reads it: "the replication from “a” to “b”".
    QString words() const;
};
// Whether a replication document says the server has stopped it for good
// (`_replication_state` "error" or "failed"): not every server tries it again
// by itself.
bool replicationStopped(const QJsonObject& body);
// The replication from `spec.source` to `spec.target` exists with the
// filter and continuity of `spec`, and runs: one with other settings is
// rewritten, one stopped for good is written anew without the server's
// reports (which starts it again), none is made. Several between the same two
// databases are left as they are.
Ensured ensureReplicationAndWait(const StoreSession& session, const ReplicationSpec& spec,
                                 Provisioned& report);
// Every replication whose source (or target) is exactly `database` goes; with
// `onlyTo` set, of those reading from it only the ones writing into `onlyTo`.
void removeReplicationsFromAndWait(const StoreSession& session, const QString& database,
                                   const QString& onlyTo, Provisioned& report);
void removeReplicationsIntoAndWait(const StoreSession& session, const QString& database,
                                   Provisioned& report);
// The database goes with every replication that reads from or writes into it.
// One already gone counts as removed.
void removeDatabaseAndWait(const StoreSession& session, const QString& name, Provisioned& report);

} // namespace trevok
