#pragma once

#include <QColor>
#include <QPalette>
#include <QRect>
#include <QStyledItemDelegate>

// What assistive technology reads for a project's row: the title, and the
// archived marker when it is shown ("Café Zürich, archived").
QString projectRowAccessibleText(const QString& title, bool archived);

// The colours of a project's cell, readable on the table's rows (both
// alternating colours) or on its selection colour: the title, and the
// archived marker, which keeps a hint of grey as long as it can be read.
struct ProjectCellColours {
    QColor title;
    QColor marker;
};
ProjectCellColours projectCellColours(const QPalette& table, QPalette::ColorGroup group,
                                      bool selected);

// The cell of a project in the projects table: the title and, for an archived
// project, the archived marker in italics at the right, drawn over the row's
// background and selection.
class ProjectsTableDelegate : public QStyledItemDelegate {
    Q_OBJECT
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    static QString markerText() { return QStringLiteral("Archived"); }

    // Where the title and the marker of the row `index` go in the cell that
    // `option` describes; the marker's rectangle is empty when the project is
    // not archived.
    struct Layout {
        QRect title;
        QRect marker;
    };
    Layout layout(const QStyleOptionViewItem& option, const QModelIndex& index) const;

    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override;
};
