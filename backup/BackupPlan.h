#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QJsonObject>
#include <QLocale>
#include <QString>
#include <QStringList>
#include <QTime>

class QSettings;

namespace trevok::backup {

// What the administrator chose on the information tab, kept in the
// settings file under "Backup/".
struct BackupSettings {
    QString folder;
    bool daily = false;
    QTime at = QTime(2, 0);
    int keep = 7;
    bool operator==(const BackupSettings&) const = default;
};

inline constexpr int kMinKeep = 1;
inline constexpr int kMaxKeep = 365;

BackupSettings readBackupSettings(const QSettings& settings);
void writeBackupSettings(QSettings& settings, const BackupSettings& chosen);
// When the last scheduled or manual backup was attempted (invalid: never).
QDateTime lastBackupAttempt(const QSettings& settings);
void setLastBackupAttempt(QSettings& settings, const QDateTime& when);

// When the next daily backup is due, in local time. A day whose time passed
// while the console was not running is caught up once, at once: the latest
// occurrence of the chosen time not after `now` is due when no attempt was
// made since it. Invalid when no daily backup is chosen or no folder is set.
QDateTime nextBackupDue(const BackupSettings& chosen, const QDateTime& lastAttempt,
                        const QDateTime& now);

// One line of the backup tool's output.
struct BackupEvent {
    enum class Kind { Unknown, Start, Database, Verify, Done, Failed };
    Kind kind = Kind::Unknown;
    QString command;  // start: "backup" or "restore"
    QString database; // database: its name; failed: the one that failed, if any
    int index = 0;    // database: from 1
    int of = 0;       // start and database: how many databases in all
    QString file;     // start and done
    qint64 documents = 0;
    qint64 deleted = 0;
    qint64 bytes = 0;
    qint64 ms = 0;
    QStringList removed; // done: older backups pruned
    QString cause;       // failed: a key such as "disk-full"
    QString message;     // failed: the tool's own sentence
};
BackupEvent parseBackupEvent(const QByteArray& line);

// What a finished backup or restore tells, in words and the locale's
// numbers: "Backed up 1,214 databases, 48,310 documents, 212 MB, in 41 s."
QString backedUpText(const BackupEvent& done, const QLocale& locale = QLocale());
QString restoredText(const BackupEvent& done, const QString& backupName,
                     const QLocale& locale = QLocale());
// What the progress line says while a database is written or read back.
QString progressText(const BackupEvent& event, bool restoring, const QLocale& locale = QLocale());
// Why a backup or restore failed, for the administrator: the tool's
// sentence, or words for how the tool itself ended when it said nothing.
QString failureText(const BackupEvent& failed, bool restoring);

// The name of a complete backup the tool writes: "trevok-backup-…tbk".
bool isBackupFileName(const QString& fileName);
// When a backup was made, read from its name (UTC; invalid when the name
// is not one of the tool's).
QDateTime backupTimeFromName(const QString& fileName);

} // namespace trevok::backup
