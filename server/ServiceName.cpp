#include "server/ServiceName.h"

#include <QFile>
#include <QSysInfo>

#include <pwd.h>
#include <unistd.h>

#include <vector>

namespace trevok {

QString fullNameFromPasswordEntry(const QByteArray& gecos, const QByteArray& loginName) {
    const qsizetype comma = gecos.indexOf(',');
    const QByteArray first = comma < 0 ? gecos : gecos.left(comma);
    const QString name = QString::fromUtf8(first).trimmed();
    return name.isEmpty() ? QString::fromUtf8(loginName) : name;
}

QString fullUserName() {
    long size = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? size_t(size) : 16384);
    passwd entry{};
    passwd* found = nullptr;
    if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found)
        return fullNameFromPasswordEntry(QByteArray(found->pw_gecos ? found->pw_gecos : ""),
                                         QByteArray(found->pw_name));
    return qEnvironmentVariable("USER");
}

QString prettyHostNameFromMachineInfo(const QByteArray& contents) {
    const QByteArray key = QByteArrayLiteral("PRETTY_HOSTNAME=");
    for (const QByteArray& rawLine : contents.split('\n')) {
        const QByteArray line = rawLine.trimmed();
        if (!line.startsWith(key))
            continue;
        const QByteArray value = line.mid(key.size());
        QByteArray out;
        char quote = 0;
        for (qsizetype i = 0; i < value.size(); ++i) {
            const char c = value[i];
            if (quote == 0 && (c == '"' || c == '\'')) {
                quote = c;
            } else if (quote != 0 && c == quote) {
                quote = 0;
            } else if (c == '\\' && quote != '\'' && i + 1 < value.size()) {
                out += value[++i];
            } else {
                out += c;
            }
        }
        return QString::fromUtf8(out);
    }
    return {};
}

QString localizedHostName() {
    QFile file(QStringLiteral("/etc/machine-info"));
    if (file.open(QIODevice::ReadOnly)) {
        const QString pretty = prettyHostNameFromMachineInfo(file.readAll());
        if (!pretty.isEmpty())
            return pretty;
    }
    return QSysInfo::machineHostName();
}

QString composeServiceName(const QString& fullUserName, const QString& localizedHostName) {
    return fullUserName + QStringLiteral(" @ ") + localizedHostName;
}

} // namespace trevok
