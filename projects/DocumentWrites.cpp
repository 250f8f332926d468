#include "projects/DocumentWrites.h"

#include "records/ArchiveRules.h"

namespace trevok::projects {

Rewrite deleteByRewrite(CouchDocument* document, QString* error) {
    return rewriteDocument(
        document,
        [](QJsonObject& body) {
            body = deletionBody(body);
            return true;
        },
        error);
}

} // namespace trevok::projects
