// A backup and a restore of a whole web, the way the administrator makes
// them: the real console binary with its own server, a web of U users and P
// projects of M members built by the console's provisioning, N documents in
// the users' databases, then "Back Up Now" and "Restore from Backup" through
// its test channel. It prints their time and the backup's size, how late the
// console's event loop ran meanwhile (a 5 ms timer), and, for a second
// backup made while four other clients read as fast as the server answers
// them, the reads per second they got against the same load without a
// backup, measured twice right after it in the same run.
//
//   bench_backup [--documents N] [U/P/M]      (default 20000, 1000/100/10)
//
// The console starts its server on port 5984: run it where that port is
// free, for example in a network namespace of its own:
//   unshare -n bash -c 'ip link set lo up; ./build/bin/bench_backup'
// BENCH_LOUD=1 passes the console's own output on.

#include "bench/common/WebBuilder.h"
#include "server/ServerProcess.h"
#include "tests/harness/ConsoleProcess.h"
#include "tests/harness/TestServer.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <cstdio>

using namespace trevok;
using trevok::test::ConsoleProcess;
using trevok::test::TestServer;

namespace {

constexpr int kWaitMs = 30 * 60 * 1000;

// Other clients: four at once, each reading one document after the other
// on a connection kept alive, until its standard input closes; then it
// prints how many reads were answered and in how many milliseconds.
const char* kLoadScript = R"(
const http = require('http');
const agent = new http.Agent({ keepAlive: true, maxSockets: 4 });
const auth = 'Basic ' + Buffer.from('admin:trevok').toString('base64');
const users = Number(process.argv[1]);
let reads = 0, failed = 0, running = true;
const start = Date.now();
function one(i) {
  if (!running) return Promise.resolve();
  const u = (i * 7919) % users;
  return new Promise((resolve) => {
    const req = http.get({ host: '127.0.0.1', port: 5984, agent, headers: { Authorization: auth },
      path: '/trevok_user_db_user' + u + '/note-' + u + '-0' }, (res) => {
      res.resume();
      res.on('end', () => { if (res.statusCode === 200) reads++; else failed++; resolve(); });
    });
    req.on('error', () => { failed++; resolve(); });
  }).then(() => one(i + 4));
}
const loops = [0, 1, 2, 3].map(one);
process.stdin.on('data', () => {});
process.stdin.on('end', () => {
  running = false;
  Promise.all(loops).then(() => { console.log(JSON.stringify({ reads, failed, ms: Date.now() - start })); process.exit(0); });
});
)";

class Load {
public:
    explicit Load(int users) {
        m_process.start(
            QStringLiteral("node"),
            {QStringLiteral("-e"), QString::fromLatin1(kLoadScript), QString::number(users)});
        m_process.waitForStarted();
    }
    // Requests per second while it ran.
    double stop() {
        m_process.closeWriteChannel();
        m_process.waitForFinished(30000);
        const QJsonObject o = QJsonDocument::fromJson(m_process.readAllStandardOutput()).object();
        const double ms = o.value(QStringLiteral("ms")).toDouble();
        return ms > 0 ? o.value(QStringLiteral("reads")).toDouble() * 1000.0 / ms : 0;
    }

private:
    QProcess m_process;
};

double loadAlone(int users, qint64 ms) {
    Load load(users);
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < ms)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    return load.stop();
}

bool writeDocuments(int users, int documents) {
    const int perUser = std::max(1, documents / users);
    for (int u = 0; u < users; ++u) {
        QJsonArray docs;
        for (int d = 0; d < perUser; ++d)
            docs.append(
                QJsonObject{{QStringLiteral("_id"), QStringLiteral("note-%1-%2").arg(u).arg(d)},
                            {QStringLiteral("type"), QStringLiteral("Note")},
                            {QStringLiteral("text"), QString(200, QLatin1Char('x'))}});
        const auto reply =
            TestServer::request("POST", QStringLiteral("/trevok_user_db_user%1/_bulk_docs").arg(u),
                                QJsonDocument(QJsonObject{{QStringLiteral("docs"), docs}})
                                    .toJson(QJsonDocument::Compact),
                                QStringLiteral("admin"), test::kInitialAdminPassword);
        if (reply.status != 201) {
            std::fprintf(stderr, "writing into user%d: %d %s\n", u, reply.status,
                         reply.body.constData());
            return false;
        }
    }
    return true;
}

