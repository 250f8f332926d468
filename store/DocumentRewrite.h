#pragma once

#include <QJsonObject>
#include <QString>

#include <functional>

class CouchDocument;

// A write that starts from the body the server holds at that moment, so that
// it never undoes a change a replication, a client or another flow made
// meanwhile. The console's flows change stored documents through this one
// loop.
enum class Rewrite {
    Written,
    // The document, or its database, is not there (any more): nothing to do.
    Gone,
    // `change` left the body alone.
    Unchanged,
    Failed,
};

// Reads the document as the server holds it now, lets `change` edit the body
// (returning false to leave it alone) and writes it back. A write refused as
// a conflict is tried again on a new read, `attempts` reads in all; when
// every one met a newer revision, `error` says that the document kept
// changing. Otherwise `error` is the failed request's text.
Rewrite rewriteDocument(CouchDocument* document, const std::function<bool(QJsonObject&)>& change,
                        QString* error, int attempts = 2);
