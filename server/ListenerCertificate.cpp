#include "server/ListenerCertificate.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QStandardPaths>

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <ctime>
#include <memory>

namespace trevok {

namespace {

template <class T, void (*Free)(T*)> struct Deleter {
    void operator()(T* p) const { Free(p); }
};
using BioPtr = std::unique_ptr<BIO, Deleter<BIO, BIO_free_all>>;
using X509Ptr = std::unique_ptr<X509, Deleter<X509, X509_free>>;
using KeyPtr = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY, EVP_PKEY_free>>;
using ExtensionPtr = std::unique_ptr<X509_EXTENSION, Deleter<X509_EXTENSION, X509_EXTENSION_free>>;
using ContextPtr = std::unique_ptr<SSL_CTX, Deleter<SSL_CTX, SSL_CTX_free>>;
using BignumPtr = std::unique_ptr<BIGNUM, Deleter<BIGNUM, BN_free>>;

// The common name holds at most this many characters.
constexpr int kMaxCommonName = 64;

// A key protected by a passphrase is refused rather than asked for on a
// terminal nobody watches.
int noPassphrase(char*, int, int, void*) {
    return -1;
}

BioPtr memoryOf(const QByteArray& bytes) {
    return BioPtr(BIO_new_mem_buf(bytes.constData(), int(bytes.size())));
}

X509Ptr readCertificate(BIO* bio) {
    return X509Ptr(PEM_read_bio_X509(bio, nullptr, noPassphrase, nullptr));
}

KeyPtr readKey(const QByteArray& pem) {
    const BioPtr bio = memoryOf(pem);
    return KeyPtr(PEM_read_bio_PrivateKey(bio.get(), nullptr, noPassphrase, nullptr));
}

QByteArray pemOf(int (*write)(BIO*, const void*), const void* object) {
    BioPtr bio(BIO_new(BIO_s_mem()));
    if (!write(bio.get(), object))
        return {};
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio.get(), &data);
    return QByteArray(data, qsizetype(size));
}

int writeCertificate(BIO* bio, const void* x) {
    return PEM_write_bio_X509(bio, static_cast<X509*>(const_cast<void*>(x)));
}

int writeKey(BIO* bio, const void* key) {
    return PEM_write_bio_PrivateKey(bio, static_cast<EVP_PKEY*>(const_cast<void*>(key)), nullptr,
                                    nullptr, 0, nullptr, nullptr);
}

bool addExtension(X509* x, int nid, const QByteArray& value) {
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, x, x, nullptr, nullptr, 0);
    const ExtensionPtr ext(X509V3_EXT_conf_nid(nullptr, &ctx, nid, value.constData()));
    return ext && X509_add_ext(x, ext.get(), -1);
}

QDateTime dateOf(const ASN1_TIME* time) {
    std::tm tm{};
    if (!ASN1_TIME_to_tm(time, &tm))
        return {};
    return QDateTime(QDate(tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday),
                     QTime(tm.tm_hour, tm.tm_min, tm.tm_sec), Qt::UTC);
}

QString libraryReason() {
    const unsigned long error = ERR_peek_last_error();
    ERR_clear_error();
    if (!error)
        return {};
    const char* reason = ERR_reason_error_string(error);
    return reason ? QString::fromLatin1(reason) : QString();
}

bool fail(QString* problem, const QString& text) {
    if (problem)
        *problem = text;
    ERR_clear_error();
    return false;
}

} // namespace

