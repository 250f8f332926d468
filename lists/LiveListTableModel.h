#pragma once

#include "lists/LiveList.h"

#include <QAbstractTableModel>
#include <QList>
#include <QPointer>
#include <QString>

class CouchModel;

// A table over the entries of a live list: one row per entry, one column per
// record field. Every replacement of the entries resets the table; a change
// inside a listed record only repaints its row.
class LiveListTableModel : public QAbstractTableModel {
    Q_OBJECT
public:
    struct Column {
        QString header;
        QString key;
    };
    enum Role { ModelRole = Qt::UserRole + 1, ArchivedRole };

    LiveListTableModel(LiveList* list, QList<Column> columns, QObject* parent = nullptr);

    LiveList* list() const { return m_list; }
    CouchModel* modelAt(int row) const;

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;

private:
    void watchEntries();

    QPointer<LiveList> m_list;
    QList<Column> m_columns;
    QList<CouchModel*> m_watched;
};
