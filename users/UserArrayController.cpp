#include "users/UserArrayController.h"

#include "app/UserDefaults.h"
#include "lists/UserQuery.h"
#include "store/CouchDocument.h"
#include "users/UserModel.h"

#include <QAbstractItemView>
#include <QItemSelectionModel>
#include <QLocale>

UserArrayController::UserArrayController(QObject* parent)
    : QAbstractTableModel(parent)
    , m_selection(new QItemSelectionModel(this, this)) {
    connect(m_selection, &QItemSelectionModel::selectionChanged, this, [this] {
        tableViewSelectionDidChange();
        Q_EMIT selectionDidChange();
    });
}

UserArrayController::~UserArrayController() = default;

void UserArrayController::setContent(UserQuery* list) {
    if (m_list)
        m_list->disconnect(this);
    beginResetModel();
    m_list = list;
    m_rows = list ? list->entries() : QList<CouchModel*>();
    for (CouchModel* model : std::as_const(m_rows))
        watch(model);
    endResetModel();
    if (list)
        connect(list, &LiveList::entriesChanged, this, &UserArrayController::follow);
    Q_EMIT selectionDidChange();
}

void UserArrayController::showIn(QAbstractItemView* view) {
    QItemSelectionModel* old = view->selectionModel();
    view->setModel(this);
    view->setSelectionModel(m_selection);
    if (old && old != m_selection && old->parent() == view)
        old->deleteLater();
}

// The entries change as a whole; the table hears the rows that went and came,
// found between the common beginning and end, so a user who appears or goes
// moves no other row and keeps every selection.
void UserArrayController::follow() {
    const QList<CouchModel*> next = m_list ? m_list->entries() : QList<CouchModel*>();
    qsizetype head = 0;
    while (head < m_rows.size() && head < next.size() && m_rows[head] == next[head])
        ++head;
    qsizetype tail = 0;
    while (tail < m_rows.size() - head && tail < next.size() - head &&
           m_rows[m_rows.size() - 1 - tail] == next[next.size() - 1 - tail])
        ++tail;
    const qsizetype removed = m_rows.size() - head - tail;
    const qsizetype added = next.size() - head - tail;
    if (removed > 0) {
        beginRemoveRows({}, int(head), int(head + removed - 1));
        m_rows.remove(head, removed);
        endRemoveRows();
    }
    if (added > 0) {
        beginInsertRows({}, int(head), int(head + added - 1));
        for (qsizetype i = 0; i < added; ++i) {
            m_rows.insert(head + i, next[head + i]);
            watch(next[head + i]);
        }
        endInsertRows();
    }
}

void UserArrayController::watch(CouchModel* model) {
    if (m_watched.contains(model))
        return;
    m_watched.insert(model);
    connect(model, &CouchModel::changed, this, [this, model] { modelChanged(model); });
    connect(model, &QObject::destroyed, this, [this, model] { m_watched.remove(model); });
}

void UserArrayController::modelChanged(CouchModel* model) {
    const int row = rowOf(model);
    if (row >= 0)
        Q_EMIT dataChanged(index(row, 0), index(row, ColumnCount - 1));
}

UserModel* UserArrayController::objectAtRow(int row) const {
    if (row < 0 || row >= m_rows.size())
        return nullptr;
    return qobject_cast<UserModel*>(m_rows[row]);
}

QList<UserModel*> UserArrayController::selectedObjects() const {
    QList<UserModel*> selected;
    const QModelIndexList rows = m_selection->selectedRows();
    QList<int> numbers;
    for (const QModelIndex& index : rows)
        numbers.append(index.row());
    std::sort(numbers.begin(), numbers.end());
    for (int row : std::as_const(numbers)) {
        if (UserModel* model = objectAtRow(row))
            selected.append(model);
    }
    return selected;
}

UserModel* UserArrayController::firstSelectedObject() const {
    const QList<UserModel*> selected = selectedObjects();
    return selected.isEmpty() ? nullptr : selected.first();
}

bool UserArrayController::hasSelection() const {
    return firstSelectedObject() != nullptr;
}

int UserArrayController::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : int(m_rows.size());
}

int UserArrayController::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : ColumnCount;
}

QVariant UserArrayController::data(const QModelIndex& index, int role) const {
    if (!checkIndex(index, CheckIndexOption::IndexIsValid | CheckIndexOption::ParentIsInvalid))
        return {};
    const CouchModel* model = m_rows[index.row()];
    if (role != Qt::DisplayRole && role != Qt::ToolTipRole && role != Qt::AccessibleTextRole)
        return {};
    switch (index.column()) {
    case NameColumn:
        return model->stringValue(QStringLiteral("name"));
    case FirstNameColumn:
        return model->stringValue(QStringLiteral("firstName"));
    case LastNameColumn:
        return model->stringValue(QStringLiteral("lastName"));
    case CreatedColumn: {
        const QDateTime created = model->dateValue(QStringLiteral("created"));
        return created.isValid() ? QLocale().toString(created.toLocalTime(), QLocale::ShortFormat)
                                 : QString();
    }
    default:
        return {};
    }
}

QVariant UserArrayController::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return QAbstractTableModel::headerData(section, orientation, role);
    switch (section) {
    case NameColumn:
        return QStringLiteral("User name");
    case FirstNameColumn:
        return QStringLiteral("First name");
    case LastNameColumn:
        return QStringLiteral("Last name");
    case CreatedColumn:
        return QStringLiteral("Created");
    default:
        return {};
    }
}

void UserArrayController::tableViewSelectionDidChange() {
    UserModel* model = firstSelectedObject();
    if (!model || !model->document())
        return;
    // The stored name, not one typed into the model and not saved yet.
    const std::optional<QJsonObject> stored = model->document()->cachedProperties();
    if (!stored)
        return;
    const QJsonValue name = stored->value(QStringLiteral("name"));
    if (name.isString())
        trevok::userDefaults().setValue(QStringLiteral("CurrentUserName"), name.toString());
}
