#include "projects/MembersListModel.h"

#include "records/UserNames.h"
#include "services/ReplicationHealth.h"

#include <QApplication>
#include <QPainter>

namespace {
constexpr int kGap = 16;
}

void MembersListModel::setHealth(ReplicationHealth* health) {
    if (m_health)
        m_health->disconnect(this);
    m_health = health;
    if (health)
        connect(health, &ReplicationHealth::replicationChanged, this,
                &MembersListModel::replicationChanged);
    if (rowCount() > 0)
        Q_EMIT dataChanged(index(0), index(rowCount() - 1));
}

void MembersListModel::setProjectDatabase(const QString& name) {
    if (name == m_projectDatabase)
        return;
    m_projectDatabase = name;
    if (rowCount() > 0)
        Q_EMIT dataChanged(index(0), index(rowCount() - 1));
}

void MembersListModel::replicationChanged(const QString& source, const QString& target) {
    if (source != m_projectDatabase || m_projectDatabase.isEmpty())
        return;
    const QStringList members = stringList();
    for (int row = 0; row < members.size(); ++row) {
        if (trevok::users::userDatabaseName(members.at(row)) == target)
            Q_EMIT dataChanged(index(row), index(row));
    }
}

QVariant MembersListModel::data(const QModelIndex& index, int role) const {
    if (role != SyncTextRole && role != SyncErrorRole && role != Qt::ToolTipRole &&
        role != Qt::AccessibleDescriptionRole)
        return QStringListModel::data(index, role);
    if (!index.isValid() || !m_health || m_projectDatabase.isEmpty())
        return {};
    const QString member = QStringListModel::data(index, Qt::DisplayRole).toString();
    const auto state =
        m_health->stateOf(m_projectDatabase, trevok::users::userDatabaseName(member));
    if (!state)
        return {};
    switch (role) {
    case SyncTextRole:
        return state->text();
    case SyncErrorRole:
        return state->kind == trevok::health::SyncKind::Error;
    default:
        return state->sentence();
    }
}

void MemberSyncDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option,
                               const QModelIndex& index) const {
    QStyledItemDelegate::paint(painter, option, index);
    const QString state = index.data(MembersListModel::SyncTextRole).toString();
    if (state.isEmpty())
        return;
    QStyleOptionViewItem opt = option;
    initStyleOption(&opt, index);
    const int nameWidth = opt.fontMetrics.horizontalAdvance(opt.text);
    QRect area = opt.rect.adjusted(nameWidth + kGap + 6, 0, -6, 0);
    if (area.width() <= 0)
        return;
    painter->save();
    const bool selected = opt.state & QStyle::State_Selected;
    QColor color = selected ? opt.palette.color(QPalette::HighlightedText)
                            : opt.palette.color(QPalette::PlaceholderText);
    if (index.data(MembersListModel::SyncErrorRole).toBool() && !selected)
        color = QColor(0xb0, 0x20, 0x20);
    painter->setPen(color);
    painter->setFont(opt.font);
    painter->drawText(area, Qt::AlignRight | Qt::AlignVCenter,
                      opt.fontMetrics.elidedText(state, Qt::ElideRight, area.width()));
    painter->restore();
}

QSize MemberSyncDelegate::sizeHint(const QStyleOptionViewItem& option,
                                   const QModelIndex& index) const {
    // The state takes what the row has left, elided (its tooltip says it
    // whole): a long error must not widen the rows past the list.
    QSize size = QStyledItemDelegate::sizeHint(option, index);
    if (!index.data(MembersListModel::SyncTextRole).toString().isEmpty())
        size.rwidth() += kGap;
    return size;
}