struct Run {
    double ms = -1;
    QJsonObject latency;
    QString status;
};

// Starts the command, waits until the backup or restore has ended.
Run timed(ConsoleProcess& console, const QString& command) {
    Run run;
    console.run(QStringLiteral("latency start"));
    QElapsedTimer clock;
    clock.start();
    if (!console.run(command))
        return run;
    console.waitFor(
        [](const QJsonObject& s) { return !s.value(QStringLiteral("backupRunning")).toBool(); },
        kWaitMs);
    run.ms = double(clock.elapsed());
    run.latency = console.command(QStringLiteral("latency stop"));
    run.status = console.state().value(QStringLiteral("backupStatus")).toString();
    return run;
}

void printRun(const char* what, const Run& run) {
    std::printf(
        "  %-8s %7.1f s   event loop late p50 %.1f ms, p99 %.1f ms, max %.1f ms (%lld samples)\n",
        what, run.ms / 1000.0, run.latency.value(QStringLiteral("p50")).toDouble(),
        run.latency.value(QStringLiteral("p99")).toDouble(),
        run.latency.value(QStringLiteral("max")).toDouble(),
        qint64(run.latency.value(QStringLiteral("samples")).toInteger()));
    std::printf("           %s\n", qPrintable(run.status));
}

} // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    bench::Size size;
    int documents = 20000;
    const QStringList args = app.arguments().mid(1);
    for (int i = 0; i < args.size(); ++i) {
        if (args[i] == QLatin1String("--documents") && i + 1 < args.size()) {
            documents = args[++i].toInt();
            continue;
        }
        const QStringList parts = args[i].split(QLatin1Char('/'));
        if (parts.size() == 3) {
            size = {parts[0].toInt(), parts[1].toInt(), parts[2].toInt()};
            continue;
        }
        std::fprintf(stderr, "usage: bench_backup [--documents N] [U/P/M]\n");
        return 2;
    }

    QTemporaryDir home;
    QTemporaryDir backups;
    const QString binary = QStringLiteral(TREVOK_CONSOLE_BINARY);
    const QString resources = QFileInfo(binary).absoluteDir().filePath(QStringLiteral("resources"));
    std::printf("bench_backup %d/%d/%d, %d documents\n", size.users, size.projects, size.members,
                documents);
    int code = 1;
    {
        ConsoleProcess console(binary, home.path(), resources,
                               qEnvironmentVariableIsEmpty("BENCH_LOUD"));
        // The first login sets up the master database the web's projects need.
        if (!console.upAndLoggedIn() || !bench::buildWeb(size) ||
            !writeDocuments(size.users, documents) ||
            !console.waitFor(
                [](const QJsonObject& s) { return !s.value(QStringLiteral("repairing")).toBool(); },
                kWaitMs)) {
            std::fprintf(stderr, "the web could not be built\n");
        } else {
            const Run backup = timed(console, QStringLiteral("backupNow ") + backups.path());
            Load during(size.users);
            const Run loaded = timed(console, QStringLiteral("backupNow ") + backups.path());
            const double duringRps = during.stop();
            const qint64 window = qint64(std::max(5000.0, loaded.ms));
            const double alone =
                (loadAlone(size.users, window) + loadAlone(size.users, window)) / 2;
            const QStringList files =
                QDir(backups.path())
                    .entryList({QStringLiteral("trevok-backup-*.tbk")}, QDir::Files, QDir::Name);
            const QString file = files.isEmpty() ? QString() : backups.filePath(files.first());
            const Run restore = timed(console, QStringLiteral("restoreBackup ") + file);

            printRun("backup", backup);
            printRun("loaded", loaded);
            std::printf("           %.1f MB\n", double(QFileInfo(file).size()) / 1e6);
            printRun("restore", restore);
            std::printf("  other clients: %.0f reads/s during the loaded backup, %.0f without "
                        "(mean of two runs after it): %.2f\n",
                        duringRps, alone, alone > 0 ? duringRps / alone : 0.0);
            code = backup.status.startsWith(QLatin1String("Backed up")) &&
                           loaded.status.startsWith(QLatin1String("Backed up")) &&
                           restore.status.startsWith(QLatin1String("Restored"))
                       ? 0
                       : 1;
        }
        console.run(QStringLiteral("quit"));
        console.finished(30000);
    }
    trevok::ServerProcess(resources + QStringLiteral("/server-core"),
                          test::consoleDataFolder(home.path()))
        .kill();
    return code;
}
