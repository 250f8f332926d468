#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QStringList>

#include <optional>

struct ssl_ctx_st;

namespace trevok {

// The certificate of the encrypted sync listener, both PEM: the certificate
// file may carry its issuers behind it; the key must not be protected by a
// passphrase (the console starts without anyone to type it).
struct CertificateAndKey {
    QByteArray certificatePem;
    QByteArray keyPem;
};

// How long a certificate the console makes for itself is valid.
inline constexpr int kOwnCertificateDays = 10 * 365;

// A new P-256 key and a self-signed certificate for it: `subject` as its
// common name (cut to the 64 characters the field holds), the names as its
// subject alternative names, valid for the server's authentication from an
// hour ago (clocks differ) for `validDays`. nullopt, with the reason, when
// the library refuses.
std::optional<CertificateAndKey> makeSelfSignedCertificate(const QString& subject,
                                                           const QStringList& dnsNames,
                                                           int validDays, QString* problem);

// The names a certificate made on this host carries: the host name and its
// ".local" name, as a client finds it over DNS-SD. Names that are not plain
// ASCII host names are left out.
QStringList certificateHostNames(const QString& hostName);

// The SHA-256 of the (first) certificate's DER form, as upper-case hex pairs
// joined by colons; "" when the text holds no certificate.
QString certificateFingerprint(const QByteArray& certificatePem);

// Sets up a TLS server context with the certificate and key: TLS 1.2 and 1.3
// only, forward-secret AEAD suites in the server's order, no compression, no
// renegotiation. False, with the reason in words, when the pair is unfit:
// unreadable, a key that does not belong to the certificate, one too weak for
// the library's security level.
bool configureTlsServer(ssl_ctx_st* context, const CertificateAndKey& pair, QString* problem);

// "" when the pair can serve at `now`, else why not, in words.
QString checkCertificate(const CertificateAndKey& pair, const QDateTime& now);

// Where the listener's certificate and key are kept: the console's
// configuration folder below the XDG configuration home.
struct ListenerCertificatePaths {
    QString certificate;
    QString key;
};
ListenerCertificatePaths listenerCertificatePaths(const QString& configHome);
ListenerCertificatePaths listenerCertificatePaths();

// The listener's certificate as the console finds it at start.
struct ListenerCertificate {
    CertificateAndKey pair;
    QString fingerprint;
    // Why the encrypted listener cannot start, in words; "" when it can.
    QString problem;
    // Whether it was made at this start.
    bool made = false;
};

// Reads the certificate and key at `paths`; when neither exists, makes a pair
// (the key readable by its owner only) and keeps it there. A pair that is
// incomplete, unreadable, mismatched, expired or not yet valid is left as it
// is and told.
ListenerCertificate loadOrMakeListenerCertificate(const ListenerCertificatePaths& paths,
                                                  const QString& subject,
                                                  const QStringList& dnsNames,
                                                  const QDateTime& now);

} // namespace trevok
