#pragma once

#include <QString>

// The bookkeeping views of `_replicator` by which the console finds the
// replications it made: every flow that removes replications asks these,
// so they are written here once. They live in `_replicator`'s design
// document "trevok".
namespace trevok::records {

struct ReplicatorView {
    QString name;
    QString map;
};

QString replicatorDesignName();

// Key: the database a replication reads from; value: its document ID.
ReplicatorView replicationsBySource();
// Key: the database a replication writes into; value: its document ID.
ReplicatorView replicationsByTarget();
// Key: the source; value: [target, document ID].
ReplicatorView replicationsBySourceWithTarget();

} // namespace trevok::records
