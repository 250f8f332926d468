#include "projects/DocumentWrites.h"

#include "projects/ArchiveRules.h"
#include "store/CouchDocument.h"

namespace trevok::projects {

Rewrite rewriteDocument(CouchDocument* document, const std::function<bool(QJsonObject&)>& change,
                        QString* error) {
    for (int attempt = 0; attempt < 2; ++attempt) {
        RESTOperationPtr read = document->reload();
        if (!read->wait()) {
            if (read->httpStatus() == 404)
                return Rewrite::Gone;
            *error = read->error();
            return Rewrite::Failed;
        }
        std::optional<QJsonObject> body = document->cachedProperties();
        if (!body)
            return Rewrite::Gone;
        if (!change(*body))
            return Rewrite::Unchanged;
        RESTOperationPtr written = document->putProperties(*body);
        if (written->wait())
            return Rewrite::Written;
        if (written->httpStatus() == 404)
            return Rewrite::Gone;
        *error = written->error();
        if (written->httpStatus() != 409)
            return Rewrite::Failed;
    }
    return Rewrite::Failed;
}

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
