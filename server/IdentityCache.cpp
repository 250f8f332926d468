#include "server/IdentityCache.h"

#include <algorithm>

namespace trevok {

IdentityCache::IdentityCache(Clock::duration lifetime, std::size_t capacity)
    : m_lifetime(lifetime)
    , m_capacity(capacity == 0 ? 1 : capacity) {}

std::string IdentityCache::keyFor(std::optional<std::string_view> authorization,
                                  std::optional<std::string_view> cookie) {
    // Presence marks and lengths keep "A: x" + "C: y" apart from any other split.
    std::string key;
    for (const auto& field : {authorization, cookie}) {
        if (!field) {
            key += "-;";
            continue;
        }
        key += std::to_string(field->size());
        key += ':';
        key.append(field->data(), field->size());
        key += ';';
    }
    return key;
}

std::optional<CallerIdentity> IdentityCache::find(const std::string& key,
                                                  Clock::time_point now) const {
    return findYoungerThan(key, now, m_lifetime);
}

std::optional<CallerIdentity> IdentityCache::findYoungerThan(const std::string& key,
                                                             Clock::time_point now,
                                                             Clock::duration maxAge) const {
    const auto it = m_entries.find(key);
    if (it == m_entries.end() || now - it->second.storedAt >= std::min(maxAge, m_lifetime) ||
        now < it->second.storedAt)
        return std::nullopt;
    return it->second.caller;
}

void IdentityCache::forgetAccount(const QString& name) {
    // The order keeps stale records; they are skipped once their entry is gone.
    for (auto it = m_entries.begin(); it != m_entries.end();) {
        if (it->second.caller.name == name)
            it = m_entries.erase(it);
        else
            ++it;
    }
}

void IdentityCache::store(const std::string& key, const CallerIdentity& caller,
                          Clock::time_point now) {
    // A refusal is not kept: a password just set must work at once.
    if (caller.kind == CallerKind::Unresolved)
        return;
    // Expired answers go first, then the oldest while there is no room.
    while (!m_order.empty() && now - m_order.front().second >= m_lifetime)
        dropOldest();
    if (!m_entries.count(key)) {
        while (m_entries.size() >= m_capacity && !m_order.empty())
            dropOldest();
    }
    m_entries[key] = Entry{caller, now};
    m_order.emplace_back(key, now);
    // A key stored over and over must not grow the order without bound.
    while (m_order.size() > 2 * m_capacity + 16) {
        const auto& [oldKey, storedAt] = m_order.front();
        const auto it = m_entries.find(oldKey);
        if (it != m_entries.end() && it->second.storedAt == storedAt)
            break;
        m_order.pop_front();
    }
}

void IdentityCache::dropOldest() {
    const auto [key, storedAt] = m_order.front();
    m_order.pop_front();
    const auto it = m_entries.find(key);
    if (it != m_entries.end() && it->second.storedAt == storedAt)
        m_entries.erase(it);
}

} // namespace trevok
