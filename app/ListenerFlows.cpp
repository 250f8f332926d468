#include "app/AppDelegate.h"
#include "chrome/UserDefaults.h"
#include "server/LastSeen.h"
#include "server/ListenerSettings.h"
#include "server/MachineId.h"
#include "server/ServerProcess.h"
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
    const QString serverConfig =
        trevok::resourcesFolder() + QStringLiteral("/server-core/etc/couchdb/");
    m_listener->setLimits(trevok::listenerLimitsFromSettings(
        pxUserDefaults(), {serverConfig + QStringLiteral("default.ini"),
                           serverConfig + QStringLiteral("local.ini")}));
    m_lastSeen = std::make_shared<trevok::LastSeenRecorder>();
    m_listener->setLastSeenRecorder(m_lastSeen);
    if (!m_listener->start()) {
        qWarning().noquote() << QStringLiteral("Error: the sync listener could not start");
        addConsoleProblem(QStringLiteral(
            "The sync listener could not start, so sync clients cannot reach this server. Quit "
            "TrevokServer and start it again."));
        notifyWhenAway(QStringLiteral("The TrevokServer sync listener could not start"),
                       QStringLiteral("Sync clients cannot reach this server. Open TrevokServer, "
                                      "quit it and start it again."));
    }
    QMap<QString, QString> txt = txtRecord;
    trevok::setTxtRecordPort(txt, m_listener->port());
    m_txtRecord = txt;
    m_listener->setTXTRecordDictionary(txt);
}
