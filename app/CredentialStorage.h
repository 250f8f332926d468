#pragma once

#include <QHash>
#include <QString>

#include <optional>

namespace trevok {

struct Credential {
    QString user;
    QString password;
    bool operator==(const Credential&) const = default;
};

// Where a credential applies: host text, port, protocol, realm, method.
struct ProtectionSpace {
    QString host;
    int port = 0;
    QString protocol;
    QString realm;
    QString authenticationMethod;
    bool operator==(const ProtectionSpace&) const = default;
};

size_t qHash(const ProtectionSpace& space, size_t seed = 0);

// The process's shared credential storage: session credentials only, never
// written to disk or to a keychain.
class CredentialStorage {
public:
    static CredentialStorage& shared();

    void setDefaultCredential(const Credential& credential, const ProtectionSpace& space);
    void removeCredential(const Credential& credential, const ProtectionSpace& space);
    std::optional<Credential> defaultCredential(const ProtectionSpace& space) const;

private:
    QHash<ProtectionSpace, Credential> m_defaults;
};

} // namespace trevok
