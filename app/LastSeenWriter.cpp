#include "app/LastSeenWriter.h"

#include "records/UserNames.h"
#include "server/LastSeen.h"
#include "store/CouchDatabase.h"
#include "store/CouchDocument.h"
#include "store/CouchModel.h"

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
        write(it.key(), seenMs, 1);
    }
}

void LastSeenWriter::write(const QString& name, qint64 seenMs, int attempt) {
    CouchDocument* record = m_users->documentWithID(trevok::users::userDocumentID(name));
    const QPointer<CouchDocument> guard(record);
    const auto done = [this, name] {
        auto it = m_state.find(name);
        if (it != m_state.end())
            it->writing = false;
    };
    record->reload()->onCompletion(this, [=, this](RESTOperation& read) {
        if (!guard)
            return done();
        const std::optional<QJsonObject> stored = record->cachedProperties();
        if (!read.isSuccessful() || !stored) {
            qWarning().noquote() << QStringLiteral("Error: the last connection of “%1” could "
                                                   "not be recorded: %2")
                                        .arg(name, read.isSuccessful()
                                                       ? QStringLiteral("the record is gone")
                                                       : read.error());
            return done();
        }
        const QString when =
            CouchModel::isoDateText(QDateTime::fromMSecsSinceEpoch(seenMs, Qt::UTC));
        const QDateTime previous = QDateTime::fromString(
            stored->value(QStringLiteral("lastConnected")).toString(), Qt::ISODateWithMs);
        // A later time written meanwhile (another console) stays.
        if (previous.isValid() && previous.toMSecsSinceEpoch() >= seenMs)
            return done();
        QJsonObject body = *stored;
        body.insert(QStringLiteral("lastConnected"), when);
        record->putProperties(body)->onCompletion(this, [=, this](RESTOperation& write) {
            if (write.isSuccessful()) {
                ++m_writesDone;
                done();
                Q_EMIT written(name);
                return;
            }
            if (write.httpStatus() == 409 && attempt < kConflictAttempts)
                return this->write(name, seenMs, attempt + 1);
            qWarning().noquote() << QStringLiteral("Error: the last connection of “%1” could "
                                                   "not be recorded: %2")
                                        .arg(name, write.error());
            done();
        });
    });
}
