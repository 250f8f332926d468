#pragma once

#include <QStyledItemDelegate>
#include <QWidget>

class QCheckBox;
class QLabel;

// What assistive technology reads for a project's row: the title, and the
// archived marker when it is shown ("Café Zürich, archived").
QString projectRowAccessibleText(const QString& title, bool archived);

// The cell of a project in the projects table: the title and, for an archived
// project, the archived marker.
class ProjectsTableCellView : public QWidget {
    Q_OBJECT
public:
    explicit ProjectsTableCellView(QWidget* parent = nullptr);

    QLabel* titleField() const { return m_titleField; }
    QLabel* archivedTextField() const { return m_archivedTextField; }
    QCheckBox* archivedButton() const { return m_archivedButton; }

    // Fills the cell from its row; the accessible name follows.
    void setProject(const QString& title, bool archived);
    // Whether the row is selected: the texts take colours that read well on
    // the table's selection colour (or on its rows when not selected).
    void setSelected(bool selected);
    bool isSelected() const { return m_selected; }

protected:
    // The marker follows the button at every redraw.
    void paintEvent(QPaintEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    QLabel* m_titleField;
    QLabel* m_archivedTextField;
    QCheckBox* m_archivedButton;
    bool m_selected = false;
    bool m_applyingColours = false;

    void applyColours();
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
