#include "records/ReplicatorViews.h"

namespace trevok::records {

namespace {
// The database an end names: a bare name as it is; of a URL (text, or an
// object's "url") its last path segment, decoded. A name that does not
// decode is not one of the console's.
const char* const kEndpointName =
    "var name=function(e){var u=typeof e==='string'?e:(e&&typeof e==='object'?e.url:null);"
    "if(typeof u!=='string'||u==='')return null;if(!/^https?:\\/\\//i.test(u))return u;"
    "u=u.replace(/[?#].*$/,'').replace(/\\/+$/,'');"
    "try{return decodeURIComponent(u.slice(u.lastIndexOf('/')+1));}catch(x){return null;}};";

ReplicatorView byName(const char* name, const char* emit) {
    return {QString::fromLatin1(name), QStringLiteral("function(doc){%1%2}")
                                           .arg(QLatin1String(kEndpointName), QLatin1String(emit))};
}
} // namespace

QString replicatorDesignName() {
    return QStringLiteral("trevok");
}

ReplicatorView replicationsBySource(ServerGeneration generation) {
    if (generation == ServerGeneration::Clustered)
        return byName("replication_sources_by_name",
                      "var s=name(doc.source);if(s) emit(s,doc._id);");
    return {QStringLiteral("replication_list_sources"),
            QStringLiteral("function(doc){if(doc.source) emit(doc.source,doc._id);};")};
}

ReplicatorView replicationsByTarget(ServerGeneration generation) {
    if (generation == ServerGeneration::Clustered)
        return byName("replication_targets_by_name",
                      "var t=name(doc.target);if(t) emit(t,doc._id);");
    return {QStringLiteral("replication_list_targets"),
            QStringLiteral("function(doc){if(doc.target) emit(doc.target,doc._id);};")};
}

ReplicatorView replicationsBySourceWithTarget(ServerGeneration generation) {
    if (generation == ServerGeneration::Clustered)
        return byName("replication_source_target_by_name",
                      "var s=name(doc.source);if(s) emit(s,[name(doc.target),doc._id]);");
    return {
        QStringLiteral("replication_list_source_target"),
        QStringLiteral("function(doc){if(doc.source) emit(doc.source,[doc.target, doc._id]);};")};
}

} // namespace trevok::records
