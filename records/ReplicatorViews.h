#pragma once

#include "store/ReplicationEndpoint.h"

#include <QString>

// The bookkeeping views of `_replicator` by which the console finds the
// replications it made: every flow that removes replications asks these,
// so they are written here once. They live in `_replicator`'s design
// document "trevok".
//
// Where replication documents name their ends by full URL, the views key
// them by the database name all the same (either form is read), under names
// of their own, so that a view written before with the bare-name text is
// never taken for one of these.
namespace trevok::records {

struct ReplicatorView {
    QString name;
    QString map;
};

QString replicatorDesignName();

// Key: the database a replication reads from; value: its document ID.
ReplicatorView replicationsBySource(ServerGeneration generation = ServerGeneration::Classic);
// Key: the database a replication writes into; value: its document ID.
ReplicatorView replicationsByTarget(ServerGeneration generation = ServerGeneration::Classic);
// Key: the source; value: [target, document ID].
ReplicatorView
replicationsBySourceWithTarget(ServerGeneration generation = ServerGeneration::Classic);

} // namespace trevok::records
