#include "app/AppDelegate.h"
#include "app/ArchiveHooks.h"
#include "chrome/PXAppStoreWindow.h"
#include "projects/ProjectArrayController.h"
#include "projects/ProjectProvisioning.h"
#include "records/ProjectNames.h"
#include "services/Alerts.h"
#include "services/ShownText.h"
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
                .arg(trevok::shownName(project.title)));
        return;
    }
    QStringList members;
    if (const QString mismatch = checkProjectDatabase(project, &members); !mismatch.isEmpty()) {
        setProjectStatus(mismatch);
        trevok::showFailureAlert(m_mainWindow,
                                 QStringLiteral("The project “%1” was not archived.")
                                     .arg(trevok::shownName(project.title)),
                                 mismatch);
        return;
    }
    // An archived project takes no more writes from its members.
    trevok::Provisioned archiving =
        withdrawProjectAndWait(session(), m_memberProjects, project.projectID, members);
    QStringList marked;
    CouchPersistentReplication* replication = nullptr;
    archiving.add(startArchiveAndWait(session(), project, &marked, &replication,
                                      g_afterArchiveDatabaseCreated));
    if (replication) {
        m_archive = replication;
        m_archives.append({replication, project, marked, 0, {}});
        observeReplication(replication);
        // A copy that completed during the waits above reported before it
        // was observed.
        scheduleArchiveCheck(0);
    }

    if (!archiving.ok()) {
        const QString failed = QStringLiteral("The project “%1” was not archived completely.")
                                   .arg(trevok::shownName(project.title));
        setProjectStatus(failed);
        tellProvisioned(archiving, failed);
        return;
    }
    setProjectStatus(
        QStringLiteral("“%1” is being archived; it is emptied once its copy is complete.")
            .arg(trevok::shownName(project.title)));
}
