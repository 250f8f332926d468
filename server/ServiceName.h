#pragma once

#include <QByteArray>
#include <QString>

namespace trevok {

// The account's full name: the first comma-separated field of its GECOS entry,
// else its login name.
QString fullUserName();

// The first GECOS field, or the login name when that field is empty.
QString fullNameFromPasswordEntry(const QByteArray& gecos, const QByteArray& loginName);

// The host's user-visible name: the pretty host name where the system sets one
// (/etc/machine-info, PRETTY_HOSTNAME, which systemd-hostnamed keeps), else the
// plain host name.
QString localizedHostName();

// PRETTY_HOSTNAME from the contents of a machine-info file (environment-file
// syntax: KEY=VALUE lines, values optionally quoted); empty when absent.
QString prettyHostNameFromMachineInfo(const QByteArray& contents);

// full + " @ " + host, both unchanged.
QString composeServiceName(const QString& fullUserName, const QString& localizedHostName);

} // namespace trevok
