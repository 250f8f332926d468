#include "chrome/PXWindowButtonGroup.h"

#include <QHash>

const QString PXWindowButtonGroup::defaultIdentifier =
    QStringLiteral("com.corvane.pxappstorewindow.defaultWindowButtonGroup");
const QString PXWindowButtonGroup::didUpdateRolloverStateNotification =
    QStringLiteral("PXWindowButtonGroupDidUpdateRolloverStateNotification");

PXWindowButtonGroup* PXWindowButtonGroup::groupWithIdentifier(const QString& identifier) {
    // Never emptied: a button may look its group up again at any time.
    static QHash<QString, PXWindowButtonGroup*> registry;
    const QString key = identifier.isEmpty() ? defaultIdentifier : identifier;
    PXWindowButtonGroup*& group = registry[key];
    if (!group)
        group = new PXWindowButtonGroup(key);
    return group;
}

PXWindowButtonGroup::PXWindowButtonGroup(const QString& identifier, QObject* parent)
    : QObject(parent)
    , m_identifier(identifier) {}

void PXWindowButtonGroup::setNumberOfCaptures(qint64 count) {
    if (count == m_numberOfCaptures || count < 0)
        return;
    m_numberOfCaptures = count;
    Q_EMIT didUpdateRolloverState(this);
}

void PXWindowButtonGroup::didCaptureMousePointer() {
    setNumberOfCaptures(m_numberOfCaptures + 1);
}

void PXWindowButtonGroup::didReleaseMousePointer() {
    setNumberOfCaptures(m_numberOfCaptures - 1);
}

void PXWindowButtonGroup::resetMouseCaptures() {
    setNumberOfCaptures(0);
}
