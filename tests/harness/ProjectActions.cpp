#include "tests/harness/ProjectActions.h"

#include "projects/ProjectArrayController.h"
#include "records/ProjectModel.h"
#include "services/NotificationCenter.h"
#include "store/CouchDocument.h"

#include <QItemSelectionModel>
#include <QLineEdit>
#include <QTableView>
#include <QTest>

namespace trevok::test {

QString createListedProject(AppDelegate& app, const QString& title, int timeoutMs) {
    app.activateProjectSheet();
    if (!app.projectSheet())
        return {};
    app.projectSheet()
        ->findChild<QLineEdit*>(QStringLiteral("tmpProjectNameField"))
        ->setText(title);
    app.createProject();
    if (app.projectSheet())
        return {};
    const QString id = app.newProject()->document()->documentID();
    return QTest::qWaitFor([&] { return projectRow(app, id) >= 0; }, timeoutMs) ? id : QString();
}

int projectRow(AppDelegate& app, const QString& projectID) {
    ProjectArrayController* list = app.projectTableController();
    for (int row = 0; list && row < list->rowCount(); ++row) {
        if (list->modelAtRow(row)->document()->documentID() == projectID)
            return row;
    }
    return -1;
}

bool selectProject(AppDelegate& app, const QString& projectID) {
    const int row = projectRow(app, projectID);
    if (row < 0)
        return false;
    ProjectArrayController* list = app.projectTableController();
    list->tableView()->selectionModel()->select(
        list->index(row, 0), QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    return true;
}

bool pickUser(AppDelegate& app, const QString& name, int timeoutMs) {
    app.openUserPanel();
    QTableView* table = app.userSelectionTableView();
    if (!table)
        return false;
    int row = -1;
    (void)QTest::qWaitFor(
        [&] {
            for (int r = 0; r < table->model()->rowCount(); ++r) {
                if (table->model()->index(r, 0).data().toString() == name)
                    row = r;
            }
            return row >= 0;
        },
        timeoutMs);
    if (row < 0)
        return false;
    table->selectRow(row);
    return true;
}

bool addMember(AppDelegate& app, const QString& name) {
    if (!pickUser(app, name))
        return false;
    trevok::NotificationCenter::defaultCenter().post(QStringLiteral("AddUserToProject"));
    return true;
}

} // namespace trevok::test
