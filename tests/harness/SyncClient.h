#pragma once

#include <QJsonObject>
#include <QList>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>

namespace trevok::test {

// A real sync client (PouchDB under Node.js, tests/e2e/sync_client.js) that
// logs in as a user and keeps a local copy of the user's database in step
// through the sync listener.
class SyncClient {
public:
    // `options` are the script's own: "--pin" with a fingerprint for an
    // https URL, "--session" to sync with a session cookie.
    SyncClient(const QString& listenerUrl, const QString& user, const QString& password,
               const QStringList& options = {});
    ~SyncClient();

    // Whether the client process came up.
    bool isReady() const { return m_ready; }

    // Sends one command and waits for its reply (an object with "ok").
    QJsonObject call(QJsonObject command, int timeoutMs = 30000);

    QJsonObject put(const QJsonObject& doc) {
        return call({{QStringLiteral("op"), QStringLiteral("put")}, {QStringLiteral("doc"), doc}});
    }
    QJsonObject remove(const QString& id) {
        return call({{QStringLiteral("op"), QStringLiteral("remove")}, {QStringLiteral("id"), id}});
    }
    // The local copy of a document; an empty object when the client has none.
    QJsonObject get(const QString& id);
    // The local documents whose field holds the value.
    QList<QJsonObject> find(const QString& field, const QJsonValue& value);
    // Waits until the local copy holds (or, with deleted, no longer holds) the document.
    bool waitFor(const QString& id, bool deleted = false, int timeoutMs = 15000);
    // Milliseconds since the epoch at which the client saw the document arrive.
    qint64 arrivalOf(const QString& id) const;

    QList<QJsonObject> events() const { return m_events; }
    // What the client told when it came up: the certificate it saw, whether
    // it was the pinned one, the session cookie it syncs with.
    QJsonObject readyEvent() const;

private:
    void readLines();

    QTemporaryDir m_dir;
    std::unique_ptr<QProcess> m_process;
    QByteArray m_buffer;
    QList<QJsonObject> m_events;
    QList<QJsonObject> m_replies;
    int m_seq = 0;
    bool m_ready = false;
};

} // namespace trevok::test
