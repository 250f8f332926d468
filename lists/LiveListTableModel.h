#pragma once

#include <QAbstractTableModel>
#include <QList>
#include <QPointer>
#include <QString>

class CouchModel;
class LiveList;

// A table over the entries of a live list: one row per entry, one column per
// record field. The list replaces its entries as a whole; the table hears
// only the rows that went, moved and came, so selections and scroll
// positions on the rows that stay survive a reload. A change inside a listed
// record repaints its row.
class LiveListTableModel : public QAbstractTableModel {
    Q_OBJECT
public:
    struct Column {
        QString header;
        QString key;
    };
    enum Role { ModelRole = Qt::UserRole + 1, ArchivedRole };

    explicit LiveListTableModel(QList<Column> columns, QObject* parent = nullptr);
    LiveListTableModel(LiveList* list, QList<Column> columns, QObject* parent = nullptr);
    ~LiveListTableModel() override;

    // Shows the entries of `list` (nullptr: none). Another list is another
    // content: the table resets.
    void setList(LiveList* list);
    LiveList* list() const;

    // Brings the rows to `next` (each model listed at most once) with row
    // removals, moves and insertions. The entries of the list arrive here.
    void setRows(const QList<CouchModel*>& next);
    const QList<CouchModel*>& rows() const { return m_rows; }
    // True while setRows() announces its row changes: what follows a
    // selection then runs inside a reload, possibly inside a wait.
    bool isUpdatingRows() const { return m_updatingRows; }

    CouchModel* modelAt(int row) const;
    int rowOf(const CouchModel* model) const { return int(m_rows.indexOf(model)); }

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;

private:
    void watch(CouchModel* model);
    void unwatch(CouchModel* model);
    void moveRow(qsizetype from, qsizetype before);

    QPointer<LiveList> m_list;
    QList<Column> m_columns;
    QList<CouchModel*> m_rows;
    bool m_updatingRows = false;
};
