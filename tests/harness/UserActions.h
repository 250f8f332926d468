#pragma once

#include "app/AppDelegate.h"

#include <QString>

namespace trevok::test {

// Fills a freshly opened add-user sheet (the password typed twice) and
// confirms it, as the administrator does; true when the sheet closed.
bool addUser(AppDelegate& app, const QString& name, const QString& firstName,
             const QString& lastName, const QString& password);

} // namespace trevok::test
