#include "server/ServerConfigFile.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>

namespace trevok {

QString locateResources(const QString& fromEnvironment, const QString& executableDir) {
    if (!fromEnvironment.isEmpty())
        return fromEnvironment;
    const QString besideExecutable = executableDir + QStringLiteral("/resources");
    if (QFileInfo(besideExecutable).isDir())
        return besideExecutable;
    const QString installed =
        QDir::cleanPath(executableDir + QStringLiteral("/../share/trevokserver"));
    if (QFileInfo(installed).isDir())
        return installed;
    return besideExecutable;
}

QString shippedServerConfig(const QString& serverHome) {
    return serverHome + QStringLiteral("/etc/couchdb/local.ini");
}

QString personalServerConfig(const QString& configHome) {
    return configHome + QStringLiteral("/com.trevokapp/server-core/local.ini");
}

QString personalServerConfig() {
    return personalServerConfig(
        QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation));
}

bool preparePersonalServerConfig(const QString& shipped, const QString& personal) {
    const QFileInfo existing(personal);
    if (existing.isFile())
        return true;
    if (existing.exists()) {
        qWarning().noquote() << QStringLiteral("Error: %1 is not a file").arg(personal);
        return false;
    }

    QByteArray bytes;
    QFile in(shipped);
    if (in.open(QIODevice::ReadOnly)) {
        bytes = in.readAll();
    } else if (in.exists()) {
        // A shipped file that exists but cannot be read would silently lose
        // its settings in the copy: better no copy and a clear reason.
        qWarning().noquote()
            << QStringLiteral("Error: cannot read %1: %2").arg(shipped, in.errorString());
        return false;
    }

    if (!QDir().mkpath(existing.absolutePath())) {
        qWarning().noquote()
            << QStringLiteral("Error: cannot create %1").arg(existing.absolutePath());
        return false;
    }
    // Written whole or not at all: a half-copied file would be taken for the
    // real one at the next start.
    QSaveFile out(personal);
    if (!out.open(QIODevice::WriteOnly) || out.write(bytes) != bytes.size() ||
        !out.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner) || !out.commit()) {
        qWarning().noquote()
            << QStringLiteral("Error: cannot write %1: %2").arg(personal, out.errorString());
        return false;
    }
    return true;
}

} // namespace trevok
