#pragma once

#include "app/AppDelegate.h"

#include <QString>

namespace trevok::test {

// The administrator's actions on the projects tab, as the suites drive them.
// Each returns whether it could be done; the suites assert on that.

// Types the title into a freshly opened add-project sheet and confirms it;
// returns the new project's ID once the projects table lists it ("" when the
// sheet stayed open or the project never showed up).
QString createListedProject(AppDelegate& app, const QString& title, int timeoutMs = 20000);
// The project's row in the projects table, -1 when it is not listed.
int projectRow(AppDelegate& app, const QString& projectID);
bool selectProject(AppDelegate& app, const QString& projectID);
// Opens the user-picking panel and selects the user there.
bool pickUser(AppDelegate& app, const QString& name, int timeoutMs = 10000);
// Picks the user and adds them to the current project, as a double click does.
bool addMember(AppDelegate& app, const QString& name);

} // namespace trevok::test
