#pragma once

#include <QJsonObject>
#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>

class CouchDocument;

// A write that starts from the body the server holds at that moment, so that
// it never undoes a change a replication, a client or another flow made
// meanwhile. The console's flows change stored documents through this one
// loop, waiting for it or not.
enum class Rewrite {
    Written,
    // The document, or its database, is not there (any more): nothing to do.
    Gone,
    // `change` left the body alone.
    Unchanged,
    Failed,
};

// Reads before the first write, and reads again after each write refused as a
// conflict, unless a caller names its own number.
inline constexpr int kRewriteAttempts = 2;
// The error when every write of a rewrite met a newer revision.
inline constexpr const char* kRewriteConflictText =
    "conflict: the document kept changing on the server";

// Edits `body` (the stored body, with _id and _rev); false leaves it alone.
using RewriteChange = std::function<bool(QJsonObject& body)>;

// Reads the document as the server holds it now, lets `change` edit the body
// and writes it back, waiting for each request. A write refused as a conflict
// is tried again on a new read, `attempts` reads in all; when every one met a
// newer revision, `error` is kRewriteConflictText. Otherwise `error` is the
// failed request's text.
Rewrite rewriteDocumentAndWait(CouchDocument* document, const RewriteChange& change, QString* error,
                               int attempts = kRewriteAttempts);

// The same, but a document that is not there is made from an empty body
// (`change` sees no _id and no _rev then): running it again after it stopped
// anywhere gives the same document. Gone only when its database is missing.
Rewrite ensureDocumentAndWait(CouchDocument* document, const RewriteChange& change, QString* error,
                              int attempts = kRewriteAttempts);

// Deletes the document as the server holds it now, waiting: its stored body
// with `_deleted` set, less the fields named in `dropped`, since a deleted
// revision stays on the server. One already gone counts as deleted (Gone).
Rewrite deleteDocumentAndWait(CouchDocument* document, QString* error,
                              const QStringList& dropped = {}, int attempts = kRewriteAttempts);

// The same without waiting: `done` is called once with the outcome and the
// error text (the server's words when Failed, or Gone by a write; else ""),
// as long as `context` lives. `change` may be called once per read.
void rewriteDocument(CouchDocument* document, RewriteChange change, int attempts, QObject* context,
                     std::function<void(Rewrite, const QString& error)> done);
void ensureDocument(CouchDocument* document, RewriteChange change, int attempts, QObject* context,
                    std::function<void(Rewrite, const QString& error)> done);
