// The console's cost of following replication state, and the time from a
// replication's failure to its display. A private server gets the web of U
// users and P projects of M members, built by the console itself (its sheets
// and flows, as an administrator would); then a freshly logged-in console
// sits idle for a minute with the follower running, and a minute with the
// follower stopped, side by side in one run: the difference is what
// following costs. Then, K times, a member's database is removed by hand and
// the time until the console shows that member's replication in error is
// taken; the database is made again and the replication restarted.
//
//   bench_sync_health [--idle SECONDS] [--failures K] [U/P/M]
//
// Defaults: 60 s, K = 10, 300/30/10. The console reaches its server on
// 127.0.0.1:5984, so run it where nothing else holds that port (a network
// namespace of its own).

#include "app/AppDelegate.h"
#include "chrome/UserDefaults.h"
#include "lists/UserQuery.h"
#include "records/ProjectNames.h"
#include "records/UserNames.h"
#include "services/ReplicationHealth.h"
#include "store/StoreLog.h"
#include "tests/harness/ConsoleFixture.h"
#include "tests/harness/ProjectActions.h"
#include "tests/harness/TestServer.h"
#include "tests/harness/UserActions.h"
#include "users/UserArrayController.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonObject>
#include <QLabel>
#include <QTemporaryDir>
#include <QTest>

#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <memory>

using trevok::test::ConsoleFixture;
using trevok::test::TestServer;

