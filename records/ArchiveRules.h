#pragma once

#include <QJsonObject>
#include <QString>

// Rules of archiving and emptying that need neither a window nor a server.
namespace trevok::projects {

// The body of a deletion notice: the project's title and " DeletionNotice",
// `wasDeleted` the number 1, and no `projectID`, so that no project-ID view
// or filter ever takes it for one of the project's documents. `serverID` is
// left out when there is none.
QJsonObject deletionNoticeBody(const QString& title, const QString& serverID);

// What emptying makes of one of the project's documents in the master
// database: a project record gets `wasDeleted`, true when it has no
// `archived` field at all and false when it has one (its presence decides,
// not its value); any other document is deleted (deletionBody()).
QJsonObject emptiedBody(QJsonObject body);

// What a deleting write sends: `_deleted` and the `projectID` alone. Every
// project's "master_to_project_filter" passes every deletion, so a deletion
// that carried the whole body would hand the document's content to every
// project database and to the members of every project.
QJsonObject deletionBody(const QJsonObject& body);

// A stem the console could have made (a-z and 0-9 only, not empty) and that
// does not name one of the master database's own design documents. A record
// with any other `serverDBName` would make the flows address databases and
// design documents that are not the project's.
bool isUsableStem(const QString& stem);

// A project ID that can go into the source of a view or filter as it is:
// letters, digits and hyphens, as the IDs the console makes.
bool isUsableProjectID(const QString& projectID);

} // namespace trevok::projects
