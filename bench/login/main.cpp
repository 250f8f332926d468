// A login over a whole web: the real console binary started on a server that
// holds U users and P projects of M members each, logged in through its test
// channel. It prints the time to the logged-in window, the time until the
// login's check of the web has ended, and the requests the server logged
// meanwhile; with --before, the same for a console built from another
// commit, the two taking turns on the same server and data in one run.
//
//   bench_login [--before BINARY] [--rounds N] [U/P/M]     (default 1000/100/10)
//
// The web is built the way the console builds it (its widget-free
// provisioning), so that a login finds nothing to mend. The console starts
// its server on port 5984: run it where that port is free, for example in a
// network namespace of its own:
//   unshare -n bash -c 'ip link set lo up; ./build/bin/bench_login --before B'

#include "projects/ProjectProvisioning.h"
#include "records/MasterModel.h"
#include "records/MemberProjects.h"
#include "records/ProjectNames.h"
#include "server/ServerProcess.h"
#include "services/WebSteps.h"
#include "store/CouchDatabase.h"
#include "store/CouchServer.h"
#include "tests/harness/ConsoleProcess.h"
#include "users/UserProvisioning.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <cstdio>
#include <vector>

using namespace trevok;
using trevok::test::ConsoleProcess;

namespace {

struct Size {
    int users = 1000;
    int projects = 100;
    int members = 10;
};

struct Login {
    double windowMs = -1;
    double checkedMs = -1;
    qint64 requests = -1;
    QString infoStatus;
};

QString resourcesNextTo(const QString& binary) {
    return QFileInfo(binary).absoluteDir().filePath(QStringLiteral("resources"));
}

// The request lines the server has logged, counted from a file offset on.
class RequestCount {
public:
    explicit RequestCount(const QString& dataFolder)
        : m_log(dataFolder + QStringLiteral("/server-core.log")) {
        m_start = QFileInfo(m_log).size();
    }
    qint64 sinceStart() const {
        const qint64 size = QFileInfo(m_log).size();
        // Rotated meanwhile: the rest of the older generation, then the new one.
        if (size < m_start)
            return linesIn(m_log + QStringLiteral(".1"), m_start) + linesIn(m_log, 0);
        return linesIn(m_log, m_start);
    }

private:
    static qint64 linesIn(const QString& path, qint64 from) {
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly) || !file.seek(from))
            return 0;
        qint64 count = 0;
        while (!file.atEnd())
            count += file.readLine().contains(" - - ") ? 1 : 0;
        return count;
    }
    QString m_log;
    qint64 m_start = 0;
};

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

Login logIn(const QString& binary, const QString& home) {
    Login result;
    ConsoleProcess console(binary, home, resourcesNextTo(binary), true);
    if (!console.up())
        return result;
    const RequestCount requests(test::consoleDataFolder(home));
    QElapsedTimer clock;
    clock.start();
    if (!console.run(QStringLiteral("login ") + test::kInitialAdminPassword))
        return result;
    result.windowMs = double(clock.nsecsElapsed()) / 1e6;
    // A console without the check has nothing to wait for ("repairing" absent).
    if (console.waitFor(
            [](const QJsonObject& s) { return !s.value(QStringLiteral("repairing")).toBool(); },
            120000))
        result.checkedMs = double(clock.nsecsElapsed()) / 1e6;
    result.infoStatus = console.state().value(QStringLiteral("infoStatus")).toString();
    // The server writes its log a moment after it answers.
    QThread::msleep(300);
    result.requests = requests.sinceStart();
    console.run(QStringLiteral("quit"));
    console.finished(20000);
    return result;
}

double median(std::vector<double> values) {
    if (values.empty())
        return -1;
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

struct Series {
    std::vector<double> window, checked, requests;
    void add(const Login& login) {
        window.push_back(login.windowMs);
        checked.push_back(login.checkedMs);
        requests.push_back(double(login.requests));
    }
};

void printRow(const char* label, const Series& s) {
    std::printf("  %-8s window %8.0f ms   checked %8.0f ms   requests %6.0f\n", label,
                median(s.window), median(s.checked), median(s.requests));
}

} // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QString before;
    int rounds = 3;
    Size size;
    const QStringList args = app.arguments().mid(1);
    for (int i = 0; i < args.size(); ++i) {
        if (args[i] == QLatin1String("--before") && i + 1 < args.size()) {
            before = args[++i];
        } else if (args[i] == QLatin1String("--rounds") && i + 1 < args.size()) {
            rounds = std::max(1, args[++i].toInt());
        } else {
            const QStringList parts = args[i].split(QLatin1Char('/'));
            if (parts.size() != 3) {
                std::fprintf(stderr, "usage: bench_login [--before BINARY] [--rounds N] [U/P/M]\n");
                return 2;
            }
            size = {parts[0].toInt(), parts[1].toInt(), parts[2].toInt()};
        }
    }
    const QString current = QStringLiteral(TREVOK_CONSOLE_BINARY);
    QTemporaryDir home;
    if (!home.isValid())
        return 1;

    std::printf("login over %d/%d/%d\n", size.users, size.projects, size.members);
    // The first login sets up the master database; the server stays.
    if (logIn(current, home.path()).windowMs < 0) {
        std::fprintf(stderr, "the console did not start or log in\n");
        return 1;
    }
    if (!buildWeb(size))
        return 1;
    // Once, so that the rounds start from a web already checked.
    const Login first = logIn(current, home.path());
    std::printf("  first login after the build: %s\n", qPrintable(first.infoStatus));

    Series now, then;
    for (int round = 0; round < rounds; ++round) {
        if (!before.isEmpty())
            then.add(logIn(before, home.path()));
        const Login login = logIn(current, home.path());
        now.add(login);
        std::printf("  round %d: %s\n", round + 1, qPrintable(login.infoStatus));
    }
    printRow("now", now);
    if (!before.isEmpty()) {
        printRow("before", then);
        std::printf("  now/before: window %.2fx, checked %.2fx, requests %.2fx\n",
                    median(now.window) / median(then.window),
                    median(now.checked) / median(then.checked),
                    median(now.requests) / median(then.requests));
        std::printf("  goal: checked within 1.5x before and under 3 s: %s\n",
                    median(now.checked) <= 1.5 * median(then.checked) && median(now.checked) < 3000
                        ? "met"
                        : "not met");
    }
    // The server outlives the console; this one goes with the folder.
    ServerProcess(resourcesNextTo(current) + QStringLiteral("/server-core"),
                  test::consoleDataFolder(home.path()))
        .kill();
    return 0;
}
