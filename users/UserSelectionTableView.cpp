#include "users/UserSelectionTableView.h"

#include "services/NotificationCenter.h"

#include <QApplication>
#include <QItemSelectionModel>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QStyleHints>

#include <memory>

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
