#pragma once

#include <QJsonObject>
#include <QJsonValue>
#include <QString>
#include <QUrl>

// The two lines of servers the console administers differ in how a
// replication document names the databases it joins. Servers of the first
// line (the bundled one among them) take bare database names; CouchDB 2 and
// later refuse them and want each end as a full URL with its credential.
enum class ServerGeneration {
    // The bundled server and CouchDB 1.x: one node, `/_config`, bare names.
    Classic,
    // CouchDB 2 and later: configuration per node, the scheduling
    // replicator, full URLs.
    Clustered,
};

// From the server's welcome (GET /): its "version" names the line. A
// welcome without a version is taken for the first line, whose documents
// the bundled server and every older server take.
ServerGeneration serverGenerationFromWelcome(const QJsonObject& welcome);

// One end of a replication as a document names it on a server of that
// generation: the name itself, or {"url": base/name, "auth": {"basic":
// {"username", "password"}}}.
QJsonValue replicationEndpointValue(ServerGeneration generation, const QUrl& server,
                                    const QString& database, const QString& user,
                                    const QString& password);

// The database that an end of a replication names, in either form: the
// bare name, or the last path segment of its URL (object or text),
// decoded. "" for anything else.
QString replicationEndpointDatabase(const QJsonValue& endpoint);
