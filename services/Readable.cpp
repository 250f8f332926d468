#include "services/Readable.h"
#include "services/ShownText.h"

#include <QAccessible>
#include <QLabel>

#include <cmath>

namespace trevok {

void setLabelText(QLabel* label, const QString& text) {
    if (!label)
        return;
    // What the console writes into a label is never markup: names, titles
    // and the server's reasons in it come from people who may not be kind.
    label->setTextFormat(Qt::PlainText);
    if (setFittedText(label, text))
        return;
    const bool changed = label->text() != text || label->accessibleName() != text;
    label->setText(text);
    // Setting the name tells assistive technology of it (NameChanged).
    if (changed)
        label->setAccessibleName(text);
}

void showWarning(QLabel* label, const QString& text) {
    if (!label)
        return;
    setLabelText(label, text);
    label->show();
    // The same message again is news too: the person tried again.
    QAccessibleEvent alert(label, QAccessible::Alert);
    QAccessible::updateAccessibility(&alert);
}

double relativeLuminance(const QColor& color) {
    const auto channel = [](double c) {
        return c <= 0.04045 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4);
    };
    const QColor rgb = color.toRgb();
    return 0.2126 * channel(rgb.redF()) + 0.7152 * channel(rgb.greenF()) +
           0.0722 * channel(rgb.blueF());
}

double contrastRatio(const QColor& a, const QColor& b) {
    const double la = relativeLuminance(a);
    const double lb = relativeLuminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

namespace {
QColor mix(const QColor& from, const QColor& to, double t) {
    const QColor a = from.toRgb();
    const QColor b = to.toRgb();
    return QColor::fromRgbF(float(a.redF() + (b.redF() - a.redF()) * t),
                            float(a.greenF() + (b.greenF() - a.greenF()) * t),
                            float(a.blueF() + (b.blueF() - a.blueF()) * t));
}
// A little above the threshold, so that rounding to 8-bit channels never
// lands below it.
constexpr double kTarget = kReadableContrast + 0.1;
} // namespace

QColor readableOn(const QColor& preferred, const QColor& background) {
    if (contrastRatio(preferred, background) >= kTarget)
        return preferred;
    const QColor end = contrastRatio(Qt::black, background) >= contrastRatio(Qt::white, background)
                           ? QColor(Qt::black)
                           : QColor(Qt::white);
    for (int step = 1; step <= 20; ++step) {
        const QColor candidate = mix(preferred, end, step / 20.0);
        if (contrastRatio(candidate, background) >= kTarget)
            return candidate;
    }
    return end;
}

QPalette withReadableSelection(QPalette palette) {
    for (const QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive}) {
        const QColor text = palette.color(group, QPalette::HighlightedText);
        const QColor selection = palette.color(group, QPalette::Highlight);
        // The selection colour moves, not the text: its hue stays recognisable.
        palette.setColor(group, QPalette::Highlight, readableOn(selection, text));
    }
    return palette;
}

} // namespace trevok
