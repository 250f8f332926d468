#include "app/AppDelegate.h"
#include "app/Interface.h"
#include "lists/ProjectQuery.h"
#include "projects/ProjectArrayController.h"

#include <QAbstractItemView>
#include <QLabel>
#include <QListView>
#include <QPushButton>
#include <QStringListModel>
#include <QTableView>

using trevok::outlet;

void AppDelegate::connectProjectOutlets() {
    const QWidget* root = m_mainContent;
    m_projectTableView = outlet<QTableView>(root, "projectTableView");
    m_membersTableView = outlet<QListView>(root, "membersTableView");
    m_projectStatusLabel = outlet<QLabel>(root, "projectStatusLabel");
    m_projectMembersFullNameField = outlet<QLabel>(root, "projectMembersFullNameField");
    m_membersArrayController = new QStringListModel(this);
    if (m_membersTableView) {
        m_membersTableView->setModel(m_membersArrayController);
        m_membersTableView->setEditTriggers(QAbstractItemView::NoEditTriggers);
        m_membersTableView->setSelectionMode(QAbstractItemView::SingleSelection);
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
                this, &AppDelegate::showProjectMembersFullName);
    }
    m_projectTableController->setFilterPredicate(predicate);
}

void AppDelegate::showProjectMembersFullName() {
    if (!m_projectMembersFullNameField || !m_projectTableController)
        return;
    QStringList names;
    for (const QVariantMap& entry : m_projectTableController->projectMembersFullName()) {
        const QString name = QStringList{entry.value(QStringLiteral("FirstName")).toString(),
                                         entry.value(QStringLiteral("LastName")).toString()}
                                 .join(QLatin1Char(' '))
                                 .trimmed();
        names.append(name.isEmpty() ? QStringLiteral("(name unknown)") : name);
    }
    m_projectMembersFullNameField->setText(names.isEmpty() ? QStringLiteral("No members yet.")
                                                           : QStringLiteral("Members: ") +
                                                                 names.join(QStringLiteral(", ")));
}
