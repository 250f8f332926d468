#include "lists/LiveListTableModel.h"

#include "lists/LiveList.h"
#include "store/CouchModel.h"

#include <QHash>
#include <QScopedValueRollback>
#include <QSet>

#include <algorithm>

namespace {

// Which of `keys` form a longest strictly increasing run (patience sorting):
// the rows that keep their place while the others move around them.
QList<bool> longestIncreasingRun(const QList<qsizetype>& keys) {
    QList<qsizetype> tails; // index into keys of the smallest tail of each length
    QList<qsizetype> previous(keys.size(), -1);
    for (qsizetype i = 0; i < keys.size(); ++i) {
        const auto at =
            std::lower_bound(tails.begin(), tails.end(), keys[i],
                             [&](qsizetype tail, qsizetype key) { return keys[tail] < key; });
        if (at != tails.begin())
            previous[i] = *(at - 1);
        if (at == tails.end())
            tails.append(i);
        else
            *at = i;
    }
    QList<bool> kept(keys.size(), false);
    for (qsizetype i = tails.isEmpty() ? -1 : tails.last(); i >= 0; i = previous[i])
        kept[i] = true;
    return kept;
}

} // namespace

LiveListTableModel::LiveListTableModel(QList<Column> columns, QObject* parent)
    : QAbstractTableModel(parent)
    , m_columns(std::move(columns)) {}

LiveListTableModel::LiveListTableModel(LiveList* list, QList<Column> columns, QObject* parent)
    : LiveListTableModel(std::move(columns), parent) {
    setList(list);
}

LiveListTableModel::~LiveListTableModel() = default;

void LiveListTableModel::setList(LiveList* list) {
    if (m_list)
        m_list->disconnect(this);
    beginResetModel();
    for (CouchModel* model : std::as_const(m_rows))
        unwatch(model);
    m_list = list;
    m_rows.clear();
    if (list) {
        for (CouchModel* model : list->entries()) {
            m_rows.append(model);
            watch(model);
        }
    }
    endResetModel();
    if (!list)
        return;
    connect(list, &LiveList::entriesChanged, this, [this] {
        if (m_list)
            setRows(m_list->entries());
    });
    // The records outlive the list, but what is shown goes with it.
    connect(list, &QObject::destroyed, this, [this] { setRows({}); });
}

LiveList* LiveListTableModel::list() const {
    return m_list;
}

void LiveListTableModel::setRows(const QList<CouchModel*>& next) {
    const QScopedValueRollback updating(m_updatingRows, true);
    QHash<const CouchModel*, qsizetype> position;
    position.reserve(next.size());
    for (qsizetype i = 0; i < next.size(); ++i)
        position.insert(next[i], i);
    const auto stays = [&](const CouchModel* model) { return model && position.contains(model); };

    // Rows that go, bottom up so that the numbers above stay right, each run
    // of neighbours in one signal.
    for (qsizetype end = m_rows.size(); end > 0;) {
        if (stays(m_rows[end - 1])) {
            --end;
            continue;
        }
        qsizetype begin = end - 1;
        while (begin > 0 && !stays(m_rows[begin - 1]))
            --begin;
        beginRemoveRows({}, int(begin), int(end - 1));
        for (qsizetype row = begin; row < end; ++row)
            unwatch(m_rows[row]);
        m_rows.remove(begin, end - begin);
        endRemoveRows();
        end = begin;
    }

    // Rows that stay but changed their order: the longest run already in
    // order keeps its place; every other row moves to just after the row
    // that precedes it in `next`, taken in the order of `next`.
    QList<qsizetype> keys;
    keys.reserve(m_rows.size());
    for (const CouchModel* model : std::as_const(m_rows))
        keys.append(position.value(model));
    const QList<bool> keptAt = longestIncreasingRun(keys);
    QSet<const CouchModel*> listed;
    QSet<const CouchModel*> kept;
    listed.reserve(m_rows.size());
    for (qsizetype row = 0; row < m_rows.size(); ++row) {
        listed.insert(m_rows[row]);
        if (keptAt[row])
            kept.insert(m_rows[row]);
    }
    if (kept.size() < listed.size()) {
        const CouchModel* predecessor = nullptr;
        for (CouchModel* model : next) {
            if (!listed.contains(model))
                continue;
            if (!kept.contains(model)) {
                const qsizetype before = predecessor ? m_rows.indexOf(predecessor) + 1 : 0;
                moveRow(m_rows.indexOf(model), before);
            }
            predecessor = model;
        }
    }

    // Rows that came, top down: everything above a new row is in place by
    // then, so it goes in at its own number.
    for (qsizetype begin = 0; begin < next.size();) {
        if (listed.contains(next[begin])) {
            ++begin;
            continue;
        }
        qsizetype end = begin + 1;
        while (end < next.size() && !listed.contains(next[end]))
            ++end;
        beginInsertRows({}, int(begin), int(end - 1));
        for (qsizetype row = begin; row < end; ++row) {
            m_rows.insert(row, next[row]);
            watch(next[row]);
        }
        endInsertRows();
        begin = end;
    }
    // Not QList::operator==: Qt 6.4 hands memcmp a null pointer for two
    // empty lists, one of which has storage.
    Q_ASSERT(std::ranges::equal(m_rows, next));
}

void LiveListTableModel::moveRow(qsizetype from, qsizetype before) {
    if (before == from || before == from + 1)
        return;
    beginMoveRows({}, int(from), int(from), {}, int(before));
    m_rows.move(from, before > from ? before - 1 : before);
    endMoveRows();
}

void LiveListTableModel::watch(CouchModel* model) {
    if (!model)
        return;
    connect(model, &CouchModel::changed, this, [this, model] {
        const int row = rowOf(model);
        if (row >= 0 && !m_columns.isEmpty())
            Q_EMIT dataChanged(index(row, 0), index(row, int(m_columns.size()) - 1));
    });
    // A record that goes before the list tells shows an empty row until it
    // does, never a dangling one.
    connect(model, &QObject::destroyed, this, [this, model] {
        const qsizetype row = m_rows.indexOf(model);
        if (row < 0)
            return;
        m_rows[row] = nullptr;
        if (!m_columns.isEmpty())
            Q_EMIT dataChanged(index(int(row), 0), index(int(row), int(m_columns.size()) - 1));
    });
}

void LiveListTableModel::unwatch(CouchModel* model) {
    if (model)
        model->disconnect(this);
}

CouchModel* LiveListTableModel::modelAt(int row) const {
    return row >= 0 && row < m_rows.size() ? m_rows.at(row) : nullptr;
}

int LiveListTableModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : int(m_rows.size());
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
