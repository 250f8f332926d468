#pragma once

#include "store/CouchDocument.h"

#include <QJsonObject>
#include <QString>

#include <memory>

class CouchQuery;

// A design document ("_design/" + name). Definitions collect in the handle
// until saveChanges(); the save merges them into the stored body (read first
// when the handle has none), so members defined by others stay.
class CouchDesignDocument : public CouchDocument {
    Q_OBJECT
public:
    CouchDesignDocument(CouchDatabase* database, const QString& name);

    QString name() const { return m_name; }

    // Defines (replaces) the view `name` under "views" (an empty reduce: none).
    void defineViewNamed(const QString& name, const QString& map, const QString& reduce = {});
    // Defines (replaces) the filter `name` under "filters".
    void defineFilterNamed(const QString& name, const QString& source);
    // Unsaved definitions exist.
    bool changed() const { return !m_pendingViews.isEmpty() || !m_pendingFilters.isEmpty(); }

    // Writes the body with every definition made so far, with the revision
    // known at send time; a later save on this handle keeps what earlier ones
    // saved. Saving without changes still writes (and succeeds).
    RESTOperationPtr saveChanges();

    // A query on the view `name`. When that view (or any other member) was
    // defined and not saved, the design document is saved first (queued ahead
    // of the query), so the query runs the definition just made.
    std::unique_ptr<CouchQuery> queryViewNamed(const QString& name);

private:
    QString m_name;
    QJsonObject m_pendingViews;
    QJsonObject m_pendingFilters;
};
