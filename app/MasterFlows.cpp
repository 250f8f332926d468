#include "app/AppDelegate.h"
#include "chrome/PXAppStoreWindow.h"
#include "chrome/UserDefaults.h"
#include "lists/ProjectQuery.h"
#include "lists/UserQuery.h"
#include "records/MasterModel.h"
#include "records/ProjectNames.h"
#include "records/RecordFields.h"
#include "records/UuidText.h"
#include "services/AdminOnlySecurity.h"
#include "services/Alerts.h"
#include "store/CouchDatabase.h"
#include "store/CouchDesignDocument.h"
#include "store/CouchDocument.h"
#include "store/CouchQuery.h"
#include "store/CouchServer.h"
#include "store/OperationGroup.h"

#include <QDateTime>
#include <QLineEdit>

namespace {
const QString kMasterName = trevok::masterDatabaseName();
const QString kMasterRecordID = trevok::masterRecordID();
} // namespace

void AppDelegate::setUpStore() {
    m_needsTrevokMaster = true;
    // The console's own databases admit the administrator only; those of an
    // installation made before that rule are mended here, once.
    QStringList adminOnly;
    QStringList databaseNames;
    if (const auto databases = m_server->getDatabasesAndWait()) {
        for (CouchDatabase* db : *databases) {
            databaseNames.append(db->name());
            if (db->name() == kMasterName)
                m_needsTrevokMaster = false;
            else if (db->name().startsWith(QLatin1String("trevok_project_")) ||
                     db->name().startsWith(QLatin1String("archived_trevok_project_")))
                adminOnly.append(db->name());
        }
    }
    m_userDatabase = m_server->databaseNamed(QStringLiteral("_users"));
    m_replicationDatabase = m_server->databaseNamed(QStringLiteral("_replicator"));
    if (m_needsTrevokMaster)
        createMaster();
    m_trevokMasterDB = m_server->databaseNamed(kMasterName);
    adminOnly.prepend(kMasterName);
    trevok::FailureReport unsecured;
    for (const QString& name : adminOnly) {
        const QString error = trevok::secureForAdministrators(m_server.get(), name);
        if (!error.isEmpty())
            unsecured.add(
                QStringLiteral("Restricting the database “%1” to the administrator").arg(name),
                error);
    }
    unsecured.tell(m_mainWindow,
                   QStringLiteral("Some of the console's databases are still open to every "
                                  "account on the server."));

    std::unique_ptr<CouchQuery> users = m_userDatabase->getAllDocuments();
    // The lists run with the session server's credential, so that they follow
    // an administrator password change instead of keeping the old one.
    users->setDescending(true);
    m_query = std::make_unique<UserQuery>(std::move(users));

    CouchDesignDocument* design = m_trevokMasterDB->designDocumentWithName(
        QLatin1String(trevok::projects::kProjectMetaDesignName));
    design->defineViewNamed(QLatin1String(trevok::projects::kAllProjectsViewName),
                            trevok::kAllProjectsMap);
    design->saveChanges();
    std::unique_ptr<CouchQuery> projects =
        design->queryViewNamed(QLatin1String(trevok::projects::kAllProjectsViewName));
    projects->setDescending(true);
    m_projectQuery = std::make_unique<ProjectQuery>(std::move(projects));
    setProjectListFilter(m_projectListPredicate);
    loadMemberProjects();

    // Before the passes over every user and project below: their reads go
    // through the same queue, and the window waits for this one.
    const QJsonValue masterID = m_trevokMasterDB->documentWithID(kMasterRecordID)
                                    ->propertyForKeyAndWait(QStringLiteral("masterID"));
    auto defaults = pxUserDefaults();
    if (masterID.isString()) {
        defaults.setValue(QStringLiteral("serverID"), masterID.toString());
    } else {
        defaults.remove(QStringLiteral("serverID"));
        createMaster();
    }

    mendUserAccess();
    // After the rules: a user database made again gets his rule with it.
    if (!databaseNames.contains(kMasterName))
        databaseNames.append(kMasterName);
    startWebRepair(databaseNames, true);
}

void AppDelegate::createMaster() {
    trevok::FailureReport failures;
    m_trevokMasterDB = m_server->databaseNamed(kMasterName);
    RESTOperationPtr created = m_trevokMasterDB->create();
    // An existing database is what this step wants anyway.
    if (!created->wait() && created->httpStatus() != 412)
        failures.add(QStringLiteral("Creating the database “trevok_master”"), created->error());

    const QString serverID = trevok::uuidText();
    CouchDocument* document = m_trevokMasterDB->documentWithID(kMasterRecordID);
    auto* model = CouchModel::modelForDocument<MasterModel>(document);
    model->setValue(trevok::records::kServerIDField, serverID);
    RESTOperationPtr first = model->save();

    m_newMaster = CouchModel::modelForDocument<MasterModel>(document);
    m_newMaster->setValue(trevok::records::kOwnerNameField, m_tmpClientName->text());
    m_newMaster->setValue(QStringLiteral("ownerEmail"), m_tmpClientEmail->text());
    m_newMaster->setValue(QStringLiteral("type"), QStringLiteral("MasterInfoDoc"));
    m_newMaster->setDateValue(QStringLiteral("created"), QDateTime::currentDateTimeUtc());
    m_newMaster->setValue(QStringLiteral("serverName"), m_tmpMasterName->text());
    RESTOperationPtr second = m_newMaster->save();

    // The saves are not waited for; their failures are told once they are known.
    auto saves = OperationGroup::create(
        this, [this, failures](const QList<OperationFailure>& failed) mutable {
            for (const OperationFailure& failure : failed)
                failures.add(failure.step, failure.error);
            failures.tell(m_mainWindow, QStringLiteral("The master database could not be set up."));
        });
    saves->add(first, QStringLiteral("Writing the master record"));
    saves->add(second, QStringLiteral("Writing the master record"));
    saves->close();
}
