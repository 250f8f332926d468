#include "server/TxtRecord.h"

namespace trevok {

namespace {
constexpr qsizetype kMaxTxtStringBytes = 255;
}

TxtRecordDictionary txtRecordDictionary(const QString& machineId) {
    TxtRecordDictionary record;
    record.insert(QStringLiteral("Edition"), QStringLiteral("Server"));
    record.insert(QStringLiteral("Version"), QStringLiteral("1.0"));
    record.insert(QStringLiteral("Machine ID"), machineId);
    return record;
}

QString formatPort(quint16 port) {
    return QString::asprintf("%hu", port);
}

void setTxtRecordPort(TxtRecordDictionary& record, quint16 port) {
    record.insert(QStringLiteral("port"), formatPort(port));
}

TxtRecordDictionary txtRecordDictionary(const QString& machineId, quint16 port) {
    TxtRecordDictionary record = txtRecordDictionary(machineId);
    setTxtRecordPort(record, port);
    return record;
}

TxtRecordDictionary tlsTxtRecord(const TxtRecordDictionary& record, quint16 tlsPort,
                                 const QString& fingerprint) {
    TxtRecordDictionary tls = record;
    setTxtRecordPort(tls, tlsPort);
    tls.insert(QStringLiteral("Fingerprint"), fingerprint);
    return tls;
}

QList<QByteArray> encodeTxtRecord(const TxtRecordDictionary& record) {
    QList<QByteArray> strings;
    for (auto it = record.cbegin(); it != record.cend(); ++it) {
        const QByteArray entry = it.key().toUtf8() + '=' + it.value().toUtf8();
        if (it.key().isEmpty() || it.key().contains(QLatin1Char('=')) ||
            entry.size() > kMaxTxtStringBytes) {
            qWarning("DNS-SD: TXT entry \"%s\" cannot be announced", qUtf8Printable(it.key()));
            continue;
        }
        strings.append(entry);
    }
    return strings;
}

} // namespace trevok
