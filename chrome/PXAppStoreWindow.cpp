#include "chrome/PXAppStoreWindow.h"

#include <QVBoxLayout>

PXAppStoreWindow::PXAppStoreWindow(QWidget* parent)
    : QWidget(parent, Qt::Window)
    , m_titleBar(new QWidget(this))
    , m_content(new QWidget(this)) {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(m_titleBar);
    layout->addWidget(m_content, 1);
    m_titleBar->setFixedHeight(0);
}

void PXAppStoreWindow::setTitleBarHeight(double h) {
    m_titleBarHeight = h;
    m_titleBar->setFixedHeight(int(h));
}

void PXAppStoreWindow::beginSheet(QWidget* sheet) {
    m_sheet = sheet;
    sheet->setParent(this, Qt::Sheet);
    sheet->setWindowModality(Qt::WindowModal);
    sheet->show();
}

void PXAppStoreWindow::endSheet(QWidget* sheet) {
    if (m_sheet == sheet)
        m_sheet = nullptr;
    sheet->hide();
}
