#include "chrome/PXWindowButtonGroup.h"

#include <map>
#include <memory>

const QString PXWindowButtonGroup::defaultIdentifier =
    QStringLiteral("com.corvane.pxappstorewindow.defaultWindowButtonGroup");
const QString PXWindowButtonGroup::didUpdateRolloverStateNotification =
    QStringLiteral("PXWindowButtonGroupDidUpdateRolloverStateNotification");

PXWindowButtonGroup* PXWindowButtonGroup::groupWithIdentifier(const QString& identifier) {
    // Never emptied while the process runs: a button may look its group up
    // again at any time. The groups go with the registry at exit.
    static std::map<QString, std::unique_ptr<PXWindowButtonGroup>> registry;
    const QString key = identifier.isEmpty() ? defaultIdentifier : identifier;
    std::unique_ptr<PXWindowButtonGroup>& group = registry[key];
    if (!group)
        group.reset(new PXWindowButtonGroup(key));
    return group.get();
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
