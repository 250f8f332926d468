#include "app/AdminOnlySecurity.h"
#include "app/AppDelegate.h"
#include "chrome/PXAppStoreWindow.h"
#include "chrome/UserDefaults.h"
#include "lists/ProjectQuery.h"
#include "projects/MembershipHooks.h"
#include "records/ProjectModel.h"
#include "records/ProjectNames.h"
#include "records/UuidText.h"
#include "services/Alerts.h"
#include "services/Interface.h"
#include "services/Readable.h"
#include "store/CouchDatabase.h"
#include "store/CouchDesignDocument.h"
#include "store/CouchPersistentReplication.h"
#include "store/CouchServer.h"

#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

using namespace trevok::projects;
using trevok::outlet;

void AppDelegate::activateProjectSheet() {
    if (m_projectSheet || m_logedIn != 1)
        return;
    switchToProjects();
    auto* sheet = qobject_cast<QDialog*>(trevok::loadInterface(QStringLiteral("AddProjectSheet")));
    if (!sheet)
        return;
    m_projectSheet = sheet;
    m_tmpProjectNameField = outlet<QLineEdit>(sheet, "tmpProjectNameField");
    m_projectSheetWarningField = outlet<QLabel>(sheet, "projectSheetWarningField");
    m_projectSheetWarningField->hide();
    connect(outlet<QPushButton>(sheet, "projectSheetConfirm"), &QPushButton::clicked, this,
            &AppDelegate::createProject);
    connect(outlet<QPushButton>(sheet, "projectSheetCancel"), &QPushButton::clicked, this,
            &AppDelegate::closeProjectSheet);
    connect(sheet, &QDialog::rejected, this, &AppDelegate::closeProjectSheet);
    showSheet(sheet);
    m_tmpProjectNameField->setFocus();
}

void AppDelegate::closeProjectSheet() {
    QDialog* sheet = m_projectSheet;
    m_projectSheet = nullptr;
    m_tmpProjectNameField = nullptr;
    m_projectSheetWarningField = nullptr;
    if (sheet) {
        sheet->disconnect(this);
        endSheet(sheet);
    }
}

namespace {
// 200: the resource exists; 404: it does not; anything else: unknown.
int existence(CouchResource* resource, QString* error) {
    RESTOperationPtr op = resource->GET();
    op->wait();
    if (op->httpStatus() != 200 && op->httpStatus() != 404)
        *error = op->error();
    return op->httpStatus();
}
} // namespace

QString AppDelegate::stemInUse(const QString& stem) {
    if (isReservedStem(stem))
        return QStringLiteral("The name “%1” is kept for the console's own records; please "
                              "choose another title.")
            .arg(stem);
    if (m_projectQuery) {
        for (const CouchModel* record : m_projectQuery->entries()) {
            if (record->stringValue(QStringLiteral("serverDBName")) == stem)
                return QStringLiteral("The project “%1” already uses the database name “%2”; "
                                      "please choose another title.")
                    .arg(record->stringValue(QStringLiteral("title")), stem);
        }
    }
    // The project database, the master design document and the archive of a
    // project deleted earlier all carry the stem: none may be shared.
    const QList<std::pair<CouchResource*, QString>> owners = {
        {m_server->databaseNamed(projectDatabaseName(stem)), projectDatabaseName(stem)},
        {m_trevokMasterDB->designDocumentWithName(stem),
         QStringLiteral("trevok_master/_design/") + stem},
        {m_server->databaseNamed(archiveDatabaseName(stem)), archiveDatabaseName(stem)},
    };
    for (const auto& [resource, name] : owners) {
        QString error;
        const int status = existence(resource, &error);
        if (status == 200)
            return QStringLiteral("“%1” already exists on the server; please choose another "
                                  "title.")
                .arg(name);
        if (status != 404)
            return QStringLiteral("The server could not tell whether “%1” is free: %2")
                .arg(name, error);
    }
    return {};
}

