#include "store/DocumentRewrite.h"

#include "store/CouchDocument.h"

#include <QPointer>

#include <memory>
#include <optional>

namespace {

// After a read: the outcome when the rewrite ends here, else the body to write.
// A missing document starts from an empty body when it is to be made.
std::optional<Rewrite> afterRead(const StoredProperties& read, const RewriteChange& change,
                                 QJsonObject* body, QString* error, bool createMissing = false) {
    if (read.status == StoredProperties::Missing && !createMissing)
        return Rewrite::Gone;
    if (read.status == StoredProperties::Failed) {
        *error = read.error;
        return Rewrite::Failed;
    }
    *body = read.status == StoredProperties::Missing ? QJsonObject() : read.body;
    if (!change(*body))
        return Rewrite::Unchanged;
    return std::nullopt;
}

// After a write: the outcome, or nothing when it met a newer revision.
std::optional<Rewrite> afterWrite(const RESTOperation& written, QString* error) {
    if (written.isSuccessful())
        return Rewrite::Written;
    if (written.httpStatus() == 404) {
        *error = written.error();
        return Rewrite::Gone;
    }
    if (written.httpStatus() == 409)
        return std::nullopt;
    *error = written.error();
    return Rewrite::Failed;
}

struct AsyncRewrite {
    QPointer<CouchDocument> document;
    RewriteChange change;
    int attemptsLeft;
    QPointer<QObject> context;
    std::function<void(Rewrite, const QString&)> done;
    bool createMissing = false;

    static void read(const std::shared_ptr<AsyncRewrite>& self) {
        if (!self->context)
            return;
        if (!self->document)
            return self->done(Rewrite::Failed,
                              QStringLiteral("cancelled: the document was closed"));
        if (self->attemptsLeft-- <= 0)
            return self->done(Rewrite::Failed, QString::fromUtf8(kRewriteConflictText));
        self->document->readProperties(self->context, [self](const StoredProperties& stored) {
            QJsonObject body;
            QString error;
            if (const auto outcome =
                    afterRead(stored, self->change, &body, &error, self->createMissing))
                return self->done(*outcome, error);
            if (!self->document)
                return self->done(Rewrite::Failed,
                                  QStringLiteral("cancelled: the document was closed"));
            self->document->putProperties(body)->onCompletion(
                self->context, [self](RESTOperation& written) {
                    QString error;
                    if (const auto outcome = afterWrite(written, &error))
                        return self->done(*outcome, error);
                    read(self);
                });
        });
    }
};

} // namespace

namespace {
Rewrite rewriteAndWait(CouchDocument* document, const RewriteChange& change, QString* error,
                       int attempts, bool createMissing) {
    for (int attempt = 0; attempt < attempts; ++attempt) {
        QJsonObject body;
        if (const auto outcome =
                afterRead(document->readPropertiesAndWait(), change, &body, error, createMissing))
            return *outcome;
        RESTOperationPtr written = document->putProperties(body);
        written->wait();
        if (const auto outcome = afterWrite(*written, error))
            return *outcome;
    }
    *error = QString::fromUtf8(kRewriteConflictText);
    return Rewrite::Failed;
}
} // namespace

Rewrite rewriteDocumentAndWait(CouchDocument* document, const RewriteChange& change, QString* error,
                               int attempts) {
    return rewriteAndWait(document, change, error, attempts, false);
}

Rewrite ensureDocumentAndWait(CouchDocument* document, const RewriteChange& change, QString* error,
                              int attempts) {
    return rewriteAndWait(document, change, error, attempts, true);
}

Rewrite deleteDocumentAndWait(CouchDocument* document, QString* error, const QStringList& dropped,
                              int attempts) {
    return rewriteDocumentAndWait(
        document,
        [&dropped](QJsonObject& body) {
            for (const QString& field : dropped)
                body.remove(field);
            body.insert(QStringLiteral("_deleted"), true);
            return true;
        },
        error, attempts);
}

void rewriteDocument(CouchDocument* document, RewriteChange change, int attempts, QObject* context,
                     std::function<void(Rewrite, const QString&)> done) {
    auto rewrite = std::make_shared<AsyncRewrite>(
        AsyncRewrite{document, std::move(change), attempts, context, std::move(done)});
    AsyncRewrite::read(rewrite);
}

void ensureDocument(CouchDocument* document, RewriteChange change, int attempts, QObject* context,
                    std::function<void(Rewrite, const QString& error)> done) {
    auto rewrite = std::make_shared<AsyncRewrite>(
        AsyncRewrite{document, std::move(change), attempts, context, std::move(done), true});
    AsyncRewrite::read(rewrite);
}
