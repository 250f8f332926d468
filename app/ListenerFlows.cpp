#include "app/AppDelegate.h"
#include "chrome/UserDefaults.h"
#include "server/LastSeen.h"
#include "server/ListenerCertificate.h"
#include "server/ListenerSettings.h"
#include "server/MachineId.h"
#include "server/ServerProcess.h"
#include "server/SyncListener.h"
#include "server/TxtRecord.h"
#include "services/Interface.h"
#include "services/Readable.h"

#include <QCheckBox>
#include <QLabel>
#include <QSysInfo>

using trevok::outlet;

namespace {
const QString kTlsServiceType = QStringLiteral("_trevok-syncs._tcp.");
const QString kNoFingerprint = QStringLiteral("– (encrypted sync is off)");
} // namespace

QString AppDelegate::getMacAddress() {
    m_macAddressString = trevok::getMacAddress();
    return m_macAddressString;
}

void AppDelegate::startSyncListener(const QString& serviceName,
                                    const QMap<QString, QString>& txtRecord) {
    m_listener = std::make_unique<trevok::SyncListener>();
    // Sync clients reach the server the console administers, wherever it is.
    if (QString why; !m_listener->setUpstream(serverURL(), &why))
        addConsoleProblem(QStringLiteral("The sync listener cannot reach the server: %1").arg(why));
    m_listener->setServiceName(serviceName, QStringLiteral("_trevok-sync._tcp."));
    m_listener->setTlsServiceType(kTlsServiceType);
    const QString serverConfig =
        trevok::resourcesFolder() + QStringLiteral("/server-core/etc/couchdb/");
    QSettings defaults = pxUserDefaults();
    m_listener->setLimits(
        trevok::listenerLimitsFromSettings(defaults, {serverConfig + QStringLiteral("default.ini"),
                                                      serverConfig + QStringLiteral("local.ini")}));
    m_listener->setAllowsPlain(trevok::allowsPlainFromSettings(defaults));
    m_lastSeen = std::make_shared<trevok::LastSeenRecorder>();
    m_listener->setLastSeenRecorder(m_lastSeen);

    const trevok::ListenerCertificate certificate = trevok::loadOrMakeListenerCertificate(
        trevok::listenerCertificatePaths(), serviceName,
        trevok::certificateHostNames(QSysInfo::machineHostName()), QDateTime::currentDateTimeUtc());
    if (certificate.problem.isEmpty()) {
        m_listener->setCertificate(certificate.pair);
        if (certificate.made)
            qInfo().noquote() << QStringLiteral("Sync listener: made a certificate, SHA-256 %1")
                                     .arg(certificate.fingerprint);
    } else {
        qWarning().noquote() << QStringLiteral("Error: %1").arg(certificate.problem);
        addConsoleProblem(certificate.problem);
    }

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
    trevok::setLabelText(m_listenerFingerprint,
                         m_listener->tlsPort() ? m_listener->fingerprint() : kNoFingerprint);
}

void AppDelegate::connectListenerOutlets() {
    const QWidget* root = m_mainContent;
    m_listenerFingerprint = outlet<QLabel>(root, "listenerFingerprint");
    m_allowPlainSyncCheckbox = outlet<QCheckBox>(root, "allowPlainSyncCheckbox");
    if (m_allowPlainSyncCheckbox) {
        m_allowPlainSyncCheckbox->setChecked(trevok::allowsPlainFromSettings(pxUserDefaults()));
        connect(m_allowPlainSyncCheckbox, &QCheckBox::clicked, this,
                &AppDelegate::setAllowsUnencryptedSync);
    }
}

void AppDelegate::setAllowsUnencryptedSync(bool allows) {
    pxUserDefaults().setValue(QLatin1String(trevok::listener_settings::kAllowPlain), allows);
    if (m_allowPlainSyncCheckbox)
        m_allowPlainSyncCheckbox->setChecked(allows);
    if (!m_listener)
        return;
    m_listener->setAllowsPlain(allows);
    // The record follows the port, should the former one have been taken.
    if (m_listener->port())
        trevok::setTxtRecordPort(m_txtRecord, m_listener->port());
}
