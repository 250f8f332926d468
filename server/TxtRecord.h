#pragma once

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QString>

namespace trevok {

using TxtRecordDictionary = QMap<QString, QString>;

// "Edition" "Server", "Version" "1.0" and "Machine ID": the record as start-up
// prepares it before the listener's port is known.
TxtRecordDictionary txtRecordDictionary(const QString& machineId);

// The port as "%hu" (plain decimal digits).
QString formatPort(quint16 port);

// Stores the port under "port".
void setTxtRecordPort(TxtRecordDictionary& record, quint16 port);

// The whole record: the three entries above and "port".
TxtRecordDictionary txtRecordDictionary(const QString& machineId, quint16 port);

// The record of the TLS port's service: the same entries, with that port as
// "port", and the certificate's fingerprint as "Fingerprint".
TxtRecordDictionary tlsTxtRecord(const TxtRecordDictionary& record, quint16 tlsPort,
                                 const QString& fingerprint);

// The DNS-SD form: one UTF-8 "key=value" string per entry. An entry that does
// not fit the 255 bytes a TXT string can hold is left out.
QList<QByteArray> encodeTxtRecord(const TxtRecordDictionary& record);

} // namespace trevok
