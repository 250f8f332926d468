#include "app/AdminOnlySecurity.h"
#include "app/AppDelegate.h"
#include "chrome/PXAppStoreWindow.h"
#include "projects/ArchiveHooks.h"
#include "projects/DocumentWrites.h"
#include "projects/ProjectArrayController.h"
#include "records/ProjectNames.h"
#include "services/Alerts.h"
#include "store/CouchDatabase.h"
#include "store/CouchDesignDocument.h"
#include "store/CouchDocument.h"
#include "store/CouchPersistentReplication.h"
#include "store/CouchQuery.h"
#include "store/CouchServer.h"

#include <QPointer>

using namespace trevok::projects;

namespace {
std::function<void()> g_afterArchiveDatabaseCreated;
} // namespace

namespace trevok::projects_for_testing {
void setAfterArchiveDatabaseCreated(std::function<void()> hook) {
    g_afterArchiveDatabaseCreated = std::move(hook);
}
} // namespace trevok::projects_for_testing

void AppDelegate::archiveProject() {
    if (m_addProjectSheet.sheet || m_logedIn != 1)
        return;
    if (!m_projectTableController || !m_projectTableController->selectedModel()) {
        setProjectStatus(QStringLiteral("Select a project in the projects table first."));
        return;
    }
    trevok::runConfirmationAlert(
        m_mainWindow,
        {QStringLiteral("Do you want to archive this project?"),
         QStringLiteral("The project won't be availible for users after you archived it."),
         QStringLiteral("Archive Project"), QStringLiteral("archiveProjectAlert")},
        [self = QPointer<AppDelegate>(this)](int returnCode) {
            if (self)
                self->archiveProjectModalEnded(returnCode);
        });
}

void AppDelegate::archiveProjectModalEnded(int returnCode) {
    if (returnCode != 1 || m_logedIn != 1)
        return;
    ProjectRef project;
    if (!takeSelectedProject(&project))
        return;
    if (archiveOfProject(project.projectID)) {
        setProjectStatus(
            QStringLiteral("“%1” is being archived already; it is emptied once its copy is "
                           "complete.")
                .arg(project.title));
        return;
    }
    QStringList members;
    if (const QString mismatch = checkProjectDatabase(project, &members); !mismatch.isEmpty()) {
        setProjectStatus(mismatch);
        trevok::showFailureAlert(
            m_mainWindow, QStringLiteral("The project “%1” was not archived.").arg(project.title),
            mismatch);
        return;
    }
    trevok::FailureReport failures;
    // An archived project takes no more writes from its members.
    withdrawProject(project.projectID, members, failures);
    const QString dbName = projectDatabaseName(project.stem);
    CouchDatabase* projectDB = m_server->databaseNamed(dbName);

    // Every project record of the project database is marked, so that the
    // copy holds the records already marked.
    CouchDesignDocument* projectMeta =
        projectDB->designDocumentWithName(QStringLiteral("projectmeta"));
    projectMeta->defineViewNamed(QStringLiteral("all_projects"), kProjectAllProjectsMap);
    std::unique_ptr<CouchQuery> query = projectMeta->queryViewNamed(QStringLiteral("all_projects"));
    QStringList marked;
    if (const auto rows = query->rowsAndWait()) {
        for (const CouchQueryRow& row : *rows) {
            // A record without `projectID` (a deletion notice) names no document.
            if (!row.key().isString() || row.key().toString().isEmpty())
                continue;
            const QString id = row.key().toString();
            QString error;
            const Rewrite written = rewriteDocumentAndWait(
                projectDB->documentWithID(id),
                [](QJsonObject& body) {
                    if (body.value(QStringLiteral("archived")) == QJsonValue(true))
                        return false;
                    body.insert(QStringLiteral("archived"), true);
                    return true;
                },
                &error);
            if (written == Rewrite::Written || written == Rewrite::Unchanged)
                marked.append(id);
            else if (written == Rewrite::Failed)
                failures.add(QStringLiteral("Marking the record “%1” as archived").arg(id), error);
        }
    } else {
        failures.add(QStringLiteral("Listing the project records of “%1”").arg(dbName),
                     query->error());
    }

    const QString archiveName = archiveDatabaseName(project.stem);
    RESTOperationPtr created = CouchDatabase::databaseNamed(archiveName, m_server.get())->create();
    // An archive kept from an earlier archiving takes the copy again.
    if (!created->wait() && created->httpStatus() != 412)
        failures.add(QStringLiteral("Creating the archive database “%1”").arg(archiveName),
                     created->error());
    else if (const QString error = trevok::secureForAdministrators(m_server.get(), archiveName);
             !error.isEmpty())
        failures.add(QStringLiteral("Restricting the archive database “%1” to the administrator")
                         .arg(archiveName),
                     error);
    if (g_afterArchiveDatabaseCreated)
        g_afterArchiveDatabaseCreated();

    CouchPersistentReplication* replication = projectDB->replicationToDatabaseAtURL(archiveName);
    m_archive = replication;
    m_archives.append({replication, project, marked, 0, {}});
    observeReplication(replication);
    if (RESTOperationPtr written = replication->start(); !written->wait()) {
        // A copy that never starts never completes: nothing is left to watch.
        failures.add(QStringLiteral("Starting the copy into “%1”").arg(archiveName),
                     written->error());
        stopObservingReplication(replication);
        for (qsizetype i = 0; i < m_archives.size(); ++i) {
            if (m_archives.at(i).replication == replication) {
                m_archives.removeAt(i);
                break;
            }
        }
    }

    if (!failures.isEmpty()) {
        const QString failed =
            QStringLiteral("The project “%1” was not archived completely.").arg(project.title);
        setProjectStatus(failed);
        failures.tell(m_mainWindow, failed);
        return;
    }
    setProjectStatus(
        QStringLiteral("“%1” is being archived; it is emptied once its copy is complete.")
            .arg(project.title));
}
