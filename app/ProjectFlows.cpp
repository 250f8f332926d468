#include "app/AppDelegate.h"
#include "chrome/PXAppStoreWindow.h"
#include "chrome/UserDefaults.h"
#include "lists/ProjectQuery.h"
#include "projects/MembershipHooks.h"
#include "records/ProjectModel.h"
#include "records/ProjectNames.h"
#include "records/RecordFields.h"
#include "records/UuidText.h"
#include "services/AdminOnlySecurity.h"
#include "services/Alerts.h"
#include "services/Interface.h"
#include "services/Readable.h"
#include "services/ShownText.h"
#include "store/CouchDatabase.h"
#include "store/CouchDesignDocument.h"
#include "store/CouchPersistentReplication.h"
#include "store/CouchQuery.h"
#include "store/CouchServer.h"

#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

using namespace trevok::projects;
using trevok::outlet;

void AppDelegate::activateProjectSheet() {
    if (m_addProjectSheet.sheet || m_logedIn != 1)
        return;
    switchToProjects();
    auto* sheet = qobject_cast<QDialog*>(trevok::loadInterface(QStringLiteral("AddProjectSheet")));
    if (!sheet)
        return;
    m_addProjectSheet.sheet = sheet;
    m_addProjectSheet.tmpProjectNameField = outlet<QLineEdit>(sheet, "tmpProjectNameField");
    m_addProjectSheet.projectSheetWarningField = outlet<QLabel>(sheet, "projectSheetWarningField");
    m_addProjectSheet.projectSheetWarningField->hide();
    // It quotes the title typed, however long.
    trevok::fitLabel(m_addProjectSheet.projectSheetWarningField, 3);
    connect(outlet<QPushButton>(sheet, "projectSheetConfirm"), &QPushButton::clicked, this,
            &AppDelegate::createProject);
    connect(outlet<QPushButton>(sheet, "projectSheetCancel"), &QPushButton::clicked, this,
            &AppDelegate::closeProjectSheet);
    connect(sheet, &QDialog::rejected, this, &AppDelegate::closeProjectSheet);
    showSheet(sheet);
    m_addProjectSheet.tmpProjectNameField->setFocus();
}

void AppDelegate::closeProjectSheet() {
    closeSheet(std::exchange(m_addProjectSheet, {}).sheet);
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
// Whether the project database of `stem` holds a project's record (read
// through its documents; such a database without one is a leftover).
bool holdsProjectRecord(CouchServer* server, const QString& stem) {
    std::unique_ptr<CouchQuery> all =
        server->databaseNamed(projectDatabaseName(stem))->getAllDocuments();
    all->setPrefetch(true);
    const auto rows = all->rowsAndWait();
    if (!rows)
        return true; // unknown: taken, as before
    for (const CouchQueryRow& row : *rows) {
        if (isProjectRecordOf(row.documentProperties().value_or(QJsonObject()), stem))
            return true;
    }
    return false;
}
} // namespace

QString AppDelegate::stemInUse(const QString& stem) {
    if (isReservedStem(stem))
        return QStringLiteral("The name “%1” is kept for the console's own records; please "
                              "choose another title.")
            .arg(stem);
    if (m_projectQuery) {
        for (const CouchModel* record : m_projectQuery->entries()) {
            if (record->stringValue(trevok::records::kServerDBNameField) == stem)
                return QStringLiteral("The project “%1” already uses the database name “%2”; "
                                      "please choose another title.")
                    .arg(trevok::shownName(record->stringValue(trevok::records::kTitleField)),
                         stem);
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
        if (status == 200 && resource == owners.first().first &&
            !holdsProjectRecord(m_server.get(), stem))
            return QStringLiteral("“%1” is left from a project that was not set up completely; "
                                  "remove it on the information tab, then create the project "
                                  "again.")
                .arg(name);
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
    if (!m_addProjectSheet.sheet || m_logedIn != 1)
        return;
    const auto warn = [this](const QString& text) {
        trevok::showWarning(m_addProjectSheet.projectSheetWarningField, text);
    };
    const QString title = m_addProjectSheet.tmpProjectNameField->text();
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

    ProjectRef made;
    const trevok::Provisioned created =
        createProjectAndWait(session(), title, serverID(), &made, &m_newProject);
    const QString dbName = projectDatabaseName(stem);
    m_pull = created.replication(dbName, m_trevokMasterDB->name());
    m_push = created.replication(m_trevokMasterDB->name(), dbName);
    closeProjectSheet();
    tellProvisioned(
        created,
        created.mended.isEmpty()
            ? QStringLiteral("The project “%1” was not created.").arg(trevok::shownName(title))
            : QStringLiteral("The project “%1” was not set up completely.")
                  .arg(trevok::shownName(title)));
}
