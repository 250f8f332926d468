#pragma once

class QWidget;

namespace trevok {

// Keeps `window` from being made smaller than what `content` (a part of it)
// needs to show whole: its minimum size follows the content's layout as
// that changes (a tab, a panel, a sheet's worth of controls).
void followContentMinimum(QWidget* window, QWidget* content);

} // namespace trevok
