#include "chrome/PXAppStoreWindow.h"

PXAppStoreWindow::PXAppStoreWindow(QWidget* parent)
    : QWidget(parent)
{
}
