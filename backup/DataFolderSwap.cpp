#include "backup/DataFolderSwap.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace trevok::backup {

namespace {
QString renameError(const QString& from, const QString& to) {
    return QStringLiteral("“%1” could not be moved to “%2”: %3.")
        .arg(QDir::toNativeSeparators(from), QDir::toNativeSeparators(to),
             QString::fromLocal8Bit(std::strerror(errno)));
}

// rename(2) itself: it never copies, so a folder on another file system
// fails instead of being copied half.
bool renamePath(const QString& from, const QString& to) {
    return std::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) == 0;
}

// "<data folder>.<what>-<local time>", numbered when taken.
QString pathBeside(const QString& dataFolder, const char* what, const QDateTime& now) {
    const QString base = QStringLiteral("%1.%2-%3")
                             .arg(QDir::cleanPath(dataFolder), QLatin1String(what),
                                  now.toLocalTime().toString(QStringLiteral("yyyyMMdd-HHmmss")));
    QString path = base;
    for (int n = 2; QFileInfo::exists(path); ++n)
        path = base + QStringLiteral("-%1").arg(n);
    return path;
}
} // namespace

QString asideFolderPath(const QString& dataFolder, const QDateTime& now) {
    return pathBeside(dataFolder, "before-restore", now);
}

QString failedRestoreFolderPath(const QString& dataFolder, const QDateTime& now) {
    return pathBeside(dataFolder, "failed-restore", now);
}

FolderSwap moveDataFolderAside(const QString& dataFolder, const QDateTime& now) {
    FolderSwap swap;
    const QString aside = asideFolderPath(dataFolder, now);
    if (QFileInfo::exists(dataFolder) && !renamePath(dataFolder, aside)) {
        swap.error = renameError(dataFolder, aside);
        return swap;
    }
    if (!QDir().mkpath(dataFolder) ||
        !QFile::setPermissions(dataFolder, QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                               QFileDevice::ExeOwner)) {
        swap.error = QStringLiteral("A new data folder “%1” could not be made.")
                         .arg(QDir::toNativeSeparators(dataFolder));
        QDir(dataFolder).removeRecursively();
        renamePath(aside, dataFolder);
        return swap;
    }
    swap.ok = true;
    swap.aside = aside;
    return swap;
}

QString putDataFolderBack(const QString& dataFolder, const QString& aside,
                          const QString& keepFailedAs) {
    if (QFileInfo::exists(dataFolder) && !renamePath(dataFolder, keepFailedAs))
        return renameError(dataFolder, keepFailedAs);
    if (!renamePath(aside, dataFolder))
        return renameError(aside, dataFolder);
    return {};
}

} // namespace trevok::backup
