#pragma once

#include <QObject>
#include <QString>

// Buttons that share an identifier share one group: while the pointer is over
// any of them, every enabled one shows its rollover image. Groups are
// registered process-wide by identifier and live until the process ends, so
// equal identifiers always give the same group object.
class PXWindowButtonGroup : public QObject {
    Q_OBJECT
    Q_PROPERTY(QString identifier READ identifier CONSTANT)
    Q_PROPERTY(qint64 numberOfCaptures READ numberOfCaptures WRITE setNumberOfCaptures NOTIFY
                   didUpdateRolloverState)
public:
    static const QString defaultIdentifier;
    // The name under which the rollover change is announced.
    static const QString didUpdateRolloverStateNotification;

    // The registered group for `identifier` (the default group for an empty
    // or null one), created on first request. Main thread only.
    static PXWindowButtonGroup* groupWithIdentifier(const QString& identifier = QString());

    explicit PXWindowButtonGroup(const QString& identifier, QObject* parent = nullptr);

    QString identifier() const { return m_identifier; }
    qint64 numberOfCaptures() const { return m_numberOfCaptures; }
    // Ignored when equal to the current count or negative.
    void setNumberOfCaptures(qint64 count);

    void didCaptureMousePointer();
    void didReleaseMousePointer();
    bool shouldDisplayRollOver() const { return m_numberOfCaptures > 0; }
    void resetMouseCaptures();

Q_SIGNALS:
    // "PXWindowButtonGroupDidUpdateRolloverStateNotification", delivered
    // synchronously, once per change of the count.
    void didUpdateRolloverState(PXWindowButtonGroup* group);

private:
    QString m_identifier;
    qint64 m_numberOfCaptures = 0;
};
