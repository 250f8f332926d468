#include "users/UserProvisioning.h"

#include "records/UserModel.h"
#include "records/UserNames.h"
#include "store/CouchDatabase.h"
#include "store/CouchDocument.h"
#include "store/CouchServer.h"
#include "store/DocumentRewrite.h"
#include "users/UserAccess.h"

#include <QDateTime>
#include <QJsonArray>

namespace trevok::users {

namespace {
// Fields a deleted revision must not keep: it stays on the server.
const QStringList kSecretFields = {
    QStringLiteral("password"),     QStringLiteral("derived_key"),     QStringLiteral("salt"),
    QStringLiteral("password_sha"), QStringLiteral("password_scheme"), QStringLiteral("iterations"),
};
} // namespace

Provisioned createUserAndWait(const StoreSession& session, const NewUser& user,
                              const QStringList& projectIDs, UserModel** model) {
    Provisioned report;
    CouchDocument* document = session.userDatabase->documentWithID(userDocumentID(user.name));
    // A read that fails says nothing: the write below tells why.
    if (document->readPropertiesAndWait().found()) {
        report.fail(QStringLiteral("Writing the user document"),
                    QStringLiteral("conflict: a user with this username exists already"));
        return report;
    }
    auto* record = CouchModel::modelForDocument<UserModel>(document);
    if (model)
        *model = record;
    // A model left from a deleted user of the same name starts over instead
    // of carrying its old fields into the new record.
    const QStringList oldKeys = record->properties().keys();
    for (const QString& key : oldKeys) {
        if (!key.startsWith(QLatin1Char('_')))
            record->setValue(key, QJsonValue(QJsonValue::Undefined));
    }
    record->setValue(QStringLiteral("name"), user.name);
    record->setValue(QStringLiteral("firstName"), user.firstName);
    record->setValue(QStringLiteral("lastName"), user.lastName);
    record->setValue(QStringLiteral("type"), QStringLiteral("user"));
    record->setDateValue(QStringLiteral("created"), QDateTime::currentDateTimeUtc());
    record->setDateValue(QStringLiteral("lastConnected"), QDateTime::currentDateTimeUtc());
    record->setValue(QStringLiteral("owner"), user.name);
    record->setValue(QStringLiteral("roles"), QJsonArray());
    record->setValue(QStringLiteral("password"), user.password);
    // Queued back to back: the server gets the record before the database,
    // and a crash between them leaves a record that the next login completes.
    RESTOperationPtr saved = record->save();
    const QString databaseName = userDatabaseName(user.name);
    RESTOperationPtr created = session.server->databaseNamed(databaseName)->create();
    const bool written = saved->wait();
    if (!written)
        report.fail(QStringLiteral("Writing the user document"), saved->error());
    else
        report.mended.append(QStringLiteral("the user document of %1").arg(quoted(user.name)));
    if (created->wait())
        report.mended.append(QStringLiteral("the database %1").arg(quoted(databaseName)));
    else if (created->httpStatus() != 412)
        report.fail(QStringLiteral("Creating the database %1").arg(quoted(databaseName)),
                    created->error());
    // Nothing is built for a user whose record is not there.
    if (written && report.ok())
        report.add(ensureUserWebAndWait(session, user.name, projectIDs));
    return report;
}

Provisioned ensureUserWebAndWait(const StoreSession& session, const QString& name,
                                 const QStringList& projectIDs) {
    Provisioned report;
    const QString databaseName = userDatabaseName(name);
    if (ensureDatabaseAndWait(session.server, databaseName, report) == Ensured::Failed)
        return report; // nothing goes into a database that is not there
    ensureSecurityAndWait(session.server, databaseName, userDatabaseSecurity(name), report);
    // A name of a deleted user may still be listed in a project: the user
    // is then its member, as the record says.
    QString error;
    switch (grantProjectsAndWait(session.server, name, projectIDs, &error)) {
    case Rewrite::Written:
        report.mended.append(
            QStringLiteral("the design document “security” of %1").arg(quoted(databaseName)));
        break;
    case Rewrite::Unchanged:
        break;
    case Rewrite::Gone:
    case Rewrite::Failed:
        report.fail(QStringLiteral("Storing the design document “security”"), error);
        break;
    }
    ensureReplicationAndWait(
        session,
        {databaseName, QStringLiteral("trevok_master"), userToMasterFilterReference(), true},
        report);
    return report;
}

Provisioned deleteUserAndWait(const StoreSession& session, const QString& name) {
    Provisioned report;
    QString error;
    if (deleteDocumentAndWait(session.userDatabase->documentWithID(userDocumentID(name)), &error,
                              kSecretFields) == Rewrite::Failed) {
        // Kept whole: a user whose document stays keeps what he has.
        report.fail(QStringLiteral("Deleting the user document"), error);
        return report;
    }
    removeDatabaseAndWait(session, userDatabaseName(name), report);
    return report;
}

RESTOperationPtr changeUserPassword(UserModel* user, const QString& password) {
    user->setValue(QStringLiteral("password"), password);
    return user->save();
}

} // namespace trevok::users
