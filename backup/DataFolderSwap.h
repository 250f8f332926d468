#pragma once

#include <QDateTime>
#include <QString>

namespace trevok::backup {

// Where a restore keeps the data folder it replaces: beside it, named by the
// local time of the restore ("….before-restore-20261209-201500"), with a
// number added when that name is taken. Never deleted by the console.
QString asideFolderPath(const QString& dataFolder, const QDateTime& now);
// Where a failed restore keeps what it wrote, named the same way
// ("….failed-restore-20261209-201500").
QString failedRestoreFolderPath(const QString& dataFolder, const QDateTime& now);

struct FolderSwap {
    bool ok = false;
    QString aside; // where the former folder now is
    QString error; // why it failed, in words
};

// Renames the (stopped) server's data folder aside and makes an empty one,
// readable by its owner only, in its place. On failure nothing has moved.
FolderSwap moveDataFolderAside(const QString& dataFolder, const QDateTime& now);

// Undoes a failed restore: the half-restored folder goes to `keepFailedAs`
// (kept, so that nothing the restore wrote is lost without a word) and the
// former folder comes back. Returns "" or why it could not.
QString putDataFolderBack(const QString& dataFolder, const QString& aside,
                          const QString& keepFailedAs);

} // namespace trevok::backup
