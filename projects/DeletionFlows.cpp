#include "app/AppDelegate.h"
#include "chrome/PXAppStoreWindow.h"
#include "chrome/UserDefaults.h"
#include "projects/DocumentWrites.h"
#include "projects/ProjectArrayController.h"
#include "records/ArchiveRules.h"
#include "records/ProjectNames.h"
#include "records/ReplicatorViews.h"
#include "records/UuidText.h"
#include "services/Alerts.h"
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

// Deletes every document the query lists, each by the ID its row names.
void deleteEveryRow(CouchQuery& query, CouchDatabase* database, bool idInValue,
                    const QString& listing, trevok::FailureReport& failures) {
    const std::optional<QList<CouchQueryRow>> rows = query.rowsAndWait();
    if (!rows) {
        failures.add(listing, query.error());
        return;
    }
    for (const CouchQueryRow& row : *rows) {
        const QJsonValue id = idInValue ? row.value() : row.key();
        if (!id.isString() || id.toString().isEmpty())
            continue;
        QString error;
        if (deleteByRewrite(database->documentWithID(id.toString()), &error) == Rewrite::Failed)
            failures.add(
                QStringLiteral("Deleting “%1” in “%2”").arg(id.toString(), database->name()),
                error);
    }
}

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
    ref.stem = record.value(QStringLiteral("serverDBName")).toString();
    ref.title = record.value(QStringLiteral("title")).toString();
    ref.projectID = record.value(QStringLiteral("projectID")).toString();
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
    const QString failed =
        QStringLiteral("The project “%1” was not deleted completely.").arg(project.title);
    if (emptyProject(project, failed))
        setProjectStatus(QStringLiteral("“%1” was deleted.").arg(project.title));
    else
        setProjectStatus(failed);
}

std::shared_ptr<RESTOperation> AppDelegate::createDelProjectModelWithID(const QString&,
                                                                        const QString& stem,
                                                                        const QString& title) {
    CouchDatabase* projectDB = m_server->databaseNamed(projectDatabaseName(stem));
    const QVariant serverID = pxUserDefaults().value(QStringLiteral("serverID"));
    RESTOperationPtr written =
        projectDB->documentWithID(trevok::uuidText())
            ->putProperties(
                deletionNoticeBody(title, serverID.isValid() ? serverID.toString() : QString()));
    written->wait();
    return written;
}

bool AppDelegate::emptyProject(const ProjectRef& project, const QString& failedMessage) {
    QStringList members;
    if (const QString mismatch = checkProjectDatabase(project, &members); !mismatch.isEmpty()) {
        trevok::showFailureAlert(m_mainWindow, failedMessage, mismatch);
        return false;
    }
    trevok::FailureReport failures;
    withdrawProject(project.projectID, members, failures);
    const QString dbName = projectDatabaseName(project.stem);
    // A project database that is gone takes no notice; the rest still goes.
    RESTOperationPtr notice =
        createDelProjectModelWithID(project.projectID, project.stem, project.title);
    if (!notice->isSuccessful() && notice->httpStatus() != 404)
        failures.add(QStringLiteral("Writing the deletion notice into “%1”").arg(dbName),
                     notice->error());

    CouchDesignDocument* meta = m_trevokMasterDB->designDocumentWithName(QStringLiteral("meta"));
    meta->defineViewNamed(QStringLiteral("all_members"), allMembersMap(project.projectID));
    std::unique_ptr<CouchQuery> query = meta->queryViewNamed(QStringLiteral("all_members"));
    query->setDescending(false);
    if (const auto rows = query->rowsAndWait()) {
        for (const CouchQueryRow& row : *rows) {
            if (!row.key().isString() || row.key().toString().isEmpty())
                continue;
            const QString id = row.key().toString();
            QString error;
            const Rewrite written = rewriteDocumentAndWait(
                m_trevokMasterDB->documentWithID(id),
                [](QJsonObject& body) {
                    body = emptiedBody(body);
                    return true;
                },
                &error);
            if (written == Rewrite::Failed)
                failures.add(QStringLiteral("Emptying “%1” in “trevok_master”").arg(id), error);
        }
    } else {
        failures.add(
            QStringLiteral("Listing the documents of “%1” in “trevok_master”").arg(project.title),
            query->error());
    }

    // The list follows the master database by itself; the filter looks again
    // at the marks just written.
    if (m_projectTableController)
        m_projectTableController->setFilterPredicate(m_projectTableController->filterPredicate());
    failures.tell(m_mainWindow, failedMessage);
    return failures.isEmpty();
}

