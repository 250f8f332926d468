#include "app/CredentialStorage.h"

#include <QHashFunctions>

namespace trevok {

size_t qHash(const ProtectionSpace& s, size_t seed) {
    return qHashMulti(seed, s.host, s.port, s.protocol, s.realm, s.authenticationMethod);
}

CredentialStorage& CredentialStorage::shared() {
    static CredentialStorage storage;
    return storage;
}

void CredentialStorage::setDefaultCredential(const Credential& credential,
                                             const ProtectionSpace& space) {
    m_defaults.insert(space, credential);
}

void CredentialStorage::removeCredential(const Credential& credential,
                                         const ProtectionSpace& space) {
    const auto it = m_defaults.constFind(space);
    if (it != m_defaults.constEnd() && *it == credential)
        m_defaults.erase(it);
}

std::optional<Credential> CredentialStorage::defaultCredential(const ProtectionSpace& space) const {
    const auto it = m_defaults.constFind(space);
    if (it == m_defaults.constEnd())
        return std::nullopt;
    return *it;
}

} // namespace trevok
