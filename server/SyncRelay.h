#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace trevok {

// Limits of the sync listener. The listener faces the local network, so every
// resource a peer can hold is bounded.
namespace listener_limits {
// Request line and header fields together; larger requests get 431.
inline constexpr std::size_t kMaxHeaderBytes = 16 * 1024;
// Response header fields from the upstream server.
inline constexpr std::size_t kMaxUpstreamHeaderBytes = 64 * 1024;
// Connections served at once; further ones are closed as soon as accepted.
inline constexpr int kMaxConnections = 256;
// A connection that sends no complete request header (or stalls inside a
// request body) for this long is closed.
inline constexpr std::chrono::seconds kIdleTimeout{30};
// A peer that does not take a response chunk for this long is dropped.
inline constexpr std::chrono::seconds kWriteTimeout{30};
// Upstream silence allowed inside a response. Change feeds are kept open by
// their heartbeat or end by their own timeout well before this.
inline constexpr std::chrono::minutes kUpstreamSilenceLimit{5};
inline constexpr std::chrono::seconds kUpstreamConnectTimeout{5};
// Bodies are streamed in pieces of at most this size, never buffered whole.
inline constexpr std::size_t kRelayChunkBytes = 64 * 1024;
// The only body the listener reads itself: the upstream's answer to the
// session check of a cookie.
inline constexpr std::size_t kMaxSessionReplyBytes = 64 * 1024;
// A login's body, read here to refuse the administrator's name in it.
inline constexpr std::size_t kMaxLoginBodyBytes = 16 * 1024;
// How long the answer of a session check is trusted for one cookie.
inline constexpr std::chrono::seconds kSessionCacheLifetime{10};
inline constexpr std::size_t kMaxCachedSessions = 1024;
} // namespace listener_limits

// The HTTP relay behind the sync listener: Boost.Beast on a thread of its own.
// It forwards the routes a sync client needs to the upstream server and
// refuses the rest (see ListenerAccess.h).
class SyncRelay {
public:
    SyncRelay(std::string upstreamHost, std::uint16_t upstreamPort);
    ~SyncRelay();
    SyncRelay(const SyncRelay&) = delete;
    SyncRelay& operator=(const SyncRelay&) = delete;

    // Binds a system-chosen port on all interfaces and starts serving.
    bool start(std::string* error);
    void stop();
    bool isRunning() const;
    std::uint16_t port() const;
    // Connections being served now.
    int activeConnections() const;

private:
    struct Impl;
    std::unique_ptr<Impl> d;
    std::string m_upstreamHost;
    std::uint16_t m_upstreamPort;
};

} // namespace trevok
