#include "services/ShownText.h"

#include <QEvent>
#include <QFontMetrics>
#include <QLabel>
#include <QTextBoundaryFinder>
#include <QTextLayout>

namespace trevok {

namespace {
constexpr char kFullText[] = "trevokFullText";
constexpr char kFitLines[] = "trevokFitLines";

bool breaksTheLine(QChar c) {
    const QChar::Category category = c.category();
    return category == QChar::Other_Control || category == QChar::Separator_Line ||
           category == QChar::Separator_Paragraph;
}

bool turnsDirection(char32_t c) {
    switch (QChar::direction(c)) {
    case QChar::DirR:
    case QChar::DirAL:
    case QChar::DirRLE:
    case QChar::DirRLO:
    case QChar::DirLRE:
    case QChar::DirLRO:
    case QChar::DirPDF:
    case QChar::DirRLI:
    case QChar::DirLRI:
    case QChar::DirFSI:
    case QChar::DirPDI:
        return true;
    default:
        return false;
    }
}

// The positions where user-perceived characters begin, and the end.
QList<qsizetype> graphemeStarts(const QString& text) {
    QList<qsizetype> starts;
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
    for (qsizetype at = 0; at >= 0 && at < text.size(); at = finder.toNextBoundary())
        starts.append(at);
    starts.append(text.size());
    return starts;
}

class LabelFitter : public QObject {
public:
    explicit LabelFitter(QLabel* label)
        : QObject(label) {
        label->installEventFilter(this);
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        switch (event->type()) {
        case QEvent::Resize:
        case QEvent::FontChange:
        case QEvent::StyleChange:
            if (auto* label = qobject_cast<QLabel*>(watched); label && !label->text().isEmpty())
                setFittedText(label, fullLabelText(label));
            break;
        default:
            break;
        }
        return false;
    }
};
} // namespace

QString oneLine(const QString& text) {
    QString line = text;
    for (QChar& c : line)
        if (breaksTheLine(c))
            c = QLatin1Char(' ');
    return line;
}

QString isolated(const QString& text) {
    const QList<uint> codes = text.toUcs4();
    if (std::none_of(codes.begin(), codes.end(), [](uint c) { return turnsDirection(c); }))
        return text;
    // First strong isolate ... pop directional isolate: inside, its own
    // direction; outside, one neutral character. The pop also ends any
    // embedding or override the text leaves open.
    return QChar(0x2068) + text + QChar(0x2069);
}

QString shownName(const QString& text, int maxCharacters) {
    QString line = oneLine(text);
    const QList<qsizetype> starts = graphemeStarts(line);
    const qsizetype count = starts.size() - 1;
    if (count > maxCharacters && maxCharacters > 1) {
        const qsizetype head = (maxCharacters - 1) * 2 / 3;
        const qsizetype tail = maxCharacters - 1 - head;
        line = line.left(starts.at(head)) + QChar(0x2026) + line.mid(starts.at(count - tail));
    }
    return isolated(line);
}

QString plainToolTip(const QString& text) {
    if (!Qt::mightBeRichText(text))
        return text;
    return QStringLiteral("<p style='white-space:pre-wrap'>") + text.toHtmlEscaped() +
           QStringLiteral("</p>");
}

FittedText fitText(const QString& text, const QFont& font, int width, int maxLines) {
    const QString line = oneLine(text);
    if (maxLines < 1 || width <= 0)
        return {QString(), !line.isEmpty()};
    const QFontMetrics metrics(font);
    QTextLayout layout(line, font);
    QTextOption option;
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    layout.setTextOption(option);
    QStringList lines;
    bool elided = false;
    layout.beginLayout();
    for (QTextLine next = layout.createLine(); next.isValid(); next = layout.createLine()) {
        next.setLineWidth(width);
        if (lines.size() == maxLines - 1) {
            const QString rest = line.mid(next.textStart()).trimmed();
            const QString shown = metrics.elidedText(rest, Qt::ElideRight, width);
            elided = shown != rest;
            lines.append(shown);
            break;
        }
        lines.append(line.mid(next.textStart(), next.textLength()).trimmed());
    }
    layout.endLayout();
    return {lines.join(QLatin1Char('\n')), elided};
}

void fitLabel(QLabel* label, int lines) {
    if (!label || label->property(kFitLines).isValid())
        return;
    label->setProperty(kFitLines, lines);
    label->setProperty(kFullText, label->text());
    label->setTextFormat(Qt::PlainText);
    label->setWordWrap(false);
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    label->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);
    label->setMinimumWidth(1);
    const QMargins margins = label->contentsMargins();
    label->setFixedHeight(lines * label->fontMetrics().lineSpacing() + margins.top() +
                          margins.bottom() + 2 * label->margin());
    new LabelFitter(label);
    // An empty label keeps the accessible name its interface file gave it.
    if (!label->text().isEmpty())
        setFittedText(label, label->text());
}

bool setFittedText(QLabel* label, const QString& text) {
    const QVariant lines = label->property(kFitLines);
    if (!lines.isValid())
        return false;
    label->setProperty(kFullText, text);
    const int width = label->contentsRect().width() - 2 * label->margin();
    const FittedText fitted = fitText(text, label->font(), width, lines.toInt());
    label->setText(fitted.text);
    label->setToolTip(fitted.elided ? plainToolTip(text) : QString());
    if (label->accessibleName() != text)
        label->setAccessibleName(text);
    return true;
}

QString fullLabelText(const QLabel* label) {
    if (!label)
        return {};
    const QVariant full = label->property(kFullText);
    return full.isValid() ? full.toString() : label->text();
}

} // namespace trevok
