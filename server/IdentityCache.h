#pragma once

#include "server/ListenerAccess.h"

#include <chrono>
#include <cstddef>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

namespace trevok {

// The server's answers about who a credential belongs to, kept briefly so that
// a client that sends its credentials with every request costs the server one
// session check per lifetime, not one per request. Keyed by the exact bytes of
// the credential fields: a credential that differs in any byte is asked about
// anew. Bounded: when full, the oldest answer goes first. Not thread-safe; the
// listener uses it from its own thread only.
class IdentityCache {
public:
    using Clock = std::chrono::steady_clock;

    IdentityCache(Clock::duration lifetime, std::size_t capacity);

    // The key of a request's credential fields (either may be absent).
    static std::string keyFor(std::optional<std::string_view> authorization,
                              std::optional<std::string_view> cookie);

    std::optional<CallerIdentity> find(const std::string& key, Clock::time_point now) const;
    // The answer only if it is younger than `maxAge` (and than the lifetime).
    std::optional<CallerIdentity> findYoungerThan(const std::string& key, Clock::time_point now,
                                                  Clock::duration maxAge) const;
    // Drops every answer naming the account `name`: its credentials changed.
    void forgetAccount(const QString& name);
    // Keeps the server's answer; a refusal (Unresolved) is never kept.
    void store(const std::string& key, const CallerIdentity& caller, Clock::time_point now);
    std::size_t size() const { return m_entries.size(); }

private:
    struct Entry {
        CallerIdentity caller;
        Clock::time_point storedAt;
    };
    void dropOldest();

    Clock::duration m_lifetime;
    std::size_t m_capacity;
    std::unordered_map<std::string, Entry> m_entries;
    // Keys in the order stored; a key stored again appears twice, and only
    // the record whose time matches the entry's counts.
    std::deque<std::pair<std::string, Clock::time_point>> m_order;
};

} // namespace trevok
