#include "records/ReplicatorViews.h"

namespace trevok::records {

QString replicatorDesignName() {
    return QStringLiteral("trevok");
}

ReplicatorView replicationsBySource() {
    return {QStringLiteral("replication_list_sources"),
            QStringLiteral("function(doc){if(doc.source) emit(doc.source,doc._id);};")};
}

ReplicatorView replicationsByTarget() {
    return {QStringLiteral("replication_list_targets"),
            QStringLiteral("function(doc){if(doc.target) emit(doc.target,doc._id);};")};
}

ReplicatorView replicationsBySourceWithTarget() {
    return {
        QStringLiteral("replication_list_source_target"),
        QStringLiteral("function(doc){if(doc.source) emit(doc.source,[doc.target, doc._id]);};")};
}

} // namespace trevok::records