void AppDelegate::deleteProjectPermanently() {
    if (m_logedIn != 1)
        return;
    ProjectRef project;
    if (!takeSelectedProject(&project))
        return;
    const QString failed =
        QStringLiteral("The project “%1” was not deleted permanently in full.").arg(project.title);
    QStringList members;
    if (const QString mismatch = checkProjectDatabase(project, &members); !mismatch.isEmpty()) {
        setProjectStatus(mismatch);
        trevok::showFailureAlert(m_mainWindow, failed, mismatch);
        return;
    }
    const QString dbName = projectDatabaseName(project.stem);
    // Its archive copy, if one runs, goes with the replications below.
    for (qsizetype i = m_archives.size() - 1; i >= 0; --i) {
        if (m_archives.at(i).project.projectID != project.projectID)
            continue;
        if (m_archives.at(i).replication)
            stopObservingReplication(m_archives.at(i).handle());
        m_archives.removeAt(i);
    }
    trevok::FailureReport failures;
    withdrawProject(project.projectID, members, failures);

    // The replications and the project database go before the documents: a
    // deletion in the master database would otherwise still travel through
    // the project database into the members' databases, which keep what they
    // received. The server stops a replication some time after its document
    // is gone; a database that is gone passes nothing on at once.
    CouchDesignDocument* trevok =
        m_replicationDatabase->designDocumentWithName(trevok::records::replicatorDesignName());
    const trevok::records::ReplicatorView bySource = trevok::records::replicationsBySource();
    trevok->defineViewNamed(bySource.name, bySource.map);
    std::unique_ptr<CouchQuery> sources = trevok->queryViewNamed(bySource.name);
    sources->setDescending(false);
    sources->setStartKey(dbName);
    sources->setEndKey(dbName);
    deleteEveryRow(*sources, m_replicationDatabase, true,
                   QStringLiteral("Listing the replications from “%1”").arg(dbName), failures);
    const trevok::records::ReplicatorView byTarget = trevok::records::replicationsByTarget();
    trevok->defineViewNamed(byTarget.name, byTarget.map);
    std::unique_ptr<CouchQuery> targets = trevok->queryViewNamed(byTarget.name);
    targets->setDescending(false);
    targets->setStartKey(dbName);
    targets->setEndKey(dbName);
    deleteEveryRow(*targets, m_replicationDatabase, true,
                   QStringLiteral("Listing the replications into “%1”").arg(dbName), failures);

    RESTOperationPtr removed = m_server->databaseNamed(dbName)->DELETE();
    if (!removed->wait() && removed->httpStatus() != 404)
        failures.add(QStringLiteral("Removing the database “%1”").arg(dbName), removed->error());

    CouchDesignDocument* meta = m_trevokMasterDB->designDocumentWithName(QStringLiteral("meta"));
    meta->defineViewNamed(QStringLiteral("all_members"), allMembersMap(project.projectID));
    std::unique_ptr<CouchQuery> documents = meta->queryViewNamed(QStringLiteral("all_members"));
    documents->setDescending(false);
    deleteEveryRow(
        *documents, m_trevokMasterDB, false,
        QStringLiteral("Listing the documents of “%1” in “trevok_master”").arg(project.title),
        failures);

    QString error;
    if (deleteByRewrite(m_trevokMasterDB->designDocumentWithName(project.stem), &error) ==
        Rewrite::Failed)
        failures.add(QStringLiteral("Deleting “_design/%1” in “trevok_master”").arg(project.stem),
                     error);
    if (deleteByRewrite(m_trevokMasterDB->documentWithID(project.projectID), &error) ==
        Rewrite::Failed)
        failures.add(QStringLiteral("Deleting the project record “%1” in “trevok_master”")
                         .arg(project.projectID),
                     error);

    if (m_projectTableController)
        m_projectTableController->setFilterPredicate(m_projectTableController->filterPredicate());
    if (!failures.isEmpty()) {
        setProjectStatus(failed);
        failures.tell(m_mainWindow, failed);
        return;
    }
    setProjectStatus(QStringLiteral("“%1” was deleted permanently.").arg(project.title));
}
