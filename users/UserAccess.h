#pragma once

#include "store/DocumentRewrite.h"

#include <QString>
#include <QStringList>

#include <functional>

class CouchServer;
class QObject;

namespace trevok::users {

// What the user himself may write into his own database: the design document
// "security" with its view, its filter and the validation for the projects
// he is a member of. Written only where it differs, so running it again
// changes nothing; without widgets or settings.

// Waits; the failure in words in `error`. Gone: the user has no database.
Rewrite grantProjectsAndWait(CouchServer* server, const QString& userName,
                             const QStringList& projectIDs, QString* error);

// The same without waiting. `projectIDs` is asked at each read, so that a
// write made after a later change of memberships carries that change; a
// missing database is Gone.
void grantProjects(CouchServer* server, const QString& userName,
                   std::function<QStringList()> projectIDs, QObject* context,
                   std::function<void(Rewrite, const QString& error)> done);

} // namespace trevok::users
