#pragma once

#include "server/LastSeen.h"
#include "server/SyncRelay.h"
#include "server/TxtRecord.h"

#include <QObject>
#include <QString>

#include <memory>

namespace trevok {

class DnsSdAnnouncer;

// The sync listener: the local network's entry for sync clients. It listens
// on a port the system chooses, on all interfaces, forwards what a sync
// client needs to the administered server (streamed both ways, change feeds
// included) and refuses everything else; it is announced over DNS-SD with the
// service name, type and TXT record set here. The console's own requests never
// pass through it.
class SyncListener : public QObject {
    Q_OBJECT
public:
    explicit SyncListener(QObject* parent = nullptr,
                          QString upstreamHost = QStringLiteral("127.0.0.1"),
                          quint16 upstreamPort = 5984);
    ~SyncListener() override;

    // The type may carry the trailing dot of a full DNS-SD name.
    void setServiceName(const QString& name, const QString& type);
    // Announced as it is; set after start() it replaces the announced record.
    void setTXTRecordDictionary(const TxtRecordDictionary& record);

    // Takes effect at the next start().
    void setLimits(const ListenerLimits& limits) { m_limits = limits; }
    const ListenerLimits& limits() const { return m_limits; }
    // Where the users whose requests are forwarded are noted; takes effect
    // at the next start().
    void setLastSeenRecorder(std::shared_ptr<LastSeenRecorder> recorder) {
        m_lastSeen = std::move(recorder);
    }

    // Binds and serves on the listener's own thread, then announces (when a
    // service type is set). False when the port cannot be bound.
    bool start();
    // 0 until started.
    quint16 port() const;
    void stop();

    bool isRunning() const;
    int activeConnections() const;
    // The console changed the account's password or deleted it: its open
    // feeds are checked again now rather than at the next interval.
    void recheckAccount(const QString& name);
    DnsSdAnnouncer* announcer() const { return m_announcer; }

private:
    QString m_upstreamHost;
    quint16 m_upstreamPort;
    QString m_serviceName;
    QString m_serviceType;
    TxtRecordDictionary m_txtRecord;
    ListenerLimits m_limits;
    std::shared_ptr<LastSeenRecorder> m_lastSeen;
    std::unique_ptr<SyncRelay> m_relay;
    DnsSdAnnouncer* m_announcer;
};

} // namespace trevok
