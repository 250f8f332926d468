#include "app/AppDelegate.h"
#include "chrome/PXAppStoreWindow.h"
#include "lists/UserQuery.h"
#include "projects/MembershipHooks.h"
#include "projects/ProjectArrayController.h"
#include "projects/ProjectProvisioning.h"
#include "records/ProjectModel.h"
#include "records/ProjectNames.h"
#include "records/RecordFields.h"
#include "records/ReplicatorViews.h"
#include "records/UserModel.h"
#include "services/Alerts.h"
#include "services/NotificationCenter.h"
#include "services/Readable.h"
#include "services/ShownText.h"
#include "store/CouchDatabase.h"
#include "store/CouchDesignDocument.h"
#include "store/CouchDocument.h"
#include "store/CouchPersistentReplication.h"
#include "store/CouchQuery.h"
#include "store/CouchServer.h"
#include "store/DocumentRewrite.h"
#include "users/UserArrayController.h"
#include "users/UserSelectionTableView.h"

#include <QBoxLayout>
#include <QDialog>
#include <QFrame>
#include <QHeaderView>
#include <QJsonArray>
#include <QLabel>
#include <QLayout>
#include <QListView>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QStringListModel>
#include <QTableView>
#include <algorithm>

using namespace trevok::projects;

namespace {

QStringList stringList(const QJsonValue& value) {
    QStringList list;
    for (const QJsonValue& entry : value.toArray())
        list.append(entry.toString());
    return list;
}

struct CurrentProject {
    QString id;
    QString stem;
    bool isSet() const { return !id.isEmpty() && !stem.isEmpty(); }
};

CurrentProject currentProject(const ProjectArrayController* projects) {
    if (!projects)
        return {};
    return {projects->selectedProjectID(), projects->selectedProjectStem()};
}

const QString kNoProject = QStringLiteral("Select a project in the projects table first.");
// The step of a membership change that reads and writes the record.
const QString kMembersStep = QStringLiteral("Writing the project's members");

QString recordTitle(const CurrentProject& project, CouchServer* server) {
    return server->databaseNamed(projectDatabaseName(project.stem))
        ->documentWithID(project.id)
        ->cachedProperties()
        .value_or(QJsonObject())
        .value(trevok::records::kTitleField)
        .toString();
}

} // namespace

void AppDelegate::setProjectStatus(const QString& text) {
    if (m_projectStatusLabel)
        trevok::setLabelText(m_projectStatusLabel, text);
}

QString AppDelegate::projectStatusText() const {
    return trevok::fullLabelText(m_projectStatusLabel);
}

QString AppDelegate::pickedUserName() const {
    // The users list's one controller: its selection is shared by the users
    // table and the picking table.
    const UserModel* user =
        m_userTableController ? m_userTableController->firstSelectedObject() : nullptr;
    if (!user)
        return {};
    // The stored name, not a change not saved yet.
    return user->storedProperties().value(QStringLiteral("name")).toString();
}

QString AppDelegate::pickedMemberName() const {
    if (!m_membersTableView || !m_membersTableView->selectionModel())
        return {};
    QModelIndexList rows = m_membersTableView->selectionModel()->selectedRows();
    if (rows.isEmpty())
        return {};
    std::sort(rows.begin(), rows.end());
    return rows.first().data().toString();
}

void AppDelegate::listProjectUsers() {
    if (m_logedIn != 1)
        return;
    const CurrentProject project = currentProject(m_projectTableController);
    if (!project.isSet()) {
        setProjectStatus(kNoProject);
        return;
    }
    m_selectedProjectID = project.id;
    m_selectedProjectDBName = project.stem;
    CouchDocument* record =
        m_server->databaseNamed(projectDatabaseName(project.stem))->documentWithID(project.id);
    const StoredProperties stored = record->readPropertiesAndWait();
    if (!stored.found()) {
        const QString error = stored.status == StoredProperties::Missing
                                  ? QStringLiteral("not_found: deleted")
                                  : stored.error;
        setProjectStatus(
            QStringLiteral("The members of the current project could not be read: %1").arg(error));
        return;
    }
    m_selectedProjecName = stored.body.value(trevok::records::kTitleField).toString();
    showMembers(project.id, project.stem,
                stringList(stored.body.value(trevok::records::kMembersField)),
                trevok::projects::revisionGeneration(stored.body));
    setProjectStatus(
        QStringLiteral("Members of “%1”.").arg(trevok::shownName(m_selectedProjecName)));
}

