#pragma once

#include <QWidget>

// The main window with its custom title bar.
class PXAppStoreWindow : public QWidget {
    Q_OBJECT
public:
    explicit PXAppStoreWindow(QWidget* parent = nullptr);
};
