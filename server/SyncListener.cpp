#include "server/SyncListener.h"

#include "server/DnsSdAnnouncer.h"
#include "server/SyncRelay.h"

namespace trevok {

SyncListener::SyncListener(QObject* parent, QString upstreamHost, quint16 upstreamPort)
    : QObject(parent)
    , m_upstream{false, upstreamHost.toStdString(), upstreamPort}
    , m_announcer(new DnsSdAnnouncer(this))
    , m_tlsAnnouncer(new DnsSdAnnouncer(this)) {}

bool SyncListener::setUpstream(const QUrl& url, QString* why) {
    const auto upstream = upstreamFromUrl(url, why);
    if (!upstream)
        return false;
    m_upstream = *upstream;
    return true;
}

SyncListener::~SyncListener() {
    stop();
}

void SyncListener::setServiceName(const QString& name, const QString& type) {
    m_serviceName = name;
    m_serviceType = type;
    if (isRunning())
        announce();
}

void SyncListener::setTXTRecordDictionary(const TxtRecordDictionary& record) {
    m_txtRecord = record;
    if (isRunning())
        announce();
}

void SyncListener::setTlsServiceType(const QString& type) {
    m_tlsServiceType = type;
    if (isRunning())
        announce();
}

void SyncListener::setCertificate(const CertificateAndKey& pair) {
    m_certificate = pair;
    m_fingerprint = certificateFingerprint(pair.certificatePem);
}

void SyncListener::setAllowsPlain(bool allows) {
    if (allows == m_allowsPlain)
        return;
    m_allowsPlain = allows;
    if (!m_relay)
        return;
    if (allows) {
        std::string error;
        if (!m_relay->start(&error, m_lastPlainPort))
            qWarning("Sync listener: %s", error.c_str());
        m_lastPlainPort = m_relay->port();
        qInfo("Sync listener: plain HTTP on port %u again", unsigned(port()));
    } else {
        // Withdrawn first, so that nobody is sent to a port that is closing.
        m_announcer->stop();
        m_relay->stopPlain();
        qInfo("Sync listener: plain HTTP is off");
    }
    announce();
}

void SyncListener::announce() {
    if (!m_serviceType.isEmpty() && port()) {
        TxtRecordDictionary record = m_txtRecord;
        if (record.contains(QStringLiteral("port")))
            setTxtRecordPort(record, port());
        m_announcer->setService(m_serviceName, m_serviceType, port());
        m_announcer->setTxtRecord(record);
        m_announcer->start();
    } else {
        m_announcer->stop();
    }
    if (!m_tlsServiceType.isEmpty() && tlsPort()) {
        m_tlsAnnouncer->setService(m_serviceName, m_tlsServiceType, tlsPort());
        m_tlsAnnouncer->setTxtRecord(tlsTxtRecord(m_txtRecord, tlsPort(), m_fingerprint));
        m_tlsAnnouncer->start();
    } else {
        m_tlsAnnouncer->stop();
    }
}

bool SyncListener::start() {
    if (isRunning())
        return true;
    auto relay = std::make_unique<SyncRelay>(m_upstream, m_limits, m_lastSeen);
    bool complete = true;
    std::string error;
    if (m_allowsPlain && !relay->start(&error, m_lastPlainPort)) {
        qWarning("Sync listener: %s", error.c_str());
        complete = false;
    }
    if (m_certificate && !relay->startTls(*m_certificate, &error)) {
        qWarning("Sync listener, TLS: %s", error.c_str());
        complete = false;
    }
    if (!relay->isRunning())
        return false;
    m_relay = std::move(relay);
    m_lastPlainPort = m_relay->port();
    qInfo("Sync listener: port %u, TLS port %u, forwarding to %s", unsigned(port()),
          unsigned(tlsPort()), qUtf8Printable(m_upstream.display()));
    announce();
    return complete;
}

quint16 SyncListener::port() const {
    return m_relay ? m_relay->port() : 0;
}

quint16 SyncListener::tlsPort() const {
    return m_relay ? m_relay->tlsPort() : 0;
}

void SyncListener::stop() {
    m_announcer->stop();
    m_tlsAnnouncer->stop();
    if (m_relay)
        m_relay->stop();
    m_relay.reset();
}

bool SyncListener::isRunning() const {
    return m_relay && m_relay->isRunning();
}

void SyncListener::recheckAccount(const QString& name) {
    if (m_relay)
        m_relay->recheckAccount(name);
}

int SyncListener::activeConnections() const {
    return m_relay ? m_relay->activeConnections() : 0;
}

} // namespace trevok
