#include "store/CouchDesignDocument.h"

#include "store/CouchDatabase.h"
#include "store/CouchQuery.h"
#include "store/CouchServer.h"

CouchDesignDocument::CouchDesignDocument(CouchDatabase* database, const QString& name)
    : CouchDocument(database, QStringLiteral("_design/") + name)
    , m_name(name) {}

void CouchDesignDocument::defineViewNamed(const QString& name, const QString& map,
                                          const QString& reduce) {
    QJsonObject view{{QStringLiteral("map"), map}};
    if (!reduce.isEmpty())
        view.insert(QStringLiteral("reduce"), reduce);
    m_pendingViews.insert(name, view);
}

void CouchDesignDocument::defineFilterNamed(const QString& name, const QString& source) {
    m_pendingFilters.insert(name, source);
}

RESTOperationPtr CouchDesignDocument::saveChanges() {
    // The stored body is merged at send time, so it must be known by then:
    // read it first when this handle has none (queued just ahead).
    if (!hasCachedProperties())
        reload();
    const QJsonObject views = m_pendingViews;
    const QJsonObject filters = m_pendingFilters;
    m_pendingViews = {};
    m_pendingFilters = {};
    QPointer<CouchDesignDocument> self(this);
    // putProperties() fixes its body when called; the merge with what the
    // earlier saves wrote must happen when this one is sent. A small write
    // through a body computed then does it.
    auto merged = [self, views, filters]() {
        QJsonObject body = self ? self->cachedProperties().value_or(QJsonObject()) : QJsonObject();
        body.remove(QStringLiteral("_rev"));
        body.remove(QStringLiteral("_id"));
        auto mergeInto = [&body](const QString& member, const QJsonObject& defs) {
            if (defs.isEmpty())
                return;
            QJsonObject current = body.value(member).toObject();
            for (auto it = defs.begin(); it != defs.end(); ++it)
                current.insert(it.key(), it.value());
            body.insert(member, current);
        };
        mergeInto(QStringLiteral("views"), views);
        mergeInto(QStringLiteral("filters"), filters);
        // Only the members the caller defines: the server assumes JavaScript,
        // and a design document carries exactly what its data model names.
        return body;
    };
    return putComputed(merged);
}

std::unique_ptr<CouchQuery> CouchDesignDocument::queryViewNamed(const QString& name) {
    if (changed())
        saveChanges();
    return std::make_unique<CouchQuery>(database(),
                                        QStringLiteral("_design/") + couchEncodedSegment(m_name) +
                                            QStringLiteral("/_view/") + couchEncodedSegment(name));
}
