#pragma once

#include <QStyledItemDelegate>
#include <QWidget>

class QCheckBox;
class QLabel;

// The cell of a project in the projects table: the title and, for an archived
// project, the archived marker.
class ProjectsTableCellView : public QWidget {
    Q_OBJECT
public:
    explicit ProjectsTableCellView(QWidget* parent = nullptr);

    QLabel* titleField() const { return m_titleField; }
    QLabel* archivedTextField() const { return m_archivedTextField; }
    QCheckBox* archivedButton() const { return m_archivedButton; }

protected:
    // The marker follows the button at every redraw.
    void paintEvent(QPaintEvent* event) override;

private:
    QLabel* m_titleField;
    QLabel* m_archivedTextField;
    QCheckBox* m_archivedButton;
};

// Gives every row of the projects table its cell view, kept open and filled
// from the row's record.
class ProjectsTableDelegate : public QStyledItemDelegate {
    Q_OBJECT
public:
    using QStyledItemDelegate::QStyledItemDelegate;
    QWidget* createEditor(QWidget* parent, const QStyleOptionViewItem& option,
                          const QModelIndex& index) const override;
    void setEditorData(QWidget* editor, const QModelIndex& index) const override;
    void setModelData(QWidget*, QAbstractItemModel*, const QModelIndex&) const override {}
    // The row's background and selection only: the cell view shows the rest.
    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override;
};
