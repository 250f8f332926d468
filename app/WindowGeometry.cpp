#include "app/WindowGeometry.h"

#include <QStringList>

namespace trevok {

SavedFrame parseSavedFrame(const QString& text) {
    const QStringList parts = text.split(QLatin1Char(' '));
    if (parts.size() < 4)
        return {};
    return {parts[0], parts[1], parts[2], parts[3]};
}

int leadingInteger(const QString& text) {
    qsizetype i = 0;
    while (i < text.size() && text[i].isSpace())
        ++i;
    const qsizetype start = i;
    if (i < text.size() && (text[i] == QLatin1Char('-') || text[i] == QLatin1Char('+')))
        ++i;
    while (i < text.size() && text[i] >= QLatin1Char('0') && text[i] <= QLatin1Char('9'))
        ++i;
    bool ok = false;
    const int value = text.mid(start, i - start).toInt(&ok);
    return ok ? value : 0;
}

QRect startFrame(const SavedFrame& saved) {
    const int x = leadingInteger(saved.x);
    const int y = leadingInteger(saved.height) + leadingInteger(saved.y) - kStartHeight;
    return {x, y, kStartWidth, kStartHeight};
}

QRect normalFrame(const SavedFrame& saved) {
    return {leadingInteger(saved.x), leadingInteger(saved.y), leadingInteger(saved.width),
            leadingInteger(saved.height)};
}

} // namespace trevok
