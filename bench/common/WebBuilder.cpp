#include "bench/common/WebBuilder.h"

#include "projects/ProjectProvisioning.h"
#include "records/MasterModel.h"
#include "records/MemberProjects.h"
#include "records/ProjectNames.h"
#include "services/WebSteps.h"
#include "store/CouchDatabase.h"
#include "store/CouchServer.h"
#include "tests/harness/ConsoleProcess.h"
#include "users/UserProvisioning.h"

#include <QElapsedTimer>

#include <cstdio>

namespace trevok::bench {

bool buildWeb(const Size& size) {
    CouchServer server(QUrl(QStringLiteral("http://127.0.0.1:5984")));
    server.setCredential(QStringLiteral("admin"), test::kInitialAdminPassword);
    const StoreSession session{&server, server.databaseNamed(QStringLiteral("_users")),
                               server.databaseNamed(QStringLiteral("_replicator")),
                               server.databaseNamed(masterDatabaseName())};
    QElapsedTimer clock;
    clock.start();
    for (int u = 0; u < size.users; ++u) {
        const QString name = QStringLiteral("user%1").arg(u);
        const Provisioned made = users::createUserAndWait(
            session, {name, QStringLiteral("First"), QStringLiteral("Last"), QStringLiteral("pw")},
            {});
        if (!made.ok()) {
            std::fprintf(stderr, "user %s: %s\n", qPrintable(name), qPrintable(made.failureText()));
            return false;
        }
    }
    std::printf("  %d users in %.1f s\n", size.users, double(clock.restart()) / 1000.0);
    projects::MemberProjects memberships;
    for (int p = 0; p < size.projects; ++p) {
        projects::ProjectRef project;
        Provisioned made = projects::createProjectAndWait(
            session, QStringLiteral("Bench Project %1").arg(p), QString(), &project);
        for (int m = 0; made.ok() && m < size.members; ++m) {
            projects::StoredMembers stored;
            bool changed = false;
            made.add(projects::addMemberAndWait(
                session, memberships, project.projectID, project.stem,
                QStringLiteral("user%1").arg((p * size.members + m) % size.users), &stored,
                &changed));
        }
        if (!made.ok()) {
            std::fprintf(stderr, "project %d: %s\n", p, qPrintable(made.failureText()));
            return false;
        }
    }
    std::printf("  %d projects of %d members in %.1f s\n", size.projects, size.members,
                double(clock.elapsed()) / 1000.0);
    return true;
}

} // namespace trevok::bench