void AppDelegate::openUserPanel() {
    if (m_logedIn != 1 || !m_query)
        return;
    if (!m_userPanel) {
        // Part of the projects tab, to the right of the members it serves, so
        // that it never covers the Members list or its buttons.
        QWidget* tab = m_mainContent->findChild<QWidget*>(QStringLiteral("projectsTab"));
        auto* columns = tab ? qobject_cast<QBoxLayout*>(tab->layout()) : nullptr;
        if (!columns)
            return;
        auto* panel = new QFrame(tab);
        panel->setObjectName(QStringLiteral("userPanel"));
        panel->setFrameShape(QFrame::StyledPanel);
        panel->setAccessibleName(QStringLiteral("Add member"));
        panel->setAccessibleDescription(QStringLiteral("userPanel"));
        auto* header = new QLabel(QStringLiteral("Add Member"), panel);
        header->setObjectName(QStringLiteral("userPanelHeader"));
        header->setStyleSheet(QStringLiteral("font-weight: 600;"));
        header->setTextFormat(Qt::PlainText);
        header->setAccessibleName(header->text());
        header->setAccessibleDescription(QStringLiteral("userPanelHeader"));
        auto* hint = new QLabel(QStringLiteral("Double-click a user, or select one and press "
                                               "Return, to add them to the current project."),
                                panel);
        hint->setObjectName(QStringLiteral("userPanelHint"));
        hint->setTextFormat(Qt::PlainText);
        hint->setAccessibleName(hint->text());
        hint->setAccessibleDescription(QStringLiteral("userPanelHint"));
        hint->setWordWrap(true);
        auto* table = new UserSelectionTableView(panel);
        table->setObjectName(QStringLiteral("userSelectionTableView"));
        table->setAccessibleName(QStringLiteral("Users"));
        table->setAccessibleDescription(QStringLiteral("userSelectionTableView"));
        table->setEditTriggers(QAbstractItemView::NoEditTriggers);
        table->verticalHeader()->hide();
        table->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
        // A double click in it, or Return, posts "AddUserToProject" by itself.
        userTableController()->showIn(table);
        // Picking needs the names only; the sync health is on the users tab.
        table->setColumnHidden(UserArrayController::LastSeenColumn, true);
        table->setColumnHidden(UserArrayController::SyncColumn, true);
        auto* done = new QPushButton(QStringLiteral("Done"), panel);
        done->setObjectName(QStringLiteral("userPanelDone"));
        done->setAccessibleName(QStringLiteral("Close the user list"));
        done->setAccessibleDescription(QStringLiteral("userPanelDone"));
        connect(done, &QPushButton::clicked, this, &AppDelegate::closeUserPicker);
        auto* buttons = new QHBoxLayout;
        buttons->addStretch(1);
        buttons->addWidget(done);
        auto* layout = new QVBoxLayout(panel);
        layout->addWidget(header);
        layout->addWidget(hint);
        layout->addWidget(table, 1);
        layout->addLayout(buttons);
        // The panel asks for the columns' width; the window makes room.
        const auto fitColumns = [table] {
            table->updateGeometry();
            table->fitColumns();
        };
        fitColumns();
        connect(table->model(), &QAbstractItemModel::rowsInserted, table, fitColumns);
        connect(table->model(), &QAbstractItemModel::dataChanged, table, fitColumns);
        connect(table->model(), &QAbstractItemModel::modelReset, table, fitColumns);
        panel->hide();
        columns->addWidget(panel, 1);
        m_userPanel = panel;
        m_userSelectionTableView = table;
    }
    m_userPanel->show();
    m_userPanel->raise();
    // The window widens by what the panel needs, so that neither its table
    // nor the projects and members beside it are squeezed.
    // The tab's own layout knows the panel; the window's learns of it only
    // at its next pass.
    QWidget* tab = m_userPanel->parentWidget();
    if (QLayout* layout = tab->layout())
        layout->activate();
    int missing = tab->sizeHint().width() - tab->width();
    const QScreen* screen = m_mainWindow->screen();
    // Within the screen: the window moves left where its right edge would
    // leave it.
    if (screen)
        missing = std::min(missing, screen->availableGeometry().width() -
                                        m_mainWindow->frameGeometry().width());
    if (missing > 0 && m_userPanelGrowth == 0) {
        m_mainWindow->resize(m_mainWindow->width() + missing, m_mainWindow->height());
        if (screen) {
            const int beyond =
                m_mainWindow->frameGeometry().right() - screen->availableGeometry().right();
            if (beyond > 0)
                m_mainWindow->move(m_mainWindow->x() - beyond, m_mainWindow->y());
        }
        m_userPanelGrowth = missing;
        m_userPanelGrownWidth = m_mainWindow->width();
    }
    // The keyboard goes to the list of users, ready for arrows and Return.
    m_userSelectionTableView->setFocus(Qt::OtherFocusReason);
}

