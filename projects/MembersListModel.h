#pragma once

#include <QPointer>
#include <QStringListModel>
#include <QStyledItemDelegate>

class ReplicationHealth;

// The members of the current project (user names, as stored) together with
// the state of each member's replication from the project database. The name
// stays the item's text, so selections and every reader of the list see the
// member's name; the state is another role, drawn beside the name.
class MembersListModel : public QStringListModel {
    Q_OBJECT
public:
    // The state's text ("Running", "Error: …"), "" while none is known.
    static constexpr int SyncTextRole = Qt::UserRole + 1;
    // Whether the state is an error.
    static constexpr int SyncErrorRole = Qt::UserRole + 2;

    using QStringListModel::QStringListModel;

    void setHealth(ReplicationHealth* health);
    // "trevok_project_…" of the current project ("" for none).
    void setProjectDatabase(const QString& name);
    QString projectDatabase() const { return m_projectDatabase; }

    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;

private:
    void replicationChanged(const QString& source, const QString& target);
    QPointer<ReplicationHealth> m_health;
    QString m_projectDatabase;
};

// Draws a member's name as usual and its replication state after it, in red
// when it is an error.
class MemberSyncDelegate : public QStyledItemDelegate {
    Q_OBJECT
public:
    using QStyledItemDelegate::QStyledItemDelegate;
    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override;
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;
};
