#include "services/NotificationCenter.h"

#include "services/BusyState.h"

namespace trevok {

NotificationCenter& NotificationCenter::defaultCenter() {
    static NotificationCenter center;
    return center;
}

void NotificationCenter::addObserver(QObject* observer, const QString& name, Handler handler) {
    m_entries.append({observer, name, std::move(handler)});
}

void NotificationCenter::removeObserver(QObject* observer) {
    m_entries.removeIf([observer](const Entry& e) { return e.observer == observer; });
}

void NotificationCenter::removeObserver(QObject* observer, const QString& name) {
    m_entries.removeIf(
        [observer, &name](const Entry& e) { return e.observer == observer && e.name == name; });
}

void NotificationCenter::post(const QString& name, QObject* sender, const QVariant& userInfo) {
    const Notification n{name, sender, userInfo};
    if (flowRunning()) {
        // A handler starts a flow: it waits until the running one has ended.
        whenIdle(&m_anchor, [this, n] { deliver(n); });
        return;
    }
    deliver(n);
}

void NotificationCenter::deliver(const Notification& n) {
    const QString& name = n.name;
    // A handler may add or remove observers: deliver to a snapshot.
    const QList<Entry> snapshot = m_entries;
    for (const Entry& e : snapshot) {
        if (e.name == name && e.observer)
            e.handler(n);
    }
}

int NotificationCenter::observerCount(const QString& name) const {
    int count = 0;
    for (const Entry& e : m_entries)
        count += (e.name == name && e.observer) ? 1 : 0;
    return count;
}

} // namespace trevok
