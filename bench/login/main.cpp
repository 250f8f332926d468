// A login over a whole web: the real console binary started on a server that
// holds U users and P projects of M members each, logged in through its test
// channel. It prints the time to the logged-in window, the time a user added
// straight away takes, the time until the login's check of the web has
// ended, and the requests the server logged meanwhile; with --before, the
// same for a console built from another commit, the two taking turns on the
// same server and data in one run.
//
//   bench_login [--before BINARY] [--rounds N] [U/P/M]     (default 1000/100/10)
//
// The web is built the way the console builds it (its widget-free
// provisioning), so that a login finds nothing to mend. The console starts
// its server on port 5984: run it where that port is free, for example in a
// network namespace of its own:
//   unshare -n bash -c 'ip link set lo up; ./build/bin/bench_login --before B'
// BENCH_KEEP=1 keeps the folder (and the server's log) and prints where it
// is; BENCH_LOUD=1 passes the consoles' own output on.

#include "bench/common/WebBuilder.h"
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
#include <QMap>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <vector>

using namespace trevok;
using trevok::test::ConsoleProcess;

namespace {

using trevok::bench::buildWeb;
using trevok::bench::Size;

struct Login {
    double windowMs = -1;
    // A user added straight after the window came: what the administrator
    // meets while the login's check is still under way.
    double firstUserMs = -1;
    double checkedMs = -1;
    qint64 requests = -1;
    QMap<QString, qint64> kinds;
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
    // The requests since the start, by kind (method and path, names and
    // query left out).
    QMap<QString, qint64> sinceStart() const {
        QMap<QString, qint64> kinds;
        const qint64 size = QFileInfo(m_log).size();
        // Rotated meanwhile: the rest of the older generation, then the new one.
        if (size < m_start) {
            linesIn(m_log + QStringLiteral(".1"), m_start, kinds);
            linesIn(m_log, 0, kinds);
        } else {
            linesIn(m_log, m_start, kinds);
        }
        return kinds;
    }

private:
    static void linesIn(const QString& path, qint64 from, QMap<QString, qint64>& kinds) {
        static const QRegularExpression name(QStringLiteral("(trevok_[a-z]+_db_|trevok_project_|"
                                                            "org\\.couchdb\\.user:)[^/ ?]*"));
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly) || !file.seek(from))
            return;
        while (!file.atEnd()) {
            const QString line = QString::fromUtf8(file.readLine());
            // The server's own request lines (the package logs each once more).
            const qsizetype at = line.indexOf(QLatin1String(" - - "));
            if (at < 0 || line.contains(QLatin1String("[<0.")))
                continue;
            QStringList words = line.mid(at + 5).split(QLatin1Char(' '));
            if (words.size() < 2)
                continue;
            QString target = words[1].section(QLatin1Char('?'), 0, 0);
            target.replace(name, QStringLiteral("\\1…"));
            ++kinds[words[0] + QLatin1Char(' ') + target];
        }
    }
    QString m_log;
    qint64 m_start = 0;
};

Login logIn(const QString& binary, const QString& home) {
    Login result;
    ConsoleProcess console(binary, home, resourcesNextTo(binary),
                           qEnvironmentVariableIsEmpty("BENCH_LOUD"));
    if (!console.up())
        return result;
    const RequestCount requests(test::consoleDataFolder(home));
    QElapsedTimer clock;
    clock.start();
    if (!console.run(QStringLiteral("login ") + test::kInitialAdminPassword))
        return result;
    result.windowMs = double(clock.nsecsElapsed()) / 1e6;
    static int added = 0;
    QElapsedTimer adding;
    adding.start();
    if (console.run(QStringLiteral("createUser newcomer%1 New Comer pw").arg(++added)))
        result.firstUserMs = double(adding.nsecsElapsed()) / 1e6;
    // A console without the check has nothing to wait for ("repairing" absent).
    if (console.waitFor(
            [](const QJsonObject& s) { return !s.value(QStringLiteral("repairing")).toBool(); },
            120000))
        result.checkedMs = double(clock.nsecsElapsed()) / 1e6;
    result.infoStatus = console.state().value(QStringLiteral("infoStatus")).toString();
    // The server writes its log a moment after it answers.
    QThread::msleep(300);
    result.kinds = requests.sinceStart();
    result.requests = 0;
    for (const qint64 n : std::as_const(result.kinds))
        result.requests += n;
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
    std::vector<double> window, firstUser, checked, requests;
    void add(const Login& login) {
        window.push_back(login.windowMs);
        firstUser.push_back(login.firstUserMs);
        checked.push_back(login.checkedMs);
        requests.push_back(double(login.requests));
    }
};

void printKinds(const char* label, const Login& login) {
    QList<std::pair<qint64, QString>> kinds;
    for (auto it = login.kinds.begin(); it != login.kinds.end(); ++it)
        kinds.append({it.value(), it.key()});
    std::sort(kinds.begin(), kinds.end(), std::greater<>());
    std::printf("  %s, the most frequent requests:", label);
    for (qsizetype i = 0; i < std::min<qsizetype>(6, kinds.size()); ++i)
        std::printf(" %lld %s;", static_cast<long long>(kinds[i].first),
                    qPrintable(kinds[i].second));
    std::printf("\n");
}

void printRow(const char* label, const Series& s) {
    std::printf("  %-8s window %7.0f ms   a user added then %7.0f ms   checked %7.0f ms   "
                "requests %6.0f\n",
                label, median(s.window), median(s.firstUser), median(s.checked),
                median(s.requests));
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
    if (!qEnvironmentVariableIsEmpty("BENCH_KEEP")) {
        home.setAutoRemove(false);
        std::printf("home: %s\n", qPrintable(home.path()));
    }

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
        if (!before.isEmpty()) {
            const Login login = logIn(before, home.path());
            then.add(login);
            if (round == 0)
                printKinds("before", login);
        }
        const Login login = logIn(current, home.path());
        now.add(login);
        if (round == 0)
            printKinds("now", login);
        std::printf("  round %d: %s\n", round + 1, qPrintable(login.infoStatus));
    }
    printRow("now", now);
    if (!before.isEmpty()) {
        printRow("before", then);
        std::printf("  now/before: window %.2fx, a user added then %.2fx, checked %.2fx, "
                    "requests %.2fx\n",
                    median(now.window) / median(then.window),
                    median(now.firstUser) / median(then.firstUser),
                    median(now.checked) / median(then.checked),
                    median(now.requests) / median(then.requests));
        std::printf("  goal: the window within 1.5x before and under 3 s: %s\n",
                    median(now.window) <= 1.5 * median(then.window) && median(now.window) < 3000
                        ? "met"
                        : "not met");
    }
    // The server outlives the console; this one goes with the folder.
    ServerProcess(resourcesNextTo(current) + QStringLiteral("/server-core"),
                  test::consoleDataFolder(home.path()))
        .kill();
    return 0;
}
