#include "server/SyncListener.h"

#include "server/DnsSdAnnouncer.h"
#include "server/SyncRelay.h"

namespace trevok {

SyncListener::SyncListener(QObject* parent, QString upstreamHost, quint16 upstreamPort)
    : QObject(parent)
    , m_upstreamHost(std::move(upstreamHost))
    , m_upstreamPort(upstreamPort)
    , m_announcer(new DnsSdAnnouncer(this)) {}

SyncListener::~SyncListener() {
    stop();
}

void SyncListener::setServiceName(const QString& name, const QString& type) {
    m_serviceName = name;
    m_serviceType = type;
    if (isRunning() && !m_serviceType.isEmpty()) {
        m_announcer->setService(m_serviceName, m_serviceType, port());
        m_announcer->start();
    }
}

void SyncListener::setTXTRecordDictionary(const TxtRecordDictionary& record) {
    m_txtRecord = record;
    m_announcer->setTxtRecord(record);
}

bool SyncListener::start() {
    if (isRunning())
        return true;
    auto relay = std::make_unique<SyncRelay>(m_upstreamHost.toStdString(), m_upstreamPort, m_limits,
                                             m_lastSeen);
    std::string error;
    if (!relay->start(&error)) {
        qWarning("Sync listener: %s", error.c_str());
        return false;
    }
    m_relay = std::move(relay);
    qInfo("Sync listener: port %u, forwarding to %s:%u", unsigned(port()),
          qUtf8Printable(m_upstreamHost), unsigned(m_upstreamPort));
    if (!m_serviceType.isEmpty()) {
        m_announcer->setService(m_serviceName, m_serviceType, port());
        m_announcer->setTxtRecord(m_txtRecord);
        m_announcer->start();
    }
    return true;
}

quint16 SyncListener::port() const {
    return m_relay ? m_relay->port() : 0;
}

void SyncListener::stop() {
    m_announcer->stop();
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
