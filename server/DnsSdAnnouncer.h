#pragma once

#include "server/TxtRecord.h"

#include <QObject>
#include <QString>

#include <memory>

namespace trevok {

// Announces one service over DNS-SD through the system's avahi-daemon.
//
// The Avahi client runs on Avahi's own poll thread (avahi_threaded_poll), so
// the announcement never waits for the GUI's event loop and the GUI never
// waits for the daemon. Without a daemon (or without a system bus) the
// console runs on and logs one line; when the daemon appears or restarts, the
// service is registered again. A name taken on the network is replaced by the
// alternative Avahi proposes ("Name #2"), and that is logged.
class DnsSdAnnouncer : public QObject {
    Q_OBJECT
public:
    explicit DnsSdAnnouncer(QObject* parent = nullptr);
    ~DnsSdAnnouncer() override;

    // The service type without the trailing dot DNS-SD names carry elsewhere
    // ("_trevok-sync._tcp." is taken as "_trevok-sync._tcp").
    static QString avahiServiceType(const QString& type);

    // May be called before or after start(); a change is announced at once.
    void setService(const QString& name, const QString& type, quint16 port);
    void setTxtRecord(const TxtRecordDictionary& record);

    bool start();
    void stop();

    // The name under which the service is registered now (empty while it is
    // not); differs from the requested one after a collision.
    QString registeredName() const;

Q_SIGNALS:
    // Emitted from Avahi's thread; receivers on the GUI thread get it queued.
    void announced(const QString& name);

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};

} // namespace trevok
