#pragma once

#include <QObject>
#include <QString>
#include <QStringList>

class QTimer;

namespace trevok {

// Tells the administrator through the desktop's notification service
// (org.freedesktop.Notifications on the session bus). Without that service
// the text goes to the log, once with the reason.
class DesktopNotifier : public QObject {
    Q_OBJECT
public:
    explicit DesktopNotifier(QObject* parent = nullptr);

    void notify(const QString& summary, const QString& body);
    int sent() const { return m_sent; }

private:
    int m_sent = 0;
    bool m_toldUnavailable = false;
};

// Collects what goes wrong together (one member's database removed puts two
// replications in error within a moment) into one notification: names added
// within a quiet spell are delivered once, in the order first added.
class NotificationBurst : public QObject {
    Q_OBJECT
public:
    explicit NotificationBurst(int quietMs, QObject* parent = nullptr);

    void add(const QString& name);

Q_SIGNALS:
    void burst(const QStringList& names);

private:
    QTimer* m_timer;
    QStringList m_names;
};

} // namespace trevok
