#include "lists/LiveList.h"

#include "store/CouchModel.h"
#include "store/CouchQuery.h"

#include <QSet>

namespace {
const QList<CouchModel*> kNoEntries;
}

LiveList::LiveList(std::unique_ptr<CouchQuery> query, const char* source) {
    if (!query)
        qFatal("%s: Invalid parameter not satisfying: %s", source, "query");
    m_query = query->asLiveQuery();
    m_query->setPrefetch(true);
    connect(m_query.get(), &CouchQuery::rowsChanged, this,
            [this] { loadEntriesFrom(m_query->currentRows()); });
    m_query->start();
}

LiveList::~LiveList() = default;

const QList<CouchModel*>& LiveList::entries() const {
    return m_entries ? *m_entries : kNoEntries;
}

int LiveList::countOfEntries() const {
    return int(entries().size());
}

CouchModel* LiveList::objectInEntriesAtIndex(int index) const {
    return entries().value(index);
}

void LiveList::insertObjectInEntriesAtIndex(CouchModel* model, int index) {
    QList<CouchModel*> next = entries();
    next.insert(qBound(0, index, int(next.size())), model);
    model->setAutosaves(true);
    model->setDatabase(m_query->database());
    replaceEntries(std::move(next));
}

void LiveList::removeObjectFromEntriesAtIndex(int index) {
    QList<CouchModel*> next = entries();
    if (index < 0 || index >= next.size())
        return;
    CouchModel* model = next.takeAt(index);
    model->setDatabase(nullptr);
    replaceEntries(std::move(next));
}

void LiveList::loadEntriesFrom(const QList<CouchQueryRow>& rows) {
    // Sets, not list searches: the users list holds thousands of entries.
    QSet<CouchModel*> listed;
    if (m_entries)
        listed = QSet<CouchModel*>(m_entries->cbegin(), m_entries->cend());
    QSet<CouchModel*> taken;
    QList<CouchModel*> next;
    next.reserve(rows.size());
    for (const CouchQueryRow& row : rows) {
        if (!takesRow(row))
            continue;
        CouchDocument* document = row.document();
        if (!document)
            continue;
        CouchModel* model = modelFor(document);
        model->setAutosaves(true);
        next.append(model);
        taken.insert(model);
        if (m_entries && !listed.contains(model))
            model->markExternallyChanged();
    }
    for (CouchModel* model : entries()) {
        if (model->isNew() && !taken.contains(model))
            next.append(model);
    }
    if (m_entries && *m_entries == next)
        return;
    replaceEntries(std::move(next));
}

void LiveList::replaceEntries(QList<CouchModel*> entries) {
    Q_EMIT entriesAboutToChange();
    m_entries = std::move(entries);
    Q_EMIT entriesChanged();
}
