#pragma once

#include "store/RESTOperation.h"

#include <QJsonValue>
#include <QObject>
#include <QString>
#include <QUrl>
#include <QUrlQuery>

class CouchServer;

// Compact JSON text of any JSON value (scalars included).
QByteArray couchJsonBytes(const QJsonValue& value);

// A resource on the server addressed by a path below the server's URL. Raw
// resources come from CouchServer::childWithPath(); databases and documents
// are resources too. All requests go through the server's queue.
class CouchResource : public QObject {
    Q_OBJECT
public:
    // `encodedPath` is below the server root, already percent-encoded.
    CouchResource(CouchServer* server, const QString& encodedPath, QObject* parent = nullptr);
    ~CouchResource() override;

    CouchServer* server() const { return m_server; }
    QUrl url() const;
    // The path below the server root as given (percent-encoded).
    QString encodedPath() const { return m_path; }

    RESTOperationPtr GET(const QUrlQuery& parameters = {});
    virtual RESTOperationPtr DELETE();
    RESTOperationPtr PUTJSON(const QJsonValue& body, const QUrlQuery& parameters = {});
    RESTOperationPtr POSTJSON(const QJsonValue& body, const QUrlQuery& parameters = {});

protected:
    // Queues a request on this resource, or on `subPath` (encoded) below it.
    RESTOperationPtr request(const QByteArray& method, const QByteArray& body = {},
                             const QUrlQuery& parameters = {}, const QString& subPath = {});
    QUrl urlWith(const QString& subPath, const QUrlQuery& parameters = {}) const;

private:
    CouchServer* m_server;
    QString m_path;
};
