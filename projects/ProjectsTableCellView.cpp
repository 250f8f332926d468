#include "projects/ProjectsTableCellView.h"

#include "projects/LiveListTableModel.h"

#include <QApplication>
#include <QCheckBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>

ProjectsTableCellView::ProjectsTableCellView(QWidget* parent)
    : QWidget(parent)
    , m_titleField(new QLabel(this))
    , m_archivedTextField(new QLabel(QStringLiteral("Archived"), this))
    , m_archivedButton(new QCheckBox(this)) {
    // Clicks go through to the table, which selects the row.
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setAutoFillBackground(false);
    m_titleField->setObjectName(QStringLiteral("projectTitleField"));
    m_titleField->setAccessibleDescription(QStringLiteral("projectTitleField"));
    m_archivedTextField->setObjectName(QStringLiteral("archivedTextField"));
    m_archivedTextField->setAccessibleName(QStringLiteral("Archived"));
    m_archivedTextField->setAccessibleDescription(QStringLiteral("archivedTextField"));
    m_archivedTextField->setStyleSheet(QStringLiteral("color: #6d6d6d; font-style: italic;"));
    m_archivedButton->setObjectName(QStringLiteral("archivedButton"));
    m_archivedButton->setAccessibleName(QStringLiteral("Project is archived"));
    m_archivedButton->setAccessibleDescription(QStringLiteral("archivedButton"));
    m_archivedButton->setFocusPolicy(Qt::NoFocus);
    // It carries the row's state; the administrator does not toggle it here.
    m_archivedButton->hide();
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(6, 0, 6, 0);
    layout->addWidget(m_titleField, 1);
    layout->addWidget(m_archivedTextField);
    layout->addWidget(m_archivedButton);
    m_archivedTextField->hide();
    connect(m_archivedButton, &QCheckBox::toggled, this, [this] { update(); });
}

void ProjectsTableCellView::paintEvent(QPaintEvent* event) {
    QWidget::paintEvent(event);
    const bool archived = m_archivedButton->checkState() == Qt::Checked;
    if (m_archivedTextField->isHidden() == archived)
        m_archivedTextField->setVisible(archived);
}

QWidget* ProjectsTableDelegate::createEditor(QWidget* parent, const QStyleOptionViewItem&,
                                             const QModelIndex&) const {
    return new ProjectsTableCellView(parent);
}

void ProjectsTableDelegate::setEditorData(QWidget* editor, const QModelIndex& index) const {
    auto* cell = qobject_cast<ProjectsTableCellView*>(editor);
    if (!cell)
        return;
    const QString title = index.data(Qt::DisplayRole).toString();
    cell->titleField()->setText(title);
    cell->setAccessibleName(title);
    cell->archivedButton()->setChecked(index.data(LiveListTableModel::ArchivedRole).toBool());
}

void ProjectsTableDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option,
                                  const QModelIndex& index) const {
    QStyleOptionViewItem opt = option;
    initStyleOption(&opt, index);
    opt.text.clear();
    const QWidget* widget = option.widget;
    QStyle* style = widget ? widget->style() : QApplication::style();
    style->drawControl(QStyle::CE_ItemViewItem, &opt, painter, widget);
}
