#include "projects/ProjectsTableCellView.h"

#include "lists/LiveListTableModel.h"
#include "services/Readable.h"

#include <QApplication>
#include <QPainter>

namespace {
// Space between the cell's edges and its texts.
constexpr int kCellMargin = 6;

QFont markerFont(QFont font) {
    font.setItalic(true);
    return font;
}

QPalette::ColorGroup colourGroupOf(const QStyleOptionViewItem& option) {
    if (!option.state.testFlag(QStyle::State_Enabled))
        return QPalette::Disabled;
    return option.state.testFlag(QStyle::State_Active) ? QPalette::Active : QPalette::Inactive;
}
} // namespace

QString projectRowAccessibleText(const QString& title, bool archived) {
    return archived ? title + QStringLiteral(", archived") : title;
}

ProjectCellColours projectCellColours(const QPalette& table, QPalette::ColorGroup group,
                                      bool selected) {
    if (selected) {
        const QColor background = table.color(group, QPalette::Highlight);
        const QColor text =
            trevok::readableOn(table.color(group, QPalette::HighlightedText), background);
        return {text, trevok::readableOn(text, background)};
    }
    const QColor base = table.color(group, QPalette::Base);
    const QColor alternate = table.color(group, QPalette::AlternateBase);
    return {
        trevok::readableOn(trevok::readableOn(table.color(group, QPalette::Text), base), alternate),
        trevok::readableOn(trevok::readableOn(QColor(0x59, 0x59, 0x59), base), alternate)};
}

ProjectsTableDelegate::Layout ProjectsTableDelegate::layout(const QStyleOptionViewItem& option,
                                                            const QModelIndex& index) const {
    QStyleOptionViewItem opt = option;
    initStyleOption(&opt, index);
    const QWidget* widget = option.widget;
    const QStyle* style = widget ? widget->style() : QApplication::style();
    opt.showDecorationSelected =
        style->styleHint(QStyle::SH_ItemView_ShowDecorationSelected, nullptr, widget);
    // The texts lie where the style puts an item's text.
    const QRect text = style->subElementRect(QStyle::SE_ItemViewItemText, &opt, widget)
                           .adjusted(kCellMargin, 0, -kCellMargin, 0);
    if (!index.data(LiveListTableModel::ArchivedRole).toBool())
        return {text, {}};
    const int width = QFontMetrics(markerFont(option.font))
                          .boundingRect(QRect(0, 0, 2000, 2000), Qt::AlignLeft, markerText())
                          .width();
    int spacing = style->pixelMetric(QStyle::PM_LayoutHorizontalSpacing, nullptr, widget);
    if (spacing < 0)
        spacing = kCellMargin;
    const QRect marker(text.right() - width + 1, text.top(), width, text.height());
    QRect title = text;
    title.setRight(marker.left() - spacing - 1);
    return {title, marker};
}

void ProjectsTableDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option,
                                  const QModelIndex& index) const {
    // The row's background, selection and focus as every cell has them.
    QStyleOptionViewItem opt = option;
    initStyleOption(&opt, index);
    opt.text.clear();
    const QWidget* widget = option.widget;
    QStyle* style = widget ? widget->style() : QApplication::style();
    style->drawControl(QStyle::CE_ItemViewItem, &opt, painter, widget);

    const Layout where = layout(option, index);
    const ProjectCellColours colours = projectCellColours(
        option.palette, colourGroupOf(option), option.state.testFlag(QStyle::State_Selected));
    constexpr int flags = Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine;
    painter->save();
    painter->setFont(option.font);
    painter->setPen(colours.title);
    // Plain text, whatever the title holds, cut short when it does not fit.
    const QString title = option.fontMetrics.elidedText(index.data(Qt::DisplayRole).toString(),
                                                        Qt::ElideRight, where.title.width());
    painter->drawText(where.title, flags, title);
    if (!where.marker.isEmpty()) {
        painter->setFont(markerFont(option.font));
        painter->setPen(colours.marker);
        painter->drawText(where.marker, flags, markerText());
    }
    painter->restore();
}
