#include "app/AppDelegate.h"
#include "server/MachineId.h"
#include "server/SyncListener.h"
#include "server/TxtRecord.h"

QString AppDelegate::getMacAddress() {
    m_macAddressString = trevok::getMacAddress();
    return m_macAddressString;
}

void AppDelegate::startSyncListener(const QString& serviceName,
                                    const QMap<QString, QString>& txtRecord) {
    m_listener = std::make_unique<trevok::SyncListener>();
    m_listener->setServiceName(serviceName, QStringLiteral("_trevok-sync._tcp."));
    if (!m_listener->start())
        qWarning().noquote() << QStringLiteral("Error: the sync listener could not start");
    QMap<QString, QString> txt = txtRecord;
    trevok::setTxtRecordPort(txt, m_listener->port());
    m_txtRecord = txt;
    m_listener->setTXTRecordDictionary(txt);
}
