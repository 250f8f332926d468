#pragma once

#include <QList>
#include <QObject>
#include <QString>

#include <memory>
#include <optional>

class CouchLiveQuery;
class CouchModel;
class CouchQuery;
class CouchQueryRow;
class CouchDocument;

// A list of record models that follows one live query: its entries are the
// models of the query's rows, in the rows' order, followed by models inserted
// here and not yet saved. A document keeps its model object across reloads,
// so selections and bindings on it survive. GUI thread only.
class LiveList : public QObject {
    Q_OBJECT
public:
    ~LiveList() override;

    CouchLiveQuery* query() const { return m_query.get(); }

    // Nothing is listed before the first rows arrive.
    bool hasEntries() const { return m_entries.has_value(); }
    const QList<CouchModel*>& entries() const;
    int countOfEntries() const;
    CouchModel* objectInEntriesAtIndex(int index) const;
    // Lists the model at once; it is saved into the query's database as a new
    // document by autosave.
    void insertObjectInEntriesAtIndex(CouchModel* model, int index);
    // Deletes the entry's document and unlists it.
    void removeObjectFromEntriesAtIndex(int index);

    // Rebuilds the entries from rows. Public for the tests of the list rule.
    void loadEntriesFrom(const QList<CouchQueryRow>& rows);

Q_SIGNALS:
    // Bracket every replacement of the entries; nothing else announces.
    void entriesAboutToChange();
    void entriesChanged();

protected:
    // `source` names the list in the failure report of a missing query.
    LiveList(std::unique_ptr<CouchQuery> query, const char* source);

    virtual bool takesRow(const CouchQueryRow& row) const = 0;
    virtual CouchModel* modelFor(CouchDocument* document) const = 0;

private:
    void replaceEntries(QList<CouchModel*> entries);

    std::unique_ptr<CouchLiveQuery> m_query;
    std::optional<QList<CouchModel*>> m_entries;
};
