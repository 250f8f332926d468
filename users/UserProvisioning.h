#pragma once

#include "services/WebSteps.h"

#include <QString>
#include <QStringList>

class UserModel;

// What a user is on the server, made and unmade without widgets or settings:
// the `_users` document, his database with its security object and design
// document, and the replication that carries his project documents into
// "trevok_master". Each operation takes plain values and the session and
// makes sure it is so: run again after it stopped anywhere, it completes.
namespace trevok::users {

struct NewUser {
    QString name;
    QString firstName;
    QString lastName;
    QString password;
};

// The user document comes first: it is the record from which every login
// makes the rest whole, so a user never has things the console cannot tell
// are his. A document that exists already is left as it is and ends the
// operation (another console or client made that user). `projectIDs`: the
// live projects that list him as a member. `model` receives the record's model.
Provisioned createUserAndWait(const StoreSession& session, const NewUser& user,
                              const QStringList& projectIDs, UserModel** model = nullptr);

// Everything of an existing user but his document: database, security
// object, design document "security" and the user-to-master replication.
Provisioned ensureUserWebAndWait(const StoreSession& session, const QString& name,
                                 const QStringList& projectIDs);

// The user document goes first, so that no login makes the rest again; then
// the replications from and into his database, then the database. What is
// gone already counts as removed.
Provisioned deleteUserAndWait(const StoreSession& session, const QString& name);

// A new password, saved now; the server turns it into its stored credential.
RESTOperationPtr changeUserPassword(UserModel* user, const QString& password);

} // namespace trevok::users
