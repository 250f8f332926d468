#pragma once

#include <QJsonObject>
#include <QString>

#include <functional>

class CouchDocument;

// Writes of the archiving and deletion flows: each starts from the body the
// server holds at that moment, so that it never undoes a change a
// replication or a client made meanwhile.
namespace trevok::projects {

enum class Rewrite {
    Written,
    // The document, or its database, is not there (any more): nothing to do.
    Gone,
    // `change` left the body alone.
    Unchanged,
    Failed,
};

// Reads the document as the server holds it now, lets `change` edit the body
// (returning false to leave it alone) and writes it back; a write refused as a
// conflict gets one more try on a new read.
Rewrite rewriteDocument(CouchDocument* document, const std::function<bool(QJsonObject&)>& change,
                        QString* error);

// Deletes the document as the server holds it now (see deletionBody()).
Rewrite deleteByRewrite(CouchDocument* document, QString* error);

} // namespace trevok::projects
