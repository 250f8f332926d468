#pragma once

#include <QTableView>

class QKeyEvent;
class QMouseEvent;
class QResizeEvent;

// The table of the user-picking panel. A single click selects exactly the
// clicked row (modifier keys neither extend nor toggle, nothing is dragged or
// edited); every mouse-down of a double click or more on a row posts
// "AddUserToProject" for the row the first click selected. Clicks outside the
// rows change nothing. Return (or Enter) posts it for the selected row, so
// that the keyboard alone adds a member.
class UserSelectionTableView : public QTableView {
    Q_OBJECT
public:
    UserSelectionTableView(QWidget* parent = nullptr);

    // Every shown column as wide as its content when there is room for
    // them all; else each narrowed alike, its cells elided (their tooltips
    // have them whole), so that no column is half shown.
    void fitColumns();
    // As wide as the columns' content; the window makes room for that.
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void resizeEvent(QResizeEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    void mouseDown(QMouseEvent* event);
    QList<int> contentWidths() const;
    int frameAndScrollBar() const;
    int clickCountOf(const QMouseEvent* event);

    quint64 m_lastPressTime = 0;
    QPoint m_lastPressPosition;
    int m_clickCount = 0;
    bool m_passingOn = false;
};
