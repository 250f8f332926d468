#include "projects/ProjectArrayController.h"
#include "services/ShownText.h"

#include "chrome/UserDefaults.h"
#include "lists/LiveListTableModel.h"
#include "lists/ProjectQuery.h"
#include "projects/ProjectsTableCellView.h"
#include "records/ProjectNames.h"
#include "records/RecordFields.h"
#include "services/Readable.h"
#include "store/CouchDatabase.h"
#include "store/CouchDocument.h"
#include "store/CouchModel.h"

#include <QHeaderView>
#include <QTableView>

using namespace trevok::projects;

ProjectArrayController::ProjectArrayController(ProjectQuery* list, CouchDatabase* userDatabase,
                                               QObject* parent)
    : QSortFilterProxyModel(parent)
    , m_source(new LiveListTableModel(
          list, {{QStringLiteral("Title"), trevok::records::kTitleField}}, this))
    , m_userDatabase(userDatabase) {
    // A record whose wasDeleted flips leaves or rejoins the table at once.
    setDynamicSortFilter(true);
    setSourceModel(m_source);
}

ProjectArrayController::~ProjectArrayController() = default;

void ProjectArrayController::setFilterPredicate(const QString& predicate) {
    m_predicate = predicate;
    invalidateRowsFilter();
}

bool ProjectArrayController::filterAcceptsRow(int sourceRow, const QModelIndex&) const {
    const CouchModel* model = m_source->modelAt(sourceRow);
    return model && passesListPredicate(m_predicate, model->properties());
}

void ProjectArrayController::attachTo(QTableView* view) {
    m_view = view;
    view->setModel(this);
    view->setItemDelegateForColumn(0, new ProjectsTableDelegate(view));
    view->horizontalHeader()->setStretchLastSection(true);
    view->verticalHeader()->hide();
    view->setEditTriggers(QAbstractItemView::NoEditTriggers);
    view->setPalette(trevok::withReadableSelection(view->palette()));
    // A selection that changes because the list reloaded (the selected
    // project went) runs possibly inside a wait: no reads then.
    connect(view->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            [this] { selectionChanged(!m_source->isUpdatingRows()); });
    // The selected record changed (a member added, a replication): its full
    // names follow, from what is at hand, since this may run inside a wait.
    connect(this, &QAbstractItemModel::dataChanged, this,
            [this](const QModelIndex& topLeft, const QModelIndex& bottomRight) {
                const CouchModel* selected = selectedModel();
                for (int row = topLeft.row(); selected && row <= bottomRight.row(); ++row) {
                    if (modelAtRow(row) == selected) {
                        selectionChanged(false);
                        return;
                    }
                }
            });
}

QVariant ProjectArrayController::data(const QModelIndex& index, int role) const {
    if (role == Qt::AccessibleTextRole && index.isValid() && index.column() == 0)
        return projectRowAccessibleText(
            QSortFilterProxyModel::data(index, Qt::DisplayRole).toString(),
            QSortFilterProxyModel::data(index, LiveListTableModel::ArchivedRole).toBool());
    // The cell elides a long title; its tooltip has it whole, as written.
    if (role == Qt::ToolTipRole && index.isValid() && index.column() == 0)
        return trevok::plainToolTip(QSortFilterProxyModel::data(index, Qt::DisplayRole).toString());
    return QSortFilterProxyModel::data(index, role);
}

CouchModel* ProjectArrayController::modelAtRow(int row) const {
    if (row < 0 || row >= rowCount())
        return nullptr;
    return m_source->modelAt(mapToSource(index(row, 0)).row());
}

int ProjectArrayController::rowOfModel(const CouchModel* model) const {
    for (int row = 0; row < rowCount(); ++row) {
        if (modelAtRow(row) == model)
            return row;
    }
    return -1;
}

CouchModel* ProjectArrayController::selectedModel() const {
    if (!m_view || !m_view->selectionModel())
        return nullptr;
    const QModelIndexList rows = m_view->selectionModel()->selectedRows();
    if (rows.isEmpty())
        return nullptr;
    int first = rows.first().row();
    for (const QModelIndex& index : rows)
        first = qMin(first, index.row());
    return modelAtRow(first);
}

void ProjectArrayController::tableViewSelectionDidChange() {
    selectionChanged(true);
}

void ProjectArrayController::selectionChanged(bool mayRead) {
    CouchModel* model = selectedModel();
    if (!model || !model->document()) {
        // Nothing highlighted is no project to act on; the settings keep the
        // last one, which nothing reads back to decide.
        m_selectedProjectID.clear();
        m_selectedProjectStem.clear();
        return;
    }
    m_selectedProjectID = model->document()->documentID();
    const QJsonObject record = model->storedProperties();
    m_selectedProjectStem = record.value(trevok::records::kServerDBNameField).toString();
    auto defaults = pxUserDefaults();
    defaults.setValue(QStringLiteral("CurrentProjectID"), m_selectedProjectID);
    defaults.setValue(QStringLiteral("CurrentProjectDBName"), m_selectedProjectStem);

    QList<QVariantMap> names;
    const QJsonArray members = record.value(trevok::records::kMembersField).toArray();
    for (const QJsonValue& member : members)
        names.append(fullNameOf(member.toString(), mayRead));
    m_projectMembersFullName = names;
    Q_EMIT projectMembersFullNameChanged();
}

QVariantMap ProjectArrayController::fullNameOf(const QString& userName, bool mayRead) const {
    if (!m_userDatabase)
        return {};
    CouchDocument* document = m_userDatabase->documentWithID(userDocumentID(userName));
    // The users list's model, when it made one; else the stored user record.
    std::optional<QJsonObject> body;
    if (const CouchModel* model = document->modelObject())
        body = model->properties();
    else if (document->hasCachedProperties() || !mayRead)
        body = document->cachedProperties();
    else
        body = document->propertiesAndWait();
    if (!body)
        return {};
    return memberFullNameEntry(body->value(QStringLiteral("firstName")),
                               body->value(QStringLiteral("lastName")));
}
