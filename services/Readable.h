#pragma once

#include <QColor>
#include <QPalette>
#include <QString>

class QLabel;

namespace trevok {

// Sets a label's text and makes that text its accessible name, so that a
// screen reader reads what a sighted person sees; assistive technology is
// told of the change.
void setLabelText(QLabel* label, const QString& text);

// Puts a warning into a sheet's warning field, shows it and announces it, so
// that a person who cannot see the sheet learns why it refused the input.
void showWarning(QLabel* label, const QString& text);

// Relative luminance and contrast ratio as WCAG 2.1 defines them.
double relativeLuminance(const QColor& color);
double contrastRatio(const QColor& a, const QColor& b);

// The smallest contrast between text and its background that WCAG 2.1 asks
// of body text (level AA).
constexpr double kReadableContrast = 4.5;

// `preferred` when it reaches kReadableContrast on `background`; otherwise
// the colour nearest to it on the way towards black or white (whichever
// reads better on `background`) that does.
QColor readableOn(const QColor& preferred, const QColor& background);

// `palette` with a selection colour dark (or light) enough for its selected
// text to be read, in every colour group.
QPalette withReadableSelection(QPalette palette);

} // namespace trevok