std::optional<CertificateAndKey> makeSelfSignedCertificate(const QString& subject,
                                                           const QStringList& dnsNames,
                                                           int validDays, QString* problem) {
    const auto refused = [&](const char* step) -> std::optional<CertificateAndKey> {
        fail(problem, QStringLiteral("The encryption library could not %1 (%2).")
                          .arg(QLatin1String(step), libraryReason()));
        return std::nullopt;
    };
    const KeyPtr key(EVP_EC_gen("P-256"));
    if (!key)
        return refused("make a key");
    const X509Ptr x(X509_new());
    // A random serial: a client that saw an earlier certificate of this
    // machine must not take the new one for it.
    unsigned char serial[16];
    if (!x || !X509_set_version(x.get(), 2) || RAND_bytes(serial, sizeof serial) != 1)
        return refused("make a certificate");
    serial[0] &= 0x7f;
    const BignumPtr number(BN_bin2bn(serial, sizeof serial, nullptr));
    if (!number || !BN_to_ASN1_INTEGER(number.get(), X509_get_serialNumber(x.get())))
        return refused("number the certificate");
    X509_gmtime_adj(X509_getm_notBefore(x.get()), -3600);
    X509_time_adj_ex(X509_getm_notAfter(x.get()), validDays, 0, nullptr);
    X509_set_pubkey(x.get(), key.get());
    X509_NAME* name = X509_get_subject_name(x.get());
    const QByteArray commonName = subject.left(kMaxCommonName).trimmed().toUtf8();
    if (!X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                                    reinterpret_cast<const unsigned char*>(commonName.constData()),
                                    int(commonName.size()), -1, 0) ||
        !X509_set_issuer_name(x.get(), name))
        return refused("name the certificate");
    QByteArrayList alternatives;
    for (const QString& dns : dnsNames)
        alternatives.append("DNS:" + dns.toLatin1());
    if (!addExtension(x.get(), NID_basic_constraints, "critical,CA:FALSE") ||
        !addExtension(x.get(), NID_key_usage, "critical,digitalSignature") ||
        !addExtension(x.get(), NID_ext_key_usage, "serverAuth") ||
        !addExtension(x.get(), NID_subject_key_identifier, "hash") ||
        (!alternatives.isEmpty() &&
         !addExtension(x.get(), NID_subject_alt_name, alternatives.join(','))))
        return refused("describe the certificate");
    if (!X509_sign(x.get(), key.get(), EVP_sha256()))
        return refused("sign the certificate");
    CertificateAndKey pair{pemOf(writeCertificate, x.get()), pemOf(writeKey, key.get())};
    if (pair.certificatePem.isEmpty() || pair.keyPem.isEmpty())
        return refused("write the certificate");
    return pair;
}

QStringList certificateHostNames(const QString& hostName) {
    static const QRegularExpression plain(
        QStringLiteral("^[A-Za-z0-9]([A-Za-z0-9-]*[A-Za-z0-9])?(\\.[A-Za-z0-9]([A-Za-z0-9-]*[A-Za-"
                       "z0-9])?)*$"));
    QStringList names;
    if (!plain.match(hostName).hasMatch())
        return names;
    names.append(hostName);
    const QString local = hostName.section(QLatin1Char('.'), 0, 0) + QStringLiteral(".local");
    if (!names.contains(local, Qt::CaseInsensitive))
        names.append(local);
    return names;
}

QString certificateFingerprint(const QByteArray& certificatePem) {
    const BioPtr bio = memoryOf(certificatePem);
    const X509Ptr x = readCertificate(bio.get());
    ERR_clear_error();
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    if (!x || !X509_digest(x.get(), EVP_sha256(), digest, &size))
        return {};
    return QString::fromLatin1(
        QByteArray(reinterpret_cast<const char*>(digest), size).toHex(':').toUpper());
}

bool configureTlsServer(ssl_ctx_st* context, const CertificateAndKey& pair, QString* problem) {
    SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
    SSL_CTX_set_options(context, SSL_OP_CIPHER_SERVER_PREFERENCE | SSL_OP_NO_COMPRESSION |
                                     SSL_OP_NO_RENEGOTIATION);
    // TLS 1.2: ephemeral key exchange and authenticated encryption only.
    // TLS 1.3 has nothing else.
    if (!SSL_CTX_set_cipher_list(context, "ECDHE-ECDSA-AES128-GCM-SHA256:"
                                          "ECDHE-RSA-AES128-GCM-SHA256:"
                                          "ECDHE-ECDSA-CHACHA20-POLY1305:"
                                          "ECDHE-RSA-CHACHA20-POLY1305:"
                                          "ECDHE-ECDSA-AES256-GCM-SHA384:"
                                          "ECDHE-RSA-AES256-GCM-SHA384"))
        return fail(problem, QStringLiteral("The encryption library offers none of the "
                                            "listener's cipher suites."));

    const BioPtr bio = memoryOf(pair.certificatePem);
    X509Ptr leaf = readCertificate(bio.get());
    if (!leaf)
        return fail(problem, QStringLiteral("The certificate file holds no PEM certificate."));
    if (SSL_CTX_use_certificate(context, leaf.get()) != 1) {
        const unsigned long error = ERR_peek_last_error();
        if (ERR_GET_REASON(error) == SSL_R_EE_KEY_TOO_SMALL ||
            ERR_GET_REASON(error) == SSL_R_CA_MD_TOO_WEAK)
            return fail(problem, QStringLiteral("The certificate's key or signature is too weak "
                                                "for the encryption library."));
        return fail(problem,
                    QStringLiteral("The certificate cannot be used (%1).").arg(libraryReason()));
    }
    // Issuers behind it, as a certificate authority hands them out.
    while (X509Ptr issuer = readCertificate(bio.get())) {
        if (SSL_CTX_add0_chain_cert(context, issuer.get()) != 1)
            return fail(problem, QStringLiteral("An issuer's certificate behind the "
                                                "certificate cannot be used."));
        issuer.release();
    }
    ERR_clear_error();
    const KeyPtr key = readKey(pair.keyPem);
    if (!key)
        return fail(problem, QStringLiteral("The key file holds no PEM private key without a "
                                            "passphrase."));
    if (SSL_CTX_use_PrivateKey(context, key.get()) != 1 || SSL_CTX_check_private_key(context) != 1)
        return fail(problem, QStringLiteral("The key does not belong to the certificate."));
    return true;
}

