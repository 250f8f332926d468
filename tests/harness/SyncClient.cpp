#include "tests/harness/SyncClient.h"

#include <QDeadlineTimer>
#include <QEventLoop>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTimer>

namespace trevok::test {

namespace {
QString clientScript() {
    return qEnvironmentVariable("TREVOK_E2E_DIR") + QStringLiteral("/sync_client.js");
}

// Runs the event loop until `done` holds or the time is up.
template <class F> bool spinUntil(F done, int timeoutMs) {
    QDeadlineTimer deadline(timeoutMs);
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        QEventLoop loop;
        QTimer::singleShot(10, &loop, &QEventLoop::quit);
        loop.exec();
    }
    return true;
}
} // namespace

SyncClient::SyncClient(const QString& listenerUrl, const QString& user, const QString& password,
                       const QStringList& options)
    : m_process(std::make_unique<QProcess>()) {
    m_process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    QObject::connect(m_process.get(), &QProcess::readyReadStandardOutput, m_process.get(),
                     [this] { readLines(); });
    m_process->start(QStringLiteral("node"),
                     QStringList{clientScript(), QStringLiteral("--url"), listenerUrl,
                                 QStringLiteral("--user"), user, QStringLiteral("--password"),
                                 password, QStringLiteral("--dir"), m_dir.path()} +
                         options);
    m_ready = m_process->waitForStarted(10000) &&
              spinUntil(
                  [this] {
                      for (const QJsonObject& e : m_events)
                          if (e.value(QStringLiteral("event")) == QStringLiteral("ready"))
                              return true;
                      return false;
                  },
                  20000);
}

QJsonObject SyncClient::readyEvent() const {
    for (const QJsonObject& e : m_events)
        if (e.value(QStringLiteral("event")) == QStringLiteral("ready"))
            return e;
    return {};
}

SyncClient::~SyncClient() {
    if (m_process->state() != QProcess::NotRunning) {
        m_process->closeWriteChannel();
        if (!m_process->waitForFinished(3000)) {
            m_process->kill();
            m_process->waitForFinished(3000);
        }
    }
}

void SyncClient::readLines() {
    m_buffer += m_process->readAllStandardOutput();
    qsizetype end;
    while ((end = m_buffer.indexOf('\n')) >= 0) {
        const QByteArray line = m_buffer.left(end);
        m_buffer.remove(0, end + 1);
        const QJsonObject message = QJsonDocument::fromJson(line).object();
        if (message.contains(QStringLiteral("reply")))
            m_replies.append(message);
        else if (!message.isEmpty())
            m_events.append(message);
    }
}

QJsonObject SyncClient::call(QJsonObject command, int timeoutMs) {
    const int seq = ++m_seq;
    command.insert(QStringLiteral("seq"), seq);
    m_process->write(QJsonDocument(command).toJson(QJsonDocument::Compact) + '\n');
    QJsonObject reply;
    spinUntil(
        [&] {
            for (qsizetype i = 0; i < m_replies.size(); ++i) {
                if (m_replies[i].value(QStringLiteral("reply")).toInt() == seq) {
                    reply = m_replies.takeAt(i);
                    return true;
                }
            }
            return false;
        },
        timeoutMs);
    return reply;
}

QJsonObject SyncClient::get(const QString& id) {
    return call({{QStringLiteral("op"), QStringLiteral("get")}, {QStringLiteral("id"), id}})
        .value(QStringLiteral("doc"))
        .toObject();
}

QList<QJsonObject> SyncClient::find(const QString& field, const QJsonValue& value) {
    QList<QJsonObject> found;
    const QJsonArray docs = call({{QStringLiteral("op"), QStringLiteral("find")},
                                  {QStringLiteral("field"), field},
                                  {QStringLiteral("value"), value}})
                                .value(QStringLiteral("docs"))
                                .toArray();
    for (const QJsonValue& doc : docs)
        found.append(doc.toObject());
    return found;
}

bool SyncClient::waitFor(const QString& id, bool deleted, int timeoutMs) {
    return call({{QStringLiteral("op"), QStringLiteral("wait")},
                 {QStringLiteral("id"), id},
                 {QStringLiteral("deleted"), deleted},
                 {QStringLiteral("timeoutMs"), timeoutMs}},
                timeoutMs + 5000)
        .value(QStringLiteral("ok"))
        .toBool();
}

qint64 SyncClient::arrivalOf(const QString& id) const {
    for (const QJsonObject& e : m_events) {
        if (e.value(QStringLiteral("event")) == QStringLiteral("change") &&
            e.value(QStringLiteral("id")).toString() == id &&
            !e.value(QStringLiteral("deleted")).toBool())
            return qint64(e.value(QStringLiteral("at")).toDouble());
    }
    return 0;
}

} // namespace trevok::test
