#include "projects/ProjectsTableCellView.h"

#include "lists/LiveListTableModel.h"
#include "services/Readable.h"

#include <QApplication>
#include <QCheckBox>
#include <QEvent>
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
    QFont italic = m_archivedTextField->font();
    italic.setItalic(true);
    m_archivedTextField->setFont(italic);
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
    applyColours();
}

QString projectRowAccessibleText(const QString& title, bool archived) {
    return archived ? title + QStringLiteral(", archived") : title;
}

void ProjectsTableCellView::setProject(const QString& title, bool archived) {
    trevok::setLabelText(m_titleField, title);
    m_archivedButton->setChecked(archived);
    const QString name = projectRowAccessibleText(title, archived);
    if (accessibleName() != name)
        setAccessibleName(name);
}

void ProjectsTableCellView::setSelected(bool selected) {
    if (m_selected == selected)
        return;
    m_selected = selected;
    applyColours();
}

void ProjectsTableCellView::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    if (event->type() == QEvent::PaletteChange && !m_applyingColours)
        applyColours();
}

void ProjectsTableCellView::applyColours() {
    // The table's colours, since the cell lies on its rows.
    const QWidget* table = parentWidget() ? parentWidget() : this;
    const QPalette source = table->palette();
    m_applyingColours = true;
    for (QLabel* label : {m_titleField, m_archivedTextField}) {
        QPalette palette = label->palette();
        for (const QPalette::ColorGroup group :
             {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
            QColor text;
            QColor marker;
            if (m_selected) {
                const QColor background = source.color(group, QPalette::Highlight);
                text =
                    trevok::readableOn(source.color(group, QPalette::HighlightedText), background);
                // The marker keeps a hint of grey, but never at the cost of
                // being read.
                marker = trevok::readableOn(text, background);
            } else {
                const QColor base = source.color(group, QPalette::Base);
                const QColor alternate = source.color(group, QPalette::AlternateBase);
                text = trevok::readableOn(
                    trevok::readableOn(source.color(group, QPalette::Text), base), alternate);
                marker = trevok::readableOn(trevok::readableOn(QColor(0x59, 0x59, 0x59), base),
                                            alternate);
            }
            // A label on a table's rows draws with Text, elsewhere with
            // WindowText: both, so that the colour holds wherever it lies.
            for (const QPalette::ColorRole role : {QPalette::WindowText, QPalette::Text})
                palette.setColor(group, role, label == m_titleField ? text : marker);
        }
        label->setPalette(palette);
    }
    m_applyingColours = false;
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
    cell->setProject(index.data(Qt::DisplayRole).toString(),
                     index.data(LiveListTableModel::ArchivedRole).toBool());
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