QString checkCertificate(const CertificateAndKey& pair, const QDateTime& now) {
    const ContextPtr context(SSL_CTX_new(TLS_server_method()));
    QString problem;
    if (!context || !configureTlsServer(context.get(), pair, &problem))
        return problem.isEmpty() ? QStringLiteral("The encryption library is not usable.")
                                 : problem;
    const X509* leaf = SSL_CTX_get0_certificate(context.get());
    const std::time_t at = std::time_t(now.toSecsSinceEpoch());
    std::time_t moment = at;
    if (X509_cmp_time(X509_get0_notAfter(leaf), &moment) < 0)
        return QStringLiteral("The certificate expired on %1.")
            .arg(dateOf(X509_get0_notAfter(leaf)).toString(Qt::ISODate));
    moment = at;
    if (X509_cmp_time(X509_get0_notBefore(leaf), &moment) > 0)
        return QStringLiteral("The certificate is not valid before %1.")
            .arg(dateOf(X509_get0_notBefore(leaf)).toString(Qt::ISODate));
    return {};
}

ListenerCertificatePaths listenerCertificatePaths(const QString& configHome) {
    const QString folder = configHome + QStringLiteral("/com.trevokapp/");
    return {folder + QStringLiteral("sync-listener.crt"),
            folder + QStringLiteral("sync-listener.key")};
}

ListenerCertificatePaths listenerCertificatePaths() {
    return listenerCertificatePaths(
        QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation));
}

namespace {

bool writeNewFile(const QString& path, const QByteArray& bytes, QFileDevice::Permissions mode) {
    QFile file(path);
    // Created with its mode, so the key is never readable by others, not even
    // for a moment.
    if (!file.open(QIODevice::WriteOnly | QIODevice::NewOnly, mode))
        return false;
    return file.write(bytes) == bytes.size() && file.flush();
}

QString offBecause(const ListenerCertificatePaths& paths, const QString& why) {
    return QStringLiteral("Encrypted sync is off: %1 Put a valid certificate and its key in %2 "
                          "and %3 (PEM, the key without a passphrase), or remove both to have "
                          "new ones made at the next start.")
        .arg(why, paths.certificate, paths.key);
}

} // namespace

ListenerCertificate loadOrMakeListenerCertificate(const ListenerCertificatePaths& paths,
                                                  const QString& subject,
                                                  const QStringList& dnsNames,
                                                  const QDateTime& now) {
    ListenerCertificate result;
    const bool hasCertificate = QFileInfo::exists(paths.certificate);
    const bool hasKey = QFileInfo::exists(paths.key);
    if (!hasCertificate && !hasKey) {
        QString problem;
        auto made = makeSelfSignedCertificate(subject, dnsNames, kOwnCertificateDays, &problem);
        if (!made) {
            result.problem = offBecause(paths, problem);
            return result;
        }
        QDir().mkpath(QFileInfo(paths.key).absolutePath());
        if (!writeNewFile(paths.key, made->keyPem,
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner) ||
            !writeNewFile(paths.certificate, made->certificatePem,
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                              QFileDevice::ReadGroup | QFileDevice::ReadOther)) {
            QFile::remove(paths.key);
            QFile::remove(paths.certificate);
            result.problem = offBecause(
                paths, QStringLiteral("The new certificate could not be written there."));
            return result;
        }
        result.pair = *made;
        result.made = true;
    } else if (!hasCertificate || !hasKey) {
        result.problem = offBecause(
            paths, QStringLiteral("%1 is missing.").arg(hasKey ? paths.certificate : paths.key));
        return result;
    } else {
        QFile certificate(paths.certificate);
        QFile key(paths.key);
        if (!certificate.open(QIODevice::ReadOnly) || !key.open(QIODevice::ReadOnly)) {
            result.problem =
                offBecause(paths, QStringLiteral("The certificate or its key cannot be read."));
            return result;
        }
        result.pair = {certificate.readAll(), key.readAll()};
    }
    if (const QString why = checkCertificate(result.pair, now); !why.isEmpty()) {
        result.problem = offBecause(paths, why);
        result.pair = {};
        return result;
    }
    result.fingerprint = certificateFingerprint(result.pair.certificatePem);
    return result;
}

} // namespace trevok