namespace {

double cpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

QString loadAverage() {
    QFile f(QStringLiteral("/proc/loadavg"));
    return f.open(QIODevice::ReadOnly)
               ? QString::fromLatin1(f.readAll()).section(QLatin1Char(' '), 0, 2)
               : QString();
}

QString userName(int i) {
    return QStringLiteral("user%1").arg(i, 4, 10, QLatin1Char('0'));
}

bool addUser(AppDelegate& app, const QString& name) {
    return trevok::test::addUser(app, name, QStringLiteral("Bench"), name, QStringLiteral("pw"));
}

// Every document of `_replicator`, as the server holds it: what the bench
// reports when a failure does not show as expected.
QList<QJsonObject> replicationDocuments() {
    QList<QJsonObject> docs;
    const QJsonArray rows =
        TestServer::getJson(QStringLiteral("/_replicator/_all_docs?include_docs=true"))
            .object()
            .value(QStringLiteral("rows"))
            .toArray();
    for (const QJsonValue& row : rows)
        docs.append(row.toObject().value(QStringLiteral("doc")).toObject());
    return docs;
}

double median(QList<double> values) {
    if (values.isEmpty())
        return -1;
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// CPU seconds of this process during `seconds` of idling in the event loop.
double idleCpu(int seconds) {
    const double before = cpuSeconds();
    QTest::qWait(seconds * 1000);
    return cpuSeconds() - before;
}

} // namespace

int main(int argc, char* argv[]) {
    QTemporaryDir home;
    qputenv("XDG_CONFIG_HOME", (home.path() + QStringLiteral("/config")).toUtf8());
    qputenv("XDG_DATA_HOME", (home.path() + QStringLiteral("/data")).toUtf8());
    qputenv("TREVOK_TEST_HOME", home.path().toUtf8());
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    if (qEnvironmentVariableIsEmpty("TREVOK_RESOURCES"))
        qputenv("TREVOK_RESOURCES", TREVOK_BENCH_RESOURCES);
    QApplication application(argc, argv);
    // The figures, not every request.
    gRESTLogLevel = 0;
    gCouchLogLevel = 0;
    int users = 300, projects = 30, members = 10, idleSeconds = 60, failures = 10;
    const QStringList args = application.arguments().mid(1);
    for (int i = 0; i < args.size(); ++i) {
        if (args[i] == QStringLiteral("--idle") && i + 1 < args.size()) {
            idleSeconds = std::max(10, args[++i].toInt());
        } else if (args[i] == QStringLiteral("--failures") && i + 1 < args.size()) {
            failures = std::max(1, args[++i].toInt());
        } else {
            const QStringList parts = args[i].split(QLatin1Char('/'));
            if (parts.size() != 3 || parts[0].toInt() < parts[2].toInt() || parts[1].toInt() < 1) {
                std::fprintf(stderr, "usage: bench_sync_health [--idle SECONDS] "
                                     "[--failures K] [U/P/M]\n");
                return 2;
            }
            users = parts[0].toInt();
            projects = parts[1].toInt();
            members = parts[2].toInt();
        }
    }
    const int replications = users + 2 * projects + projects * members;
    std::printf("U=%d P=%d M=%d (%d replications); load average %s\n", users, projects, members,
                replications, qPrintable(loadAverage()));
    std::fflush(stdout);

    TestServer server;
    if (!server.start()) {
        std::fprintf(stderr, "the server did not start\n");
        return 1;
    }

    // The web, built through the console's own sheets and flows.
    QElapsedTimer clock;
    clock.start();
    QStringList stems;
    QList<QPair<QString, QString>> memberPairs; // project database, member's database
    {
        ConsoleFixture::clearUserDefaults();
        ConsoleFixture builder;
        builder.startUp();
        if (!builder.logIn()) {
            std::fprintf(stderr, "the console did not log in\n");
            return 1;
        }
        AppDelegate& app = builder.app();
        for (int i = 0; i < users; ++i) {
            if (!addUser(app, userName(i))) {
                std::fprintf(stderr, "user %d could not be added\n", i);
                return 1;
            }
        }
        const double usersSeconds = clock.elapsed() / 1000.0;
        // The picking table lists every user before members are picked.
        (void)QTest::qWaitFor([&] { return app.userTableController()->rowCount() >= users; },
                              120000);
        for (int p = 0; p < projects; ++p) {
            const QString title = QStringLiteral("Bench Project %1").arg(p);
            const QString id = trevok::test::createListedProject(app, title, 120000);
            if (id.isEmpty() || !trevok::test::selectProject(app, id)) {
                std::fprintf(stderr, "project %d could not be added\n", p);
                return 1;
            }
            const QString stem = trevok::projects::databaseStem(title);
            const auto defaults = pxUserDefaults();
            if (defaults.value(QStringLiteral("CurrentProjectID")).toString() != id ||
                defaults.value(QStringLiteral("CurrentProjectDBName")).toString() != stem)
                std::fprintf(
                    stderr, "  selected %s (%s), expected %s (%s)\n",
                    qPrintable(defaults.value(QStringLiteral("CurrentProjectID")).toString()),
                    qPrintable(defaults.value(QStringLiteral("CurrentProjectDBName")).toString()),
                    qPrintable(id), qPrintable(stem));
            stems.append(stem);
            for (int j = 0; j < members; ++j) {
                const QString name = userName((p * members + j) % users);
                // Each addition selects its project again, as an administrator
                // makes sure of the project before picking a user.
                if (!trevok::test::selectProject(app, id) || !trevok::test::addMember(app, name) ||
                    !builder.find<QLabel>("projectStatusLabel")
                         ->text()
                         .contains(QStringLiteral(" was added to "))) {
                    std::fprintf(stderr, "  %s\n",
                                 qPrintable(builder.find<QLabel>("projectStatusLabel")->text()));
                    std::fprintf(stderr, "member %s of project %d could not be added\n",
                                 qPrintable(name), p);
                    return 1;
                }
                memberPairs.append({trevok::projects::projectDatabaseName(stem),
                                    trevok::users::userDatabaseName(name)});
            }
            app.closeUserPicker();
        }
        std::printf("  web built by the console in %.0f s (users %.0f s)\n",
                    clock.elapsed() / 1000.0, usersSeconds);
        std::fflush(stdout);
    }

    // A console of a later day: nothing of the build in its memory.
    ConsoleFixture console;
    console.startUp();
    if (!console.logIn()) {
        std::fprintf(stderr, "the console did not log in again\n");
        return 1;
    }
    AppDelegate& app = console.app();
    ReplicationHealth* health = app.replicationHealth();
    (void)QTest::qWaitFor(
        [&] { return health->hasRead() && health->replicationCount() >= replications; }, 120000);
    // Settled: every replication running and caught up.
    const bool settled =
        QTest::qWaitFor([&] { return health->runningCount() >= replications; }, 300000);
    QTest::qWait(10000);
    std::printf("  followed: %d replications, %d running, %d in error%s\n",
                health->replicationCount(), health->runningCount(), health->errorCount(),
                settled ? "" : " (not all running after 5 minutes)");

    const ReplicationHealth::Counters start = health->counters();
    const double withFollower = idleCpu(idleSeconds);
    const ReplicationHealth::Counters end = health->counters();
    health->stop();
    QTest::qWait(2000);
    const double without = idleCpu(idleSeconds);
    health->start();
    const double perMinute = 60.0 / idleSeconds;
    std::printf("  idle console CPU per minute: %.3f s following, %.3f s not following; "
                "following costs %.3f s/min (goal < 1 s/min)\n",
                withFollower * perMinute, without * perMinute,
                (withFollower - without) * perMinute);
    std::printf("  per minute while idle: %.0f replication documents taken from the feed, "
                "%.0f task polls parsed, %.0f polls unchanged, %.0f display changes\n",
                double(end.documentsApplied - start.documentsApplied) * perMinute,
                double(end.pollsParsed - start.pollsParsed) * perMinute,
                double(end.pollsUnchanged - start.pollsUnchanged) * perMinute,
                double(end.announcements - start.announcements) * perMinute);
    std::fflush(stdout);

    // From failure to display.
    (void)QTest::qWaitFor([&] { return health->hasRead(); }, 60000);
    QList<double> latencies;
    int notShown = 0;
    for (int k = 0; k < failures && k < memberPairs.size(); ++k) {
        const QString project = memberPairs[(k * 7919) % memberPairs.size()].first;
        const QString userDb = memberPairs[(k * 7919) % memberPairs.size()].second;
        const auto inError = [&] {
            const auto state = health->stateOf(project, userDb);
            return state && state->kind == trevok::health::SyncKind::Error;
        };
        if (!health->stateOf(project, userDb)) {
            QStringList targets;
            for (const QJsonObject& doc : replicationDocuments()) {
                if (doc.value(QStringLiteral("source")).toString() == project)
                    targets.append(doc.value(QStringLiteral("target")).toString());
            }
            std::printf("  no replication from %s into %s to break; the server has it into %s\n",
                        qPrintable(project), qPrintable(userDb),
                        qPrintable(targets.join(QStringLiteral(", "))));
            continue;
        }
        // From the removal's request on: the server may report the failure
        // before it has answered the removal.
        QElapsedTimer shown;
        shown.start();
        if (TestServer::request("DELETE", QLatin1Char('/') + userDb).status != 200) {
            std::fprintf(stderr, "could not remove %s\n", qPrintable(userDb));
            continue;
        }
        if (QTest::qWaitFor(inError, 30000)) {
            latencies.append(shown.elapsed() / 1000.0);
        } else {
            ++notShown;
            // What the server says, beside what the console shows.
            QString onServer;
            for (const QJsonObject& doc : replicationDocuments()) {
                if (doc.value(QStringLiteral("source")).toString() == project &&
                    doc.value(QStringLiteral("target")).toString() == userDb)
                    onServer = doc.value(QStringLiteral("_replication_state")).toString();
            }
            const auto state = health->stateOf(project, userDb);
            std::printf("  %s into %s not shown in error: the console shows %s, the server's "
                        "document says \"%s\"\n",
                        qPrintable(project), qPrintable(userDb),
                        state ? qPrintable(state->text()) : "nothing", qPrintable(onServer));
        }
        TestServer::createDatabase(userDb);
        app.restartReplication(project, userDb, 0);
        app.restartReplication(userDb, QStringLiteral("trevok_master"), 1);
        (void)QTest::qWaitFor([&] { return !inError(); }, 30000);
    }
    std::sort(latencies.begin(), latencies.end());
    std::printf("  failure to display: median %.2f s, worst %.2f s over %lld failures%s "
                "(goal: median < 5 s)\n",
                median(latencies), latencies.isEmpty() ? -1.0 : latencies.last(),
                static_cast<long long>(latencies.size()),
                notShown ? qPrintable(QStringLiteral("; %1 not shown within 30 s").arg(notShown))
                         : "");
    std::printf("  load average at the end %s\n", qPrintable(loadAverage()));
    server.stop();
    return 0;
}
