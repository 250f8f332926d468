#pragma once

#include "lists/LiveListTableModel.h"
#include "lists/UserQuery.h"

#include <QList>
#include <QPointer>

class CouchModel;
class QAbstractItemView;
class QItemSelectionModel;
class UserModel;

// The list controller of the users: a table model over the users live list's
// entries with one selection shared by every table that shows it (the users
// table and the user-picking table). The selected user's stored name goes to
// the user default "CurrentUserName".
class UserArrayController : public LiveListTableModel {
    Q_OBJECT
public:
    enum Column {
        NameColumn,
        FirstNameColumn,
        LastNameColumn,
        CreatedColumn,
        // When the user's sync client last reached the listener.
        LastSeenColumn,
        // The state of the user's replication into the master database.
        SyncColumn,
        ColumnCount
    };
    // How often the relative "Last seen" texts are brought up to date.
    static constexpr int kLastSeenRefreshMs = 30000;

    explicit UserArrayController(QObject* parent = nullptr);
    ~UserArrayController() override;

    // Wide enough for any creation date in `view`'s font, on one line,
    // without measuring every row.
    static int createdColumnWidth(const QWidget* view);

    // The list whose entries are shown; nullptr shows nothing.
    void setContent(UserQuery* list);
    // Where the sync column's states come from; nullptr shows none.
    void setHealth(class ReplicationHealth* health);
    // The user's name in a row, as stored.
    QString nameAtRow(int row) const;
    UserQuery* content() const;

    // Shows the users in `view`, with this controller's selection.
    void showIn(QAbstractItemView* view);
    QItemSelectionModel* selectionModel() const { return m_selection; }

    // The selected users, in row order.
    QList<UserModel*> selectedObjects() const;
    UserModel* firstSelectedObject() const;
    bool hasSelection() const;
    UserModel* objectAtRow(int row) const;

    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;

    // Stores the first selected user's stored name under "CurrentUserName";
    // an empty selection leaves the last name there.
    void tableViewSelectionDidChange();

Q_SIGNALS:
    void selectionDidChange();

private:
    void replicationChanged(const QString& source, const QString& target);
    void refreshLastSeen();
    QVariant syncData(int row, int role) const;

    QItemSelectionModel* m_selection;
    QPointer<class ReplicationHealth> m_health;
    class QTimer* m_lastSeenTimer;
};
