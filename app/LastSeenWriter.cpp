#include "app/LastSeenWriter.h"

#include "records/UserNames.h"
#include "server/LastSeen.h"
#include "store/CouchDatabase.h"
#include "store/CouchDocument.h"
#include "store/CouchModel.h"
#include "store/DocumentRewrite.h"

#include <QDateTime>
#include <QDebug>
#include <QTimeZone>
#include <QTimer>

namespace {
// How often the listener's notes are looked at; a look is one short lock.
constexpr int kFlushMs = 1000;
constexpr int kConflictAttempts = 3;
} // namespace

LastSeenWriter::LastSeenWriter(std::shared_ptr<trevok::LastSeenRecorder> recorder,
                               CouchDatabase* users, int intervalSeconds, QObject* parent)
    : QObject(parent)
    , m_recorder(std::move(recorder))
    , m_users(users)
    , m_intervalMs(qint64(std::max(intervalSeconds, 1)) * 1000)
    , m_timer(new QTimer(this)) {
    m_timer->setInterval(kFlushMs);
    connect(m_timer, &QTimer::timeout, this, &LastSeenWriter::flush);
    m_timer->start();
}

LastSeenWriter::~LastSeenWriter() = default;

void LastSeenWriter::flush() {
    if (!m_recorder || !m_users)
        return;
    const QHash<QString, qint64> seen = m_recorder->take();
    for (auto it = seen.cbegin(); it != seen.cend(); ++it) {
        Pending& pending = m_state[it.key()];
        pending.seenMs = std::max(pending.seenMs, it.value());
        Q_EMIT sighted(it.key(), it.value());
    }
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    for (auto it = m_state.begin(); it != m_state.end(); ++it) {
        Pending& pending = it.value();
        if (pending.writing || pending.seenMs == 0)
            continue;
        if (pending.writtenAtMs != 0 && now - pending.writtenAtMs < m_intervalMs)
            continue;
        pending.writing = true;
        pending.writtenAtMs = now;
        const qint64 seenMs = pending.seenMs;
        pending.seenMs = 0;
        write(it.key(), seenMs);
    }
}

void LastSeenWriter::write(const QString& name, qint64 seenMs) {
    const auto failed = [name](const QString& why) {
        qWarning().noquote() << QStringLiteral(
                                    "Error: the last connection of “%1” could not be recorded: %2")
                                    .arg(name, why);
    };
    rewriteDocument(
        m_users->documentWithID(trevok::users::userDocumentID(name)),
        [seenMs](QJsonObject& body) {
            const QDateTime previous = QDateTime::fromString(
                body.value(QStringLiteral("lastConnected")).toString(), Qt::ISODateWithMs);
            // A later time written meanwhile (another console) stays.
            if (previous.isValid() && previous.toMSecsSinceEpoch() >= seenMs)
                return false;
            body.insert(QStringLiteral("lastConnected"),
                        CouchModel::isoDateText(QDateTime::fromMSecsSinceEpoch(seenMs, Qt::UTC)));
            return true;
        },
        kConflictAttempts, this,
        [this, name, failed](Rewrite result, const QString& error) {
            auto it = m_state.find(name);
            if (it != m_state.end())
                it->writing = false;
            if (result == Rewrite::Written) {
                ++m_writesDone;
                Q_EMIT written(name);
            } else if (result == Rewrite::Gone) {
                failed(QStringLiteral("the record is gone"));
            } else if (result == Rewrite::Failed) {
                failed(error);
            }
        });
}