void AppDelegate::closeUserPicker() {
    if (m_userPanel)
        m_userPanel->hide();
    if (m_userPanelGrowth > 0 && m_mainWindow->width() == m_userPanelGrownWidth)
        m_mainWindow->resize(m_mainWindow->width() - m_userPanelGrowth, m_mainWindow->height());
    m_userPanelGrowth = 0;
}

void AppDelegate::assignUserToProject(const trevok::Notification&) {
    if (m_logedIn != 1)
        return;
    const QString userName = pickedUserName();
    if (userName.isEmpty()) {
        setProjectStatus(QStringLiteral("Select a user in the user list first."));
        return;
    }
    const CurrentProject project = currentProject(m_projectTableController);
    if (!project.isSet()) {
        setProjectStatus(kNoProject);
        return;
    }
    trevok::projects::StoredMembers stored;
    bool changed = false;
    const trevok::Provisioned added = addMemberAndWait(session(), m_memberProjects, project.id,
                                                       project.stem, userName, &stored, &changed);
    const bool recordRead =
        changed || added.failures.isEmpty() || added.failures.first().step != kMembersStep;
    if (recordRead)
        showMembers(project.id, project.stem, stored.members, stored.generation);
    const QString title = recordTitle(project, m_server.get());
    if (!added.ok()) {
        const QString failed =
            QStringLiteral("%1 was not added to the project completely.").arg(userName);
        setProjectStatus(failed);
        tellProvisioned(added, failed);
        return;
    }
    if (!changed)
        setProjectStatus(QStringLiteral("%1 is already a member of “%2”.")
                             .arg(userName, trevok::shownName(title)));
    else
        setProjectStatus(
            QStringLiteral("%1 was added to “%2”.").arg(userName, trevok::shownName(title)));
}

void AppDelegate::removeUserFromProject() {
    if (m_logedIn != 1)
        return;
    const QString memberName = pickedMemberName();
    if (memberName.isEmpty()) {
        setProjectStatus(QStringLiteral("Select a member in the members list first."));
        return;
    }
    const CurrentProject project = currentProject(m_projectTableController);
    if (!project.isSet()) {
        setProjectStatus(kNoProject);
        return;
    }
    m_selectedMemberName = memberName;
    trevok::projects::StoredMembers stored;
    const trevok::Provisioned removed = removeMemberAndWait(session(), m_memberProjects, project.id,
                                                            project.stem, memberName, &stored);
    if (removed.failures.isEmpty() || removed.failures.first().step != kMembersStep)
        showMembers(project.id, project.stem, stored.members, stored.generation);
    if (!removed.ok()) {
        const QString failed =
            QStringLiteral("%1 was not removed from the project completely.").arg(memberName);
        setProjectStatus(failed);
        tellProvisioned(removed, failed);
        return;
    }
    setProjectStatus(QStringLiteral("%1 was removed from “%2”.")
                         .arg(memberName, trevok::shownName(recordTitle(project, m_server.get()))));
}
