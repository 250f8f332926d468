#include "desktop/DesktopNotifier.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDebug>
#include <QTimer>
#include <QVariantMap>

#include <utility>

namespace trevok {

namespace {
const QString kService = QStringLiteral("org.freedesktop.Notifications");
const QString kPath = QStringLiteral("/org/freedesktop/Notifications");
} // namespace

DesktopNotifier::DesktopNotifier(QObject* parent)
    : QObject(parent) {}

void DesktopNotifier::notify(const QString& summary, const QString& body) {
    QDBusMessage call =
        QDBusMessage::createMethodCall(kService, kPath, kService, QStringLiteral("Notify"));
    const QVariantMap hints{
        {QStringLiteral("desktop-entry"), QStringLiteral("com.trevokapp.TrevokServer")}};
    call << QStringLiteral("TrevokServer") << 0u << QStringLiteral("com.trevokapp.TrevokServer")
         << summary << body << QStringList() << hints << -1;
    // Sent without waiting: a slow notification service never holds up the console.
    auto* watcher =
        new QDBusPendingCallWatcher(QDBusConnection::sessionBus().asyncCall(call), this);
    ++m_sent;
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, summary, body](QDBusPendingCallWatcher* done) {
                done->deleteLater();
                if (!done->isError())
                    return;
                if (!m_toldUnavailable)
                    qWarning().noquote()
                        << QStringLiteral("Error: the desktop's notification service cannot be "
                                          "reached (%1); notifications go to this log.")
                               .arg(done->error().message());
                m_toldUnavailable = true;
                qWarning().noquote() << summary + QStringLiteral(": ") + body;
            });
}

NotificationBurst::NotificationBurst(int quietMs, QObject* parent)
    : QObject(parent)
    , m_timer(new QTimer(this)) {
    m_timer->setSingleShot(true);
    m_timer->setInterval(quietMs);
    connect(m_timer, &QTimer::timeout, this, [this] {
        const QStringList names = std::exchange(m_names, {});
        if (!names.isEmpty())
            Q_EMIT burst(names);
    });
}

void NotificationBurst::add(const QString& name) {
    if (!m_names.contains(name))
        m_names.append(name);
    // Only the first one starts the spell: a steady trickle still gets told.
    if (!m_timer->isActive())
        m_timer->start();
}

} // namespace trevok
