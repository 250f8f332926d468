#include "app/AppDelegate.h"
#include "lists/ProjectQuery.h"
#include "projects/MembersListModel.h"
#include "projects/ProjectArrayController.h"
#include "records/ProjectNames.h"
#include "records/RecordFields.h"
#include "services/Interface.h"
#include "services/Readable.h"
#include "services/ShownText.h"
#include "store/CouchDocument.h"
#include "store/CouchModel.h"

#include <QAbstractItemView>
#include <QJsonArray>
#include <QLabel>
#include <QListView>
#include <QPushButton>
#include <QStringListModel>
#include <QTableView>

using trevok::outlet;

void AppDelegate::connectProjectOutlets() {
    const QWidget* root = m_mainContent;
    // Selected rows of every table of the window read as well as the others.
    m_mainContent->setPalette(trevok::withReadableSelection(m_mainContent->palette()));
    m_projectTableView = outlet<QTableView>(root, "projectTableView");
    m_membersTableView = outlet<QListView>(root, "membersTableView");
    m_projectStatusLabel = outlet<QLabel>(root, "projectStatusLabel");
    m_projectMembersFullNameField = outlet<QLabel>(root, "projectMembersFullNameField");
    // Names are people's own: however long or odd, they keep to two lines.
    trevok::fitLabel(m_projectMembersFullNameField, 2);
    trevok::fitLabel(m_projectStatusLabel, 2);
    m_membersArrayController = new MembersListModel(this);
    if (m_membersTableView) {
        m_membersTableView->setModel(m_membersArrayController);
        m_membersTableView->setItemDelegate(new MemberSyncDelegate(m_membersTableView));
        m_membersTableView->setEditTriggers(QAbstractItemView::NoEditTriggers);
        m_membersTableView->setSelectionMode(QAbstractItemView::SingleSelection);
        m_membersTableView->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    }
    const auto wire = [this, root](const char* name, void (AppDelegate::*action)()) {
        if (auto* button = outlet<QPushButton>(root, name))
            connect(button, &QPushButton::clicked, this, action);
    };
    wire("addProjectButton", &AppDelegate::activateProjectSheet);
    wire("listMembersButton", &AppDelegate::listProjectUsers);
    wire("addMemberButton", &AppDelegate::openUserPanel);
    wire("removeMemberButton", &AppDelegate::removeUserFromProject);
    wire("archiveProjectButton", &AppDelegate::archiveProject);
    wire("deleteProjectButton", &AppDelegate::deleteProject);
    wire("deleteProjectPermanentlyButton", &AppDelegate::deleteProjectPermanently);
}

void AppDelegate::setProjectListFilter(const QString& predicate) {
    m_projectListPredicate = predicate;
    if (!m_projectQuery)
        return;
    if (!m_projectTableController || m_projectTableController->parent() != m_projectQuery.get()) {
        // Made with the list it shows, and gone with it.
        m_projectTableController =
            new ProjectArrayController(m_projectQuery.get(), m_userDatabase, m_projectQuery.get());
        if (m_projectTableView)
            m_projectTableController->attachTo(m_projectTableView);
        connect(m_projectTableController, &ProjectArrayController::projectMembersFullNameChanged,
                this, &AppDelegate::followSelectedProject);
    }
    m_projectTableController->setFilterPredicate(predicate);
}

void AppDelegate::followSelectedProject() {
    const CouchModel* model =
        m_projectTableController ? m_projectTableController->selectedModel() : nullptr;
    if (!model || !model->document())
        return;
    // The master copy of the record, as the table has it. It lags behind a
    // membership change made here until the replication brings it: only a
    // newer revision of it (or another project) replaces what is shown.
    const QString projectID = model->document()->documentID();
    const QJsonObject record = model->storedProperties();
    const int generation = trevok::projects::revisionGeneration(record);
    if (projectID == m_membersProjectID && generation <= m_membersGeneration)
        return;
    QStringList members;
    for (const QJsonValue& member : record.value(trevok::records::kMembersField).toArray())
        members.append(member.toString());
    showMembers(projectID, record.value(trevok::records::kServerDBNameField).toString(), members,
                generation);
}

void AppDelegate::showMembers(const QString& projectID, const QString& stem,
                              const QStringList& members, int generation) {
    m_membersProjectID = projectID;
    m_membersGeneration = generation;
    if (stem != m_membersStem) {
        m_membersStem = stem;
        if (auto* list = qobject_cast<MembersListModel*>(m_membersArrayController))
            list->setProjectDatabase(stem.isEmpty() ? QString()
                                                    : trevok::projects::projectDatabaseName(stem));
        showProjectSync();
    }
    if (m_membersArrayController && m_membersArrayController->stringList() != members)
        m_membersArrayController->setStringList(members);
    showMembersLine();
}

void AppDelegate::showMembersLine() {
    if (!m_projectMembersFullNameField || !m_projectTableController || !m_membersArrayController)
        return;
    // The line below names the very members the list shows, by the names
    // the users list holds now.
    QStringList names;
    for (const QString& member : m_membersArrayController->stringList()) {
        const QVariantMap entry = m_projectTableController->memberFullName(member);
        const QString name = QStringList{entry.value(QStringLiteral("FirstName")).toString(),
                                         entry.value(QStringLiteral("LastName")).toString()}
                                 .join(QLatin1Char(' '))
                                 .trimmed();
        names.append(trevok::shownName(name.isEmpty() ? member : name));
    }
    trevok::setLabelText(m_projectMembersFullNameField,
                         names.isEmpty()
                             ? QStringLiteral("No members yet.")
                             : QStringLiteral("Members: ") + names.join(QStringLiteral(", ")));
}
