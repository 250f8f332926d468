#pragma once

#include <QString>

class QFont;
class QLabel;

namespace trevok {

// Texts that come from data (a user's name, a project's title, a server's
// reason) are shown as the characters they are, never as markup, and never
// as anything that moves the window's layout.

// `text` on one line: line and paragraph breaks, tabs and other control
// characters become spaces.
QString oneLine(const QString& text);

// `text` kept apart from the text around it in the writing direction, when
// it needs to be: right-to-left letters or direction controls in a name
// must not reorder the message it is quoted in.
QString isolated(const QString& text);

// A name or title as a message quotes it: one line, isolated, and at most
// `maxCharacters` user-perceived characters, shortened in the middle.
QString shownName(const QString& text, int maxCharacters = 60);

// A tooltip that shows `text` literally; a tooltip that looks like markup
// would otherwise be drawn as markup.
QString plainToolTip(const QString& text);

// The lines `text` takes at `width` pixels in `font`, broken at word
// boundaries (or anywhere when a word is wider than the line), at most
// `maxLines` of them, the last elided when text is left over.
struct FittedText {
    QString text; // the lines, joined by '\n'
    bool elided = false;
};
FittedText fitText(const QString& text, const QFont& font, int width, int maxLines);

// From now on the label shows what setLabelText() gives it in `lines` lines
// of its width, elided where it does not fit, with the whole text as its
// tooltip and accessible name. Its height is those lines whatever the text,
// and the text never asks for width: nothing around it moves.
void fitLabel(QLabel* label, int lines);

// Shows `text` in a label fitLabel() was given; false for any other label.
bool setFittedText(QLabel* label, const QString& text);

// The whole text of a label set by setLabelText(), elided or not.
QString fullLabelText(const QLabel* label);

} // namespace trevok
