#pragma once

#include <QWidget>

class QVBoxLayout;

// Interim main window until the custom title bar lands: a plain window with a
// title bar area and a content area, and sheets shown as window-modal dialogs.
class PXAppStoreWindow : public QWidget {
    Q_OBJECT
public:
    explicit PXAppStoreWindow(QWidget* parent = nullptr);

    QWidget* titleBarView() const { return m_titleBar; }
    QWidget* contentView() const { return m_content; }

    void setTitleBarHeight(double h);
    double titleBarHeight() const { return m_titleBarHeight; }
    void setTrafficLightButtonsLeftMargin(double) {}
    void setFullScreenButtonRightMargin(double) {}
    void setCenterFullScreenButton(bool) {}
    void setCenterTrafficLightButtons(bool) {}
    void setShowsTitle(bool) {}
    void setShowsBaselineSeparator(bool) {}
    void setFrameAutosaveName(const QString&) {}

    void beginSheet(QWidget* sheet);
    void endSheet(QWidget* sheet);
    QWidget* attachedSheet() const { return m_sheet; }

private:
    QWidget* m_titleBar;
    QWidget* m_content;
    QWidget* m_sheet = nullptr;
    double m_titleBarHeight = 22;
};
