#include "records/SyncHealth.h"

#include "store/ReplicationEndpoint.h"

#include <QRegularExpression>

namespace trevok::health {

namespace {
qint64 number(const QJsonObject& entry, const char* key) {
    return qint64(entry.value(QLatin1String(key)).toDouble());
}
// How far `lastConnected` may lie from `created` when both were written by
// the user's creation (read from the clock one right after the other; a
// sync client cannot connect before the creation has finished).
constexpr qint64 kCreationSlackMs = 250;
} // namespace

std::optional<ActiveTask> activeTaskFrom(const QJsonObject& entry) {
    if (entry.value(QStringLiteral("type")).toString() != QStringLiteral("replication"))
        return std::nullopt;
    ActiveTask task;
    task.docId = entry.value(QStringLiteral("doc_id")).toString();
    task.source = entry.value(QStringLiteral("source")).toString();
    task.target = entry.value(QStringLiteral("target")).toString();
    task.docsRead = number(entry, "docs_read");
    task.docsWritten = number(entry, "docs_written");
    task.docWriteFailures = number(entry, "doc_write_failures");
    task.changesPending = number(entry, "changes_pending");
    task.updatedOn = number(entry, "updated_on");
    return task;
}

std::optional<ScheduledDoc> scheduledDocFrom(const QJsonObject& entry) {
    ScheduledDoc doc;
    doc.docId = entry.value(QStringLiteral("doc_id")).toString();
    if (doc.docId.isEmpty())
        return std::nullopt;
    doc.state = entry.value(QStringLiteral("state")).toString();
    const QJsonObject info = entry.value(QStringLiteral("info")).toObject();
    doc.reason = info.value(QStringLiteral("error")).toString();
    doc.changesPending = number(info, "changes_pending");
    return doc;
}

QString SyncState::text() const {
    switch (kind) {
    case SyncKind::Running:
        return QString::fromUtf8(texts::kRunning);
    case SyncKind::Pending:
        if (pending == 0)
            return QString::fromUtf8(texts::kQueued);
        return QString::fromUtf8(texts::kPending).arg(pending);
    case SyncKind::Error:
        return QString::fromUtf8(texts::kError).arg(reason);
    case SyncKind::Stopped:
        break;
    }
    return QString::fromUtf8(texts::kStopped);
}

QString SyncState::sentence() const {
    switch (kind) {
    case SyncKind::Running:
        return QStringLiteral("Replication running, up to date");
    case SyncKind::Pending:
        if (pending == 0)
            return QStringLiteral("Replication waiting for its turn on the server");
        return pending == 1
                   ? QStringLiteral("Replication running, 1 change waiting")
                   : QStringLiteral("Replication running, %1 changes waiting").arg(pending);
    case SyncKind::Error:
        return QStringLiteral("Replication stopped with an error: %1").arg(reason);
    case SyncKind::Stopped:
        break;
    }
    return QStringLiteral("Replication not running");
}

SyncState syncState(const QString& documentState, const QString& reason,
                    const std::optional<ActiveTask>& task) {
    SyncState state;
    if (documentState == QStringLiteral("error") || documentState == QStringLiteral("failed")) {
        state.kind = SyncKind::Error;
        state.reason = reasonInWords(reason);
        return state;
    }
    if (documentState == QStringLiteral("completed"))
        return state;
    if (task) {
        if (task->changesPending > 0) {
            state.kind = SyncKind::Pending;
            state.pending = task->changesPending;
        } else {
            state.kind = SyncKind::Running;
        }
        return state;
    }
    // Triggered, and the task list polled last did not have it yet (it starts
    // between two polls): the server says it runs.
    if (documentState == QStringLiteral("triggered"))
        state.kind = SyncKind::Running;
    return state;
}

SyncState syncState(const ScheduledDoc& scheduled) {
    SyncState state;
    const QString& s = scheduled.state;
    if (s == QStringLiteral("crashing") || s == QStringLiteral("error") ||
        s == QStringLiteral("failed")) {
        state.kind = SyncKind::Error;
        state.reason = reasonInWords(scheduled.reason);
    } else if (s == QStringLiteral("running") || s == QStringLiteral("pending")) {
        state.kind = scheduled.changesPending > 0 || s == QStringLiteral("pending")
                         ? SyncKind::Pending
                         : SyncKind::Running;
        state.pending = scheduled.changesPending;
    }
    return state;
}

QString reasonInWords(const QString& reason) {
    const QString text = reason.trimmed();
    if (text.isEmpty())
        return QStringLiteral("the server gave no reason");
    const qsizetype colon = text.indexOf(QLatin1Char(':'));
    const QString error = colon < 0 ? text : text.left(colon).trimmed();
    const QString detail = colon < 0 ? QString() : text.mid(colon + 1).trimmed();
    if (error == QStringLiteral("db_not_found")) {
        static const QRegularExpression open(QStringLiteral("^could not open (.+)$"));
        const QRegularExpressionMatch match = open.match(detail);
        if (match.hasMatch()) {
            // The scheduling replicator names the database by its URL.
            QString name = match.captured(1);
            if (name.contains(QStringLiteral("://")))
                name = replicationEndpointDatabase(name);
            return QStringLiteral("the database “%1” does not exist").arg(name);
        }
        return QStringLiteral("a database does not exist");
    }
    if (error == QStringLiteral("unauthorized") || error == QStringLiteral("forbidden"))
        return detail.isEmpty() ? QStringLiteral("the server refused access")
                                : QStringLiteral("the server refused access (%1)").arg(detail);
    if (error == QStringLiteral("timeout"))
        return QStringLiteral("the server did not answer in time");
    if (error == QStringLiteral("not_found"))
        return detail.isEmpty() ? QStringLiteral("something it needs was not found")
                                : QStringLiteral("not found: %1").arg(detail);
    return text;
}

QString relativeTimeText(const QDateTime& then, const QDateTime& now) {
    if (!then.isValid())
        return QString::fromUtf8(texts::kNever);
    const qint64 seconds = then.secsTo(now);
    if (seconds < 60)
        return QStringLiteral("just now");
    const auto ago = [](qint64 n, const char* unit) {
        return n == 1 ? QStringLiteral("1 %1 ago").arg(QLatin1String(unit))
                      : QStringLiteral("%1 %2s ago").arg(n).arg(QLatin1String(unit));
    };
    if (seconds < 3600)
        return ago(seconds / 60, "minute");
    if (seconds < 86400)
        return ago(seconds / 3600, "hour");
    if (seconds < 60 * 86400)
        return ago(seconds / 86400, "day");
    if (seconds < 365 * 86400)
        return ago(seconds / (30 * 86400), "month");
    return ago(seconds / (365 * 86400), "year");
}

QString lastSeenText(const QDateTime& lastConnected, const QDateTime& created,
                     const QDateTime& now) {
    if (!lastConnected.isValid() ||
        (created.isValid() && qAbs(created.msecsTo(lastConnected)) <= kCreationSlackMs))
        return QString::fromUtf8(texts::kNever);
    return relativeTimeText(lastConnected, now);
}

} // namespace trevok::health
