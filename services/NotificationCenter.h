#pragma once

#include <QHash>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QVariant>

#include <functional>

namespace trevok {

struct Notification {
    QString name;
    QObject* sender = nullptr;
    QVariant userInfo;
};

// The application's default notification centre: named notifications posted by
// any object and delivered, synchronously and in registration order, to the
// observers of that name. An observer that is destroyed is dropped on its own.
// A notification posted while a flow runs is delivered once it has ended.
class NotificationCenter {
public:
    using Handler = std::function<void(const Notification&)>;

    static NotificationCenter& defaultCenter();

    void addObserver(QObject* observer, const QString& name, Handler handler);
    // Removes the observer from every notification.
    void removeObserver(QObject* observer);
    void removeObserver(QObject* observer, const QString& name);
    void post(const QString& name, QObject* sender = nullptr, const QVariant& userInfo = {});

    int observerCount(const QString& name) const;

private:
    void deliver(const Notification& n);

    // Context of deliveries held back while a flow runs.
    QObject m_anchor;
    struct Entry {
        QPointer<QObject> observer;
        QString name;
        Handler handler;
    };
    QList<Entry> m_entries;
};

} // namespace trevok
