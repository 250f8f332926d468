#include "app/AppDelegate.h"
#include "chrome/PXAppStoreWindow.h"
#include "chrome/UserDefaults.h"
#include "projects/ProjectArrayController.h"
#include "projects/ProjectProvisioning.h"
#include "records/ArchiveRules.h"
#include "records/ProjectNames.h"
#include "records/RecordFields.h"
#include "records/ReplicatorViews.h"
#include "records/UuidText.h"
#include "services/Alerts.h"
#include "services/ShownText.h"
#include "store/CouchDatabase.h"
#include "store/CouchDesignDocument.h"
#include "store/CouchDocument.h"
#include "store/CouchModel.h"
#include "store/CouchPersistentReplication.h"
#include "store/CouchQuery.h"
#include "store/CouchServer.h"

#include <QPointer>

using namespace trevok::projects;

namespace {

const QString kSelectProject = QStringLiteral("Select a project in the projects table first.");

} // namespace

bool AppDelegate::takeSelectedProject(ProjectRef* project) {
    CouchModel* model =
        m_projectTableController ? m_projectTableController->selectedModel() : nullptr;
    if (!model || !model->document()) {
        setProjectStatus(kSelectProject);
        return false;
    }
    // The record as stored, not a change of the model not saved yet.
    const QJsonObject record = model->storedProperties();
    ProjectRef ref;
    ref.stem = record.value(trevok::records::kServerDBNameField).toString();
    ref.title = record.value(trevok::records::kTitleField).toString();
    ref.projectID = record.value(trevok::records::kProjectIDField).toString();
    if (ref.projectID.isEmpty())
        ref.projectID = model->document()->documentID();
    if (!isUsableStem(ref.stem) || !isUsableProjectID(ref.projectID)) {
        setProjectStatus(QStringLiteral("The record “%1” does not name a project database of its "
                                        "own; it is left alone.")
                             .arg(ref.title));
        return false;
    }
    rememberSelectedProject(ref);
    *project = ref;
    return true;
}

void AppDelegate::rememberSelectedProject(const ProjectRef& project) {
    m_selectedProjectDBName = project.stem;
    m_selectedProjecName = project.title;
    m_selectedProjectID = project.projectID;
}

void AppDelegate::deleteProject() {
    if (m_addProjectSheet.sheet || m_logedIn != 1)
        return;
    if (!m_projectTableController || !m_projectTableController->selectedModel()) {
        setProjectStatus(kSelectProject);
        return;
    }
    trevok::runConfirmationAlert(m_mainWindow,
                                 {QStringLiteral("Do you want to delete this project?"),
                                  QStringLiteral("You can't undo this action."),
                                  QStringLiteral("Delete Project"),
                                  QStringLiteral("deleteProjectAlert")},
                                 [self = QPointer<AppDelegate>(this)](int returnCode) {
                                     if (self)
                                         self->deleteProjectModalEnded(returnCode);
                                 });
}

void AppDelegate::deleteProjectModalEnded(int returnCode) {
    if (returnCode != 1 || m_logedIn != 1)
        return;
    emptyProjectAndMarkAsDeleted();
}

void AppDelegate::emptyProjectAndMarkAsDeleted() {
    if (m_logedIn != 1)
        return;
    ProjectRef project;
    if (!takeSelectedProject(&project))
        return;
    const QString failed = QStringLiteral("The project “%1” was not deleted completely.")
                               .arg(trevok::shownName(project.title));
    if (emptyProject(project, failed))
        setProjectStatus(QStringLiteral("“%1” was deleted.").arg(trevok::shownName(project.title)));
    else
        setProjectStatus(failed);
}

std::shared_ptr<RESTOperation> AppDelegate::createDelProjectModelWithID(const QString&,
                                                                        const QString& stem,
                                                                        const QString& title) {
    return writeDeletionNoticeAndWait(session(), stem, title, serverID());
}

bool AppDelegate::emptyProject(const ProjectRef& project, const QString& failedMessage) {
    QStringList members;
    if (const QString mismatch = checkProjectDatabase(project, &members); !mismatch.isEmpty()) {
        trevok::showFailureAlert(m_mainWindow, failedMessage, mismatch);
        return false;
    }
    trevok::Provisioned emptied =
        withdrawProjectAndWait(session(), m_memberProjects, project.projectID, members);
    emptied.add(emptyProjectAndWait(session(), project, serverID()));

    // The list follows the master database by itself; the filter looks again
    // at the marks just written.
    if (m_projectTableController)
        m_projectTableController->setFilterPredicate(m_projectTableController->filterPredicate());
    tellProvisioned(emptied, failedMessage);
    return emptied.ok();
}

void AppDelegate::deleteProjectPermanently() {
    if (m_logedIn != 1)
        return;
    ProjectRef project;
    if (!takeSelectedProject(&project))
        return;
    const QString failed = QStringLiteral("The project “%1” was not deleted permanently in full.")
                               .arg(trevok::shownName(project.title));
    QStringList members;
    if (const QString mismatch = checkProjectDatabase(project, &members); !mismatch.isEmpty()) {
        setProjectStatus(mismatch);
        trevok::showFailureAlert(m_mainWindow, failed, mismatch);
        return;
    }
    // Its archive copy, if one runs, goes with the replications below.
    for (qsizetype i = m_archives.size() - 1; i >= 0; --i) {
        if (m_archives.at(i).project.projectID != project.projectID)
            continue;
        if (m_archives.at(i).replication)
            stopObservingReplication(m_archives.at(i).handle());
        m_archives.removeAt(i);
    }
    trevok::Provisioned deleted =
        withdrawProjectAndWait(session(), m_memberProjects, project.projectID, members);
    deleted.add(deleteProjectPermanentlyAndWait(session(), project));

    if (m_projectTableController)
        m_projectTableController->setFilterPredicate(m_projectTableController->filterPredicate());
    if (!deleted.ok()) {
        setProjectStatus(failed);
        tellProvisioned(deleted, failed);
        return;
    }
    setProjectStatus(
        QStringLiteral("“%1” was deleted permanently.").arg(trevok::shownName(project.title)));
}

QString AppDelegate::serverID() {
    const QVariant serverID = pxUserDefaults().value(QStringLiteral("serverID"));
    return serverID.isValid() ? serverID.toString() : QString();
}
