#include "lists/LiveListTableModel.h"

#include "lists/LiveList.h"
#include "store/CouchModel.h"

LiveListTableModel::LiveListTableModel(LiveList* list, QList<Column> columns, QObject* parent)
    : QAbstractTableModel(parent)
    , m_list(list)
    , m_columns(std::move(columns)) {
    connect(list, &LiveList::entriesAboutToChange, this, [this] { beginResetModel(); });
    connect(list, &LiveList::entriesChanged, this, [this] {
        watchEntries();
        endResetModel();
    });
    watchEntries();
}

void LiveListTableModel::watchEntries() {
    for (CouchModel* model : std::as_const(m_watched)) {
        if (model)
            model->disconnect(this);
    }
    m_watched = m_list ? m_list->entries() : QList<CouchModel*>();
    for (CouchModel* model : std::as_const(m_watched)) {
        connect(model, &CouchModel::changed, this, [this, model] {
            const int row = int(m_watched.indexOf(model));
            if (row >= 0)
                Q_EMIT dataChanged(index(row, 0), index(row, columnCount() - 1));
        });
        connect(model, &QObject::destroyed, this, [this, model] {
            const int row = int(m_watched.indexOf(model));
            if (row >= 0)
                m_watched[row] = nullptr;
        });
    }
}

CouchModel* LiveListTableModel::modelAt(int row) const {
    return row >= 0 && row < m_watched.size() ? m_watched.at(row) : nullptr;
}

int LiveListTableModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : int(m_watched.size());
}

int LiveListTableModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : int(m_columns.size());
}

QVariant LiveListTableModel::data(const QModelIndex& index, int role) const {
    if (!checkIndex(index, CheckIndexOption::IndexIsValid | CheckIndexOption::ParentIsInvalid))
        return {};
    const CouchModel* model = modelAt(index.row());
    if (!model)
        return {};
    switch (role) {
    case Qt::DisplayRole:
    case Qt::AccessibleTextRole:
        return model->getValue(m_columns.at(index.column()).key).toVariant();
    case ModelRole:
        return QVariant::fromValue(const_cast<CouchModel*>(model));
    case ArchivedRole:
        return model->getValue(QStringLiteral("archived")) == QJsonValue(true);
    default:
        return {};
    }
}

QVariant LiveListTableModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation == Qt::Horizontal && role == Qt::DisplayRole && section >= 0 &&
        section < m_columns.size())
        return m_columns.at(section).header;
    return QAbstractTableModel::headerData(section, orientation, role);
}
