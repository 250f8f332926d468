#pragma once

#include "server/Upstream.h"

#include <QString>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace trevok {

class LastSeenRecorder;
struct CertificateAndKey;

// Fixed limits of the sync listener. The listener faces the local network, so
// every resource a peer can hold is bounded; the limits an administrator may
// want to change are in ListenerLimits.
namespace listener_limits {
// Request line and header fields together; larger requests get 431.
inline constexpr std::size_t kMaxHeaderBytes = 16 * 1024;
// Response header fields from the upstream server.
inline constexpr std::size_t kMaxUpstreamHeaderBytes = 64 * 1024;
// A peer that stalls inside a request body for this long is dropped.
inline constexpr std::chrono::seconds kBodyStallTimeout{30};
// A peer that does not take a response chunk for this long is dropped.
inline constexpr std::chrono::seconds kWriteTimeout{30};
// Upstream silence allowed inside a response. Change feeds are kept open by
// their heartbeat or end by their own timeout well before this.
inline constexpr std::chrono::minutes kUpstreamSilenceLimit{5};
inline constexpr std::chrono::seconds kUpstreamConnectTimeout{5};
// The upstream's answer to a session check.
inline constexpr std::chrono::seconds kSessionCheckTimeout{30};
// Bodies are streamed in pieces of at most this size, never buffered whole.
inline constexpr std::size_t kRelayChunkBytes = 64 * 1024;
// The only bodies the listener reads itself: the upstream's answer to a
// session check, and a login's body.
inline constexpr std::size_t kMaxSessionReplyBytes = 64 * 1024;
inline constexpr std::size_t kMaxLoginBodyBytes = 16 * 1024;
// Answers of session checks kept at once.
inline constexpr std::size_t kMaxCachedIdentities = 4096;
} // namespace listener_limits

// The limits of the listener that are settings (see ListenerSettings.h).
struct ListenerLimits {
    // Connections served at once, in all; further ones are closed as soon as
    // accepted.
    int maxConnections = 256;
    // Connections served at once for one client address, so that one
    // misbehaving address cannot take the slots of every other.
    int maxConnectionsPerAddress = 32;
    // Connections carrying one account's requests at once, whatever their
    // addresses, so that one account cannot take the slots of every other.
    // Never more than the total less a reserve (see accountConnectionCap()),
    // so that another account can always get in while one is at its cap.
    int maxConnectionsPerAccount = 32;
    // Time from the start of waiting for a request to its complete head.
    std::chrono::milliseconds headTimeout{10'000};
    // Request bodies larger than this get 413: the server's document size limit.
    std::uint64_t maxBodyBytes = 8ull * 1024 * 1024;
    // How long the server's answer about a credential is trusted.
    // Long-lived requests (change feeds, slow uploads) have their caller's
    // identity checked again at this interval too, and end when the server no
    // longer accepts it.
    std::chrono::milliseconds identityLifetime{10'000};
};

// What one account may hold of maxConnections: its own cap, less whatever
// would leave fewer than an eighth (at least one) of all slots to the others.
int accountConnectionCap(const ListenerLimits& limits);

// The HTTP relay behind the sync listener: Boost.Beast on a thread of its own.
// It forwards the routes a sync client needs to the upstream server and
// refuses the rest (see ListenerAccess.h). An upstream over TLS must show a
// certificate that the system trusts for its name; one that cannot be
// reached, or does not, is answered 502 like a server that is down.
// Forwarded requests carry the upstream's name as Host, as a server reached
// by name (behind a proxy of its own, or one of several on one address)
// routes by it; the client's Host names the listener. It serves plain HTTP on one port
// and HTTP inside TLS on another, each when started, with one set of
// limits, one identity cache and one count of connections for both.
class SyncRelay {
public:
    explicit SyncRelay(Upstream upstream = {}, ListenerLimits limits = {},
                       std::shared_ptr<LastSeenRecorder> lastSeen = {});
    ~SyncRelay();
    SyncRelay(const SyncRelay&) = delete;
    SyncRelay& operator=(const SyncRelay&) = delete;

    // Binds a port on all interfaces and serves plain HTTP on it: the
    // preferred one when it is free, else one the system chooses.
    bool start(std::string* error, std::uint16_t preferredPort = 0);
    // The same for TLS, with this certificate and key.
    bool startTls(const CertificateAndKey& identity, std::string* error,
                  std::uint16_t preferredPort = 0);
    // Closes the plain port and every connection that came through it; the
    // TLS port serves on. When this returns, the plain port answers nothing.
    void stopPlain();
    void stop();
    // Whether either port serves.
    bool isRunning() const;
    // 0 while that port is closed.
    std::uint16_t port() const;
    std::uint16_t tlsPort() const;
    // Connections being served now.
    int activeConnections() const;
    // The account's credentials changed (a new password, a deletion): what
    // the listener keeps about them is dropped, and its open requests are
    // checked again at once. Thread-safe.
    void recheckAccount(const QString& name);

private:
    // The I/O context and its thread, made at the first start.
    bool prepare(std::string* error);

    struct Impl;
    std::unique_ptr<Impl> d;
    Upstream m_upstream;
    ListenerLimits m_limits;
    std::shared_ptr<LastSeenRecorder> m_lastSeen;
};

} // namespace trevok
