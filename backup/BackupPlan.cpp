#include "backup/BackupPlan.h"

#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QSettings>

#include <algorithm>

namespace trevok::backup {

namespace {
const QString kFolderKey = QStringLiteral("Backup/Folder");
const QString kDailyKey = QStringLiteral("Backup/Daily");
const QString kAtKey = QStringLiteral("Backup/At");
const QString kKeepKey = QStringLiteral("Backup/Keep");
const QString kLastAttemptKey = QStringLiteral("Backup/LastAttempt");
const QString kTimeFormat = QStringLiteral("HH:mm");

// The tool names its files by the UTC time of their start.
const QRegularExpression& backupNamePattern() {
    static const QRegularExpression pattern(
        QStringLiteral(R"(^trevok-backup-(\d{8}-\d{6})Z(?:-\d+)?\.tbk$)"));
    return pattern;
}

QString durationText(qint64 ms, const QLocale& locale) {
    if (ms < 10000)
        return QStringLiteral("%1 s").arg(locale.toString(double(ms) / 1000.0, 'f', 1));
    const qint64 seconds = (ms + 500) / 1000;
    if (seconds < 60)
        return QStringLiteral("%1 s").arg(seconds);
    return QStringLiteral("%1 min %2 s").arg(seconds / 60).arg(seconds % 60);
}

QString counted(qint64 n, const char* one, const char* many, const QLocale& locale) {
    return QStringLiteral("%1 %2").arg(locale.toString(n), QLatin1String(n == 1 ? one : many));
}
} // namespace

BackupSettings readBackupSettings(const QSettings& settings) {
    BackupSettings chosen;
    chosen.folder = settings.value(kFolderKey).toString();
    chosen.daily = settings.value(kDailyKey, false).toBool();
    const QTime at = QTime::fromString(settings.value(kAtKey).toString(), kTimeFormat);
    if (at.isValid())
        chosen.at = at;
    bool ok = false;
    const int keep = settings.value(kKeepKey).toInt(&ok);
    if (ok)
        chosen.keep = std::clamp(keep, kMinKeep, kMaxKeep);
    return chosen;
}

void writeBackupSettings(QSettings& settings, const BackupSettings& chosen) {
    settings.setValue(kFolderKey, chosen.folder);
    settings.setValue(kDailyKey, chosen.daily);
    settings.setValue(kAtKey, chosen.at.toString(kTimeFormat));
    settings.setValue(kKeepKey, std::clamp(chosen.keep, kMinKeep, kMaxKeep));
}

QDateTime lastBackupAttempt(const QSettings& settings) {
    return QDateTime::fromString(settings.value(kLastAttemptKey).toString(), Qt::ISODate);
}

void setLastBackupAttempt(QSettings& settings, const QDateTime& when) {
    settings.setValue(kLastAttemptKey, when.toUTC().toString(Qt::ISODate));
}

QDateTime nextBackupDue(const BackupSettings& chosen, const QDateTime& lastAttempt,
                        const QDateTime& now) {
    if (!chosen.daily || chosen.folder.isEmpty() || !chosen.at.isValid())
        return {};
    const QDateTime local = now.toLocalTime();
    QDateTime latest(local.date(), chosen.at);
    if (latest > local)
        latest = QDateTime(local.date().addDays(-1), chosen.at);
    if (!lastAttempt.isValid() || lastAttempt < latest)
        return local;
    return QDateTime(latest.date().addDays(1), chosen.at);
}

BackupEvent parseBackupEvent(const QByteArray& line) {
    BackupEvent event;
    const QJsonObject o = QJsonDocument::fromJson(line).object();
    const QString kind = o.value(QStringLiteral("event")).toString();
    if (kind == QLatin1String("start"))
        event.kind = BackupEvent::Kind::Start;
    else if (kind == QLatin1String("database"))
        event.kind = BackupEvent::Kind::Database;
    else if (kind == QLatin1String("verify"))
        event.kind = BackupEvent::Kind::Verify;
    else if (kind == QLatin1String("done"))
        event.kind = BackupEvent::Kind::Done;
    else if (kind == QLatin1String("failed"))
        event.kind = BackupEvent::Kind::Failed;
    event.command = o.value(QStringLiteral("command")).toString();
    event.database = o.value(kind == QLatin1String("database") ? QStringLiteral("name")
                                                               : QStringLiteral("database"))
                         .toString();
    event.index = o.value(QStringLiteral("index")).toInt();
    event.of = o.value(o.contains(QStringLiteral("of")) ? QStringLiteral("of")
                                                        : QStringLiteral("databases"))
                   .toInt();
    event.file = o.value(QStringLiteral("file")).toString();
    event.documents = o.value(QStringLiteral("documents")).toInteger();
    event.deleted = o.value(QStringLiteral("deleted")).toInteger();
    event.bytes = o.value(QStringLiteral("bytes")).toInteger();
    event.ms = o.value(QStringLiteral("ms")).toInteger();
    for (const QJsonValue& name : o.value(QStringLiteral("removed")).toArray())
        event.removed.append(name.toString());
    event.cause = o.value(QStringLiteral("cause")).toString();
    event.message = o.value(QStringLiteral("message")).toString();
    return event;
}

QString backedUpText(const BackupEvent& done, const QLocale& locale) {
    return QStringLiteral("Backed up %1, %2, %3, in %4.")
        .arg(counted(done.of, "database", "databases", locale),
             counted(done.documents, "document", "documents", locale),
             locale.formattedDataSize(done.bytes, done.bytes < 1000000 ? 0 : 1,
                                      QLocale::DataSizeSIFormat),
             durationText(done.ms, locale));
}

QString restoredText(const BackupEvent& done, const QString& backupName, const QLocale& locale) {
    return QStringLiteral("Restored %1, %2, from “%3” in %4.")
        .arg(counted(done.of, "database", "databases", locale),
             counted(done.documents, "document", "documents", locale), backupName,
             durationText(done.ms, locale));
}

QString progressText(const BackupEvent& event, bool restoring, const QLocale& locale) {
    switch (event.kind) {
    case BackupEvent::Kind::Database:
        return QStringLiteral("%1 “%2” (%3 of %4)…")
            .arg(restoring ? QStringLiteral("Restoring") : QStringLiteral("Backing up"),
                 event.database, locale.toString(event.index), locale.toString(event.of));
    case BackupEvent::Kind::Verify:
        return QStringLiteral("Checking the backup…");
    default:
        return restoring ? QStringLiteral("Restoring…") : QStringLiteral("Backing up…");
    }
}

QString failureText(const BackupEvent& failed, bool restoring) {
    const QString what =
        restoring ? QStringLiteral("The restore failed") : QStringLiteral("The backup failed");
    if (!failed.message.isEmpty())
        return QStringLiteral("%1. %2").arg(what, failed.message);
    return QStringLiteral("%1. The backup tool ended without saying why.").arg(what);
}

bool isBackupFileName(const QString& fileName) {
    return backupNamePattern().match(fileName).hasMatch();
}

QDateTime backupTimeFromName(const QString& fileName) {
    const QRegularExpressionMatch match = backupNamePattern().match(QFileInfo(fileName).fileName());
    if (!match.hasMatch())
        return {};
    QDateTime when = QDateTime::fromString(match.captured(1), QStringLiteral("yyyyMMdd-HHmmss"));
    when.setTimeSpec(Qt::UTC);
    return when;
}

} // namespace trevok::backup
