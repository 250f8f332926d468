#pragma once

#include "server/LastSeen.h"
#include "server/ListenerCertificate.h"
#include "server/SyncRelay.h"
#include "server/TxtRecord.h"
#include "server/Upstream.h"

#include <QObject>
#include <QString>
#include <QUrl>

#include <memory>
#include <optional>

namespace trevok {

class DnsSdAnnouncer;

// The sync listener: the local network's entry for sync clients. It listens
// on a port the system chooses, on all interfaces, forwards what a sync
// client needs to the administered server (streamed both ways, change feeds
// included) and refuses everything else; it is announced over DNS-SD with the
// service name, type and TXT record set here. The console's own requests never
// pass through it.
//
// Beside plain HTTP it serves HTTP inside TLS on a port of its own, with the
// certificate given to it, announced under the same name as a second service
// type whose TXT record adds the certificate's fingerprint, so that a client
// can pin it. Plain HTTP can be turned off while the TLS port serves on.
class SyncListener : public QObject {
    Q_OBJECT
public:
    // Forwards to the server at this host and port over plain HTTP: by
    // default the bundled one. setUpstream() names any other.
    explicit SyncListener(QObject* parent = nullptr,
                          QString upstreamHost = QStringLiteral("127.0.0.1"),
                          quint16 upstreamPort = 5984);
    ~SyncListener() override;

    // The server to forward to, by its URL: "http://host[:port]" or
    // "https://host[:port]" (port 80 or 443 when left out), with no path,
    // credentials or query. Over https the server's certificate must be one
    // the system trusts (its store, or the one SSL_CERT_FILE / SSL_CERT_DIR
    // name) for the URL's host; a server that fails that check is answered
    // as one that is down. Takes effect at the next start(). False, with the
    // reason, when the URL names no usable server; the former one stays.
    bool setUpstream(const QUrl& url, QString* why = nullptr);
    const Upstream& upstream() const { return m_upstream; }

    // The type may carry the trailing dot of a full DNS-SD name.
    void setServiceName(const QString& name, const QString& type);
    // Announced as it is; set after start() it replaces the announced record.
    // Its "port", when it has one, follows the plain port.
    void setTXTRecordDictionary(const TxtRecordDictionary& record);
    // The DNS-SD type of the TLS port; empty: not announced.
    void setTlsServiceType(const QString& type);
    // The TLS port serves from the next start() with this certificate; none
    // (the default): no TLS port.
    void setCertificate(const CertificateAndKey& pair);
    // The SHA-256 fingerprint of the certificate set; "" without one.
    QString fingerprint() const { return m_fingerprint; }
    // Plain HTTP and its announcement; on by default. Takes effect at once:
    // turned off, the plain port and every connection through it close.
    // Turned on again, it comes back on its former port when that is free.
    void setAllowsPlain(bool allows);
    bool allowsPlain() const { return m_allowsPlain; }

    // Takes effect at the next start().
    void setLimits(const ListenerLimits& limits) { m_limits = limits; }
    const ListenerLimits& limits() const { return m_limits; }
    // Where the users whose requests are forwarded are noted; takes effect
    // at the next start().
    void setLastSeenRecorder(std::shared_ptr<LastSeenRecorder> recorder) {
        m_lastSeen = std::move(recorder);
    }

    // Binds and serves on the listener's own thread, then announces (when a
    // service type is set). False when a port it should open cannot be
    // bound; it serves on the other, if any.
    bool start();
    // 0 until started, and while plain HTTP is off.
    quint16 port() const;
    // 0 until started, and without a certificate.
    quint16 tlsPort() const;
    void stop();

    bool isRunning() const;
    int activeConnections() const;
    // The console changed the account's password or deleted it: its open
    // feeds are checked again now rather than at the next interval.
    void recheckAccount(const QString& name);
    DnsSdAnnouncer* announcer() const { return m_announcer; }
    DnsSdAnnouncer* tlsAnnouncer() const { return m_tlsAnnouncer; }

private:
    // Announces each port that serves, and withdraws the others.
    void announce();

    Upstream m_upstream;
    QString m_serviceName;
    QString m_serviceType;
    TxtRecordDictionary m_txtRecord;
    QString m_tlsServiceType;
    std::optional<CertificateAndKey> m_certificate;
    QString m_fingerprint;
    bool m_allowsPlain = true;
    quint16 m_lastPlainPort = 0;
    ListenerLimits m_limits;
    std::shared_ptr<LastSeenRecorder> m_lastSeen;
    std::unique_ptr<SyncRelay> m_relay;
    DnsSdAnnouncer* m_announcer;
    DnsSdAnnouncer* m_tlsAnnouncer;
};

} // namespace trevok
