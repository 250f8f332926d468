#pragma once

#include <QRect>
#include <QString>

namespace trevok {

// The four numbers of the saved window frame, kept as the text they were read
// from ("NSWindow Frame TrevokServer": x y width height ..., bottom-left origin).
struct SavedFrame {
    QString x = QStringLiteral("250");
    QString y = QStringLiteral("250");
    QString width = QStringLiteral("600");
    QString height = QStringLiteral("470");
};

inline constexpr int kStartWidth = 600;
inline constexpr int kStartHeight = 470;

// A saved text with fewer than four numbers counts as no saved frame.
SavedFrame parseSavedFrame(const QString& text);

// The value of a text's leading decimal integer: "300.5" gives 300, "" gives 0.
int leadingInteger(const QString& text);

// Frames in the window system's bottom-left, y-up coordinates.
// The compact frame keeps the saved frame's top edge where it was.
QRect startFrame(const SavedFrame& saved);
QRect normalFrame(const SavedFrame& saved);

} // namespace trevok
