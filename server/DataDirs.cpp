#include "server/DataDirs.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QSaveFile>
#include <QStandardPaths>

namespace trevok {

QString dataSectionFor(const QString& dataFolder) {
    return QStringLiteral("[couchdb]\ndatabase_dir = ") + dataFolder +
           QStringLiteral("\nview_index_dir = ") + dataFolder + QStringLiteral("\n\n");
}

bool configNamesFolder(const QString& configText, const QString& dataFolder) {
    return configText.contains(dataFolder);
}

QString applicationSupportFolder() {
    QString base = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    QDir().mkpath(base);
    return base + QStringLiteral("/com.trevokapp.TrevokServer");
}

bool maybeSetDataDirs(const QString& configFile, const QString& dataFolder) {
    if (!QFileInfo::exists(dataFolder))
        QDir().mkpath(dataFolder);

    QFile in(configFile);
    if (!in.open(QIODevice::ReadOnly)) {
        qWarning().noquote()
            << QStringLiteral("Error: cannot read %1: %2").arg(configFile, in.errorString());
        return false;
    }
    const QString text = QString::fromUtf8(in.readAll());
    in.close();
    if (configNamesFolder(text, dataFolder))
        return true;

    QSaveFile out(configFile);
    if (!out.open(QIODevice::WriteOnly)) {
        qWarning().noquote()
            << QStringLiteral("Error: cannot write %1: %2").arg(configFile, out.errorString());
        return false;
    }
    out.write((text + dataSectionFor(dataFolder)).toUtf8());
    if (!out.commit()) {
        qWarning().noquote()
            << QStringLiteral("Error: cannot write %1: %2").arg(configFile, out.errorString());
        return false;
    }
    return true;
}

} // namespace trevok
