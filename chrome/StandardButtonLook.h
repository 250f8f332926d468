#pragma once

#include "chrome/PXAppStoreWindow.h"

class PXWindowButton;

// The window's own close, minimise, zoom and full-screen buttons are drawn
// rather than loaded from images, so that they look right at any scale and
// need no theme.
namespace PXStandardButtons {

// Every image the button shows: active, active in a window that is not the
// key window, inactive, under the pointer and pressed.
void giveLooks(PXWindowButton* button, PXAppStoreWindow::StandardButton kind);

// "closeButton", "minimizeButton", "zoomButton", "fullScreenButton".
QString outletName(PXAppStoreWindow::StandardButton kind);

// A name a person understands, the button's outlet name as its description
// (scripted tests find it by that), and the same name as tooltip.
void nameForAccessibility(PXWindowButton* button, PXAppStoreWindow::StandardButton kind);

} // namespace PXStandardButtons
