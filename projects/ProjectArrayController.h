#pragma once

#include <QItemSelection>
#include <QList>
#include <QPointer>
#include <QSortFilterProxyModel>
#include <QString>
#include <QTableView>
#include <QVariantMap>

class CouchDatabase;
class CouchModel;
class LiveListTableModel;
class ProjectQuery;

// The content of the projects table: the project live list's entries that
// pass the list filter. It holds the selected project for the membership
// actions (and notes it in the user defaults) and builds the members' full
// names.
class ProjectArrayController : public QSortFilterProxyModel {
    Q_OBJECT
public:
    // `userDatabase` is `_users`, where the members' names come from; a null
    // `list` shows nothing.
    ProjectArrayController(ProjectQuery* list, CouchDatabase* userDatabase,
                           QObject* parent = nullptr);
    ~ProjectArrayController() override;

    void setFilterPredicate(const QString& predicate);
    QString filterPredicate() const { return m_predicate; }

    // Shows the list in `view` and follows its selection.
    void attachTo(QTableView* view);
    QTableView* tableView() const { return m_view; }

    // The table of every listed record, before the list filter.
    LiveListTableModel* listTable() const { return m_source; }

    CouchModel* modelAtRow(int row) const;
    // The first selected record, or nullptr.
    CouchModel* selectedModel() const;
    int rowOfModel(const CouchModel* model) const;

    // The selected project's record id and database stem; empty when none.
    QString selectedProjectID() const { return m_selectedProjectID; }
    QString selectedProjectStem() const { return m_selectedProjectStem; }
    QList<QVariantMap> projectMembersFullName() const { return m_projectMembersFullName; }
    // The member entry of one user, from what is at hand (no read).
    QVariantMap memberFullName(const QString& userName) const {
        return fullNameOf(userName, false);
    }

    // After each change of the table's selection.
    void tableViewSelectionDidChange();

Q_SIGNALS:
    void projectMembersFullNameChanged();

public:
    // The row's accessible text carries the archived marker.
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;

protected:
    bool filterAcceptsRow(int sourceRow, const QModelIndex& sourceParent) const override;

private:
    QVariantMap fullNameOf(const QString& userName, bool mayRead) const;
    void selectionChanged(bool mayRead);

    LiveListTableModel* m_source;
    QPointer<CouchDatabase> m_userDatabase;
    QString m_predicate;
    QPointer<QTableView> m_view;
    QString m_selectedProjectID;
    QString m_selectedProjectStem;
    QList<QVariantMap> m_projectMembersFullName;
};
