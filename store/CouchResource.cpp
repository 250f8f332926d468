#include "store/CouchResource.h"

#include "store/CouchServer.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

CouchResource::CouchResource(CouchServer* server, const QString& encodedPath, QObject* parent)
    : QObject(parent)
    , m_server(server)
    , m_path(encodedPath) {}

CouchResource::~CouchResource() = default;

QUrl CouchResource::url() const {
    return urlWith(QString());
}

QUrl CouchResource::urlWith(const QString& subPath, const QUrlQuery& parameters) const {
    QByteArray encoded = m_server->url().toEncoded(QUrl::RemoveQuery | QUrl::RemoveFragment);
    while (encoded.endsWith('/'))
        encoded.chop(1);
    if (!m_path.isEmpty())
        encoded += '/' + m_path.toUtf8();
    if (!subPath.isEmpty())
        encoded += '/' + subPath.toUtf8();
    QUrl url = QUrl::fromEncoded(encoded);
    if (!parameters.isEmpty())
        url.setQuery(parameters);
    return url;
}

RESTOperationPtr CouchResource::request(const QByteArray& method, const QByteArray& body,
                                        const QUrlQuery& parameters, const QString& subPath) {
    return m_server->enqueue(method, urlWith(subPath, parameters), body);
}

RESTOperationPtr CouchResource::GET(const QUrlQuery& parameters) {
    return request("GET", {}, parameters);
}

RESTOperationPtr CouchResource::DELETE() {
    return request("DELETE");
}

QByteArray couchJsonBytes(const QJsonValue& value) {
    if (value.isObject())
        return QJsonDocument(value.toObject()).toJson(QJsonDocument::Compact);
    if (value.isArray())
        return QJsonDocument(value.toArray()).toJson(QJsonDocument::Compact);
    // A scalar (e.g. the new password text of _config/admins/admin).
    QByteArray wrapped = QJsonDocument(QJsonArray{value}).toJson(QJsonDocument::Compact);
    return wrapped.mid(1, wrapped.size() - 2);
}

RESTOperationPtr CouchResource::PUTJSON(const QJsonValue& body, const QUrlQuery& parameters) {
    return request("PUT", couchJsonBytes(body), parameters);
}

RESTOperationPtr CouchResource::POSTJSON(const QJsonValue& body, const QUrlQuery& parameters) {
    return request("POST", couchJsonBytes(body), parameters);
}