void AppDelegate::createProject() {
    if (!m_projectSheet || m_logedIn != 1)
        return;
    const auto warn = [this](const QString& text) {
        trevok::showWarning(m_projectSheetWarningField, text);
    };
    const QString title = m_tmpProjectNameField->text();
    const QString stem = databaseStem(title);
    if (stem.isEmpty()) {
        warn(QStringLiteral("The title needs at least one letter or digit."));
        return;
    }
    if (const QString used = stemInUse(stem); !used.isEmpty()) {
        warn(used);
        return;
    }

    afterStemCheck();

    trevok::FailureReport failures;
    const QString failedMessage =
        QStringLiteral("The project “%1” was not set up completely.").arg(title);
    const QString dbName = projectDatabaseName(stem);
    CouchDatabase* projectDB = CouchDatabase::databaseNamed(dbName, m_server.get());
    RESTOperationPtr created = projectDB->create();
    if (!created->wait()) {
        // Nothing goes into, or replicates with, a database that is not there
        // or is not this project's alone.
        failures.add(QStringLiteral("Creating the database “%1”").arg(dbName), created->error());
        closeProjectSheet();
        failures.tell(m_mainWindow, QStringLiteral("The project “%1” was not created.").arg(title));
        return;
    }
    if (const QString error = trevok::secureForAdministrators(m_server.get(), dbName);
        !error.isEmpty())
        failures.add(
            QStringLiteral("Restricting the database “%1” to the administrator").arg(dbName),
            error);

    const QString projectID = trevok::uuidText();
    m_newProject = CouchModel::modelForDocument<ProjectModel>(projectDB->documentWithID(projectID));
    m_newProject->setValue(QStringLiteral("title"), title);
    m_newProject->setValue(QStringLiteral("type"), QStringLiteral("ProjectInfoDoc"));
    const QVariant serverID = pxUserDefaults().value(QStringLiteral("serverID"));
    if (serverID.isValid())
        m_newProject->setValue(QStringLiteral("serverID"), serverID.toString());
    m_newProject->setValue(QStringLiteral("serverDBName"), stem);
    RESTOperationPtr recordSaved = m_newProject->save();

    CouchDesignDocument* projectMeta =
        projectDB->designDocumentWithName(QStringLiteral("projectmeta"));
    projectMeta->defineFilterNamed(QStringLiteral("project_to_master_filter"),
                                   kProjectToMasterFilter);
    if (RESTOperationPtr op = projectMeta->saveChanges(); !op->wait())
        failures.add(QStringLiteral("Saving the filter “project_to_master_filter”"), op->error());
    projectMeta->defineViewNamed(QStringLiteral("project_info"), kProjectInfoMap);
    if (RESTOperationPtr op = projectMeta->saveChanges(); !op->wait())
        failures.add(QStringLiteral("Saving the view “project_info”"), op->error());
    // Queued before the design documents: settled by now.
    if (!recordSaved->wait())
        failures.add(QStringLiteral("Writing the project record"), recordSaved->error());

    CouchDesignDocument* masterDesign = m_trevokMasterDB->designDocumentWithName(stem);
    masterDesign->defineFilterNamed(QStringLiteral("master_to_project_filter"),
                                    masterToProjectFilter(projectID));
    if (RESTOperationPtr op = masterDesign->saveChanges(); !op->wait())
        failures.add(QStringLiteral("Saving the filter “%1/master_to_project_filter”").arg(stem),
                     op->error());

    const QList<CouchPersistentReplication*> pair =
        m_trevokMasterDB->replicateWithURL(dbName, false);
    m_pull = pair.value(0);
    m_push = pair.value(1);
    // Before anything waits: the replication documents are written complete.
    m_push->setFilter(stem + QStringLiteral("/master_to_project_filter"));
    m_pull->setFilter(QStringLiteral("projectmeta/project_to_master_filter"));
    RESTOperationPtr pullWritten = m_pull->start();
    RESTOperationPtr pushWritten = m_push->start();

    closeProjectSheet();
    if (!pullWritten->wait())
        failures.add(
            QStringLiteral("Creating the replication from “%1” to “trevok_master”").arg(dbName),
            pullWritten->error());
    if (!pushWritten->wait())
        failures.add(
            QStringLiteral("Creating the replication from “trevok_master” to “%1”").arg(dbName),
            pushWritten->error());
    failures.tell(m_mainWindow, failedMessage);
}
