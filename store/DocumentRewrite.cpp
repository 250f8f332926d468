#include "store/DocumentRewrite.h"

#include "store/CouchDocument.h"

Rewrite rewriteDocument(CouchDocument* document, const std::function<bool(QJsonObject&)>& change,
                        QString* error, int attempts) {
    for (int attempt = 0; attempt < attempts; ++attempt) {
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
    *error = QStringLiteral("conflict: the document kept changing on the server");
    return Rewrite::Failed;
}
