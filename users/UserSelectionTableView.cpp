#include "users/UserSelectionTableView.h"

#include "services/NotificationCenter.h"

#include <QApplication>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QScrollBar>
#include <QStyleHints>

#include <memory>
#include <numeric>

namespace {
// The same event with no modifier key held.
std::unique_ptr<QMouseEvent> withoutModifiers(const QMouseEvent* event) {
    std::unique_ptr<QMouseEvent> plain(event->clone());
    plain->setModifiers(Qt::NoModifier);
    return plain;
}
} // namespace

UserSelectionTableView::UserSelectionTableView(QWidget* parent)
    : QTableView(parent) {
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setDragEnabled(false);
    setWordWrap(false);
    setTextElideMode(Qt::ElideRight);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    horizontalHeader()->setSectionResizeMode(QHeaderView::Interactive);
    horizontalHeader()->setStretchLastSection(false);
}

QList<int> UserSelectionTableView::contentWidths() const {
    QList<int> widths;
    if (!model())
        return widths;
    for (int column = 0; column < model()->columnCount(); ++column)
        widths.append(isColumnHidden(column) ? 0
                                             : std::max(horizontalHeader()->sectionSizeHint(column),
                                                        sizeHintForColumn(column)));
    return widths;
}

int UserSelectionTableView::frameAndScrollBar() const {
    return 2 * frameWidth() + verticalScrollBar()->sizeHint().width();
}

QSize UserSelectionTableView::sizeHint() const {
    const QList<int> widths = contentWidths();
    return {std::accumulate(widths.begin(), widths.end(), 0) + frameAndScrollBar(),
            QTableView::sizeHint().height()};
}

QSize UserSelectionTableView::minimumSizeHint() const {
    return {std::min(sizeHint().width(), 200), QTableView::minimumSizeHint().height()};
}

void UserSelectionTableView::fitColumns() {
    const QList<int> widths = contentWidths();
    const int total = std::accumulate(widths.begin(), widths.end(), 0);
    const int room = viewport()->width();
    if (total <= 0 || room <= 0)
        return;
    int last = -1;
    for (int column = 0; column < widths.size(); ++column)
        if (widths.at(column) > 0)
            last = column;
    int given = 0;
    for (int column = 0; column < widths.size(); ++column) {
        if (widths.at(column) == 0)
            continue;
        // The last column takes what is left, so the row ends at the edge.
        const int width = column == last  ? std::max(room - given, 1)
                          : total <= room ? widths.at(column)
                                          : widths.at(column) * room / total;
        horizontalHeader()->resizeSection(column, width);
        given += width;
    }
}

void UserSelectionTableView::resizeEvent(QResizeEvent* event) {
    QTableView::resizeEvent(event);
    fitColumns();
}

void UserSelectionTableView::mousePressEvent(QMouseEvent* event) {
    // The standard double-click handling may hand itself a press of its own.
    if (m_passingOn)
        QTableView::mousePressEvent(event);
    else
        mouseDown(event);
}

void UserSelectionTableView::mouseDoubleClickEvent(QMouseEvent* event) {
    mouseDown(event);
}

// A drag with the button held neither selects nor moves rows.
void UserSelectionTableView::mouseMoveEvent(QMouseEvent* event) {
    if (event->buttons() != Qt::NoButton) {
        event->accept();
        return;
    }
    QTableView::mouseMoveEvent(event);
}

// The standard release would toggle the row under a modifier key.
void UserSelectionTableView::mouseReleaseEvent(QMouseEvent* event) {
    const std::unique_ptr<QMouseEvent> plain = withoutModifiers(event);
    QTableView::mouseReleaseEvent(plain.get());
    event->setAccepted(plain->isAccepted());
}

void UserSelectionTableView::keyPressEvent(QKeyEvent* event) {
    const bool confirm = event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
    if (!confirm || event->modifiers() & ~Qt::KeypadModifier) {
        QTableView::keyPressEvent(event);
        return;
    }
    if (selectionModel() && selectionModel()->hasSelection())
        trevok::NotificationCenter::defaultCenter().post(QStringLiteral("AddUserToProject"));
    event->accept();
}

// Qt reports the second press of a double click as its own event and a third
// one as a plain press again; counting here gives every press of a quick
// series its real click count.
int UserSelectionTableView::clickCountOf(const QMouseEvent* event) {
    const quint64 now = event->timestamp();
    const QPoint position = event->position().toPoint();
    const bool inSeries =
        m_clickCount > 0 && now >= m_lastPressTime &&
        now - m_lastPressTime <= quint64(QApplication::styleHints()->mouseDoubleClickInterval()) &&
        (position - m_lastPressPosition).manhattanLength() <=
            QApplication::styleHints()->mouseDoubleClickDistance();
    m_clickCount = inSeries ? m_clickCount + 1 : 1;
    if (event->type() == QEvent::MouseButtonDblClick && m_clickCount < 2)
        m_clickCount = 2;
    m_lastPressTime = now;
    m_lastPressPosition = position;
    return m_clickCount;
}

void UserSelectionTableView::mouseDown(QMouseEvent* event) {
    const int clickCount = clickCountOf(event);
    const QModelIndex index = indexAt(event->position().toPoint());
    if (!index.isValid()) {
        event->accept();
        return;
    }
    if (clickCount > 1) {
        trevok::NotificationCenter::defaultCenter().post(QStringLiteral("AddUserToProject"));
        // Passed on without modifier keys: the row that the first click
        // selected stays the one selection, never toggled off or extended.
        const std::unique_ptr<QMouseEvent> plain = withoutModifiers(event);
        m_passingOn = true;
        if (event->type() == QEvent::MouseButtonDblClick)
            QTableView::mouseDoubleClickEvent(plain.get());
        else
            QTableView::mousePressEvent(plain.get());
        m_passingOn = false;
        event->setAccepted(plain->isAccepted());
        return;
    }
    if (QItemSelectionModel* selection = selectionModel())
        selection->setCurrentIndex(index,
                                   QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    event->accept();
}
