// How long a document takes through the web: one member's client writes 20
// documents, one after the other; for each, the time it reaches the master
// database, the project database, the other member's user database and the
// other member's client. Prints the median and worst of each hop and of the
// whole way, client to client.
#include "tests/e2e/E2eScenario.h"

#include <QApplication>
#include <QDateTime>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <cstdio>

using namespace trevok::test;

namespace {
constexpr int kDocuments = 20;
constexpr int kHopTimeoutMs = 20000;

qint64 now() {
    return QDateTime::currentMSecsSinceEpoch();
}

// The time the document shows up in the database, polled as fast as the server answers.
qint64 arrival(const QString& database, const QString& id) {
    const qint64 until = now() + kHopTimeoutMs;
    while (now() < until) {
        if (documentIn(database, id))
            return now();
        QTest::qWait(2);
    }
    return -1;
}

struct Figures {
    QList<qint64> values;
    void add(qint64 v) { values.append(v); }
    void print(const char* name) const {
        QList<qint64> sorted = values;
        std::sort(sorted.begin(), sorted.end());
        const qint64 median = sorted.isEmpty() ? -1 : sorted[sorted.size() / 2];
        const qint64 worst = sorted.isEmpty() ? -1 : sorted.last();
        std::printf("%-34s median %6lld ms   worst %6lld ms\n", name,
                    static_cast<long long>(median), static_cast<long long>(worst));
    }
};
} // namespace

int main(int argc, char* argv[]) {
    // Settings and data of its own: the run must not touch a person's.
    QTemporaryDir home;
    qputenv("XDG_CONFIG_HOME", (home.path() + QStringLiteral("/config")).toUtf8());
    qputenv("XDG_DATA_HOME", (home.path() + QStringLiteral("/data")).toUtf8());
    if (qEnvironmentVariableIsEmpty("TREVOK_RESOURCES"))
        qputenv("TREVOK_RESOURCES", TREVOK_BENCH_RESOURCES);
    if (qEnvironmentVariableIsEmpty("TREVOK_E2E_DIR"))
        qputenv("TREVOK_E2E_DIR", TREVOK_BENCH_E2E);
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    TestServer server;
    if (!server.start()) {
        std::fprintf(stderr, "the bundled server did not start\n");
        return 1;
    }
    E2eConsole web;
    if (!web.startAndLogIn() || !web.addUser(QStringLiteral("ann"), QStringLiteral("ann-pw")) ||
        !web.addUser(QStringLiteral("ben"), QStringLiteral("ben-pw"))) {
        std::fprintf(stderr, "the console could not set up the users\n");
        return 1;
    }
    const QString project = web.addProject(QStringLiteral("Bench Fair"));
    if (project.isEmpty() || !web.addMember(project, QStringLiteral("ann")) ||
        !web.addMember(project, QStringLiteral("ben"))) {
        std::fprintf(stderr, "the console could not set up the project\n");
        return 1;
    }
    const QString url = web.listenerUrl();
    SyncClient ann(url, QStringLiteral("ann"), QStringLiteral("ann-pw"));
    SyncClient ben(url, QStringLiteral("ben"), QStringLiteral("ben-pw"));
    if (!ann.isReady() || !ben.isReady()) {
        std::fprintf(stderr, "the sync clients did not start\n");
        return 1;
    }
    std::printf("listener %s (%s)\n", qPrintable(url),
                web.portCameFromDnsSd() ? "found through DNS-SD" : "port from the listener");

    Figures toMaster, toProject, toMember, toClient, whole;
    for (int i = 0; i < kDocuments; ++i) {
        const QString id = QStringLiteral("bench-%1").arg(i);
        const QJsonObject written = ann.put({{QStringLiteral("_id"), id},
                                             {QStringLiteral("projectID"), project},
                                             {QStringLiteral("n"), i}});
        const qint64 start = qint64(written.value(QStringLiteral("at")).toDouble());
        const qint64 master = arrival(QStringLiteral("trevok_master"), id);
        const qint64 projectDB = arrival(QStringLiteral("trevok_project_benchfair"), id);
        const qint64 member = arrival(QStringLiteral("trevok_user_db_ben"), id);
        const bool received = ben.waitFor(id, false, kHopTimeoutMs);
        const qint64 client = ben.arrivalOf(id);
        if (master < 0 || projectDB < 0 || member < 0 || !received || client <= 0) {
            std::fprintf(stderr, "document %d did not make its way\n", i);
            return 1;
        }
        // The user database holds the document once the client's push has
        // finished; the first hop is measured from the client's write.
        toMaster.add(master - start);
        toProject.add(projectDB - master);
        toMember.add(member - projectDB);
        toClient.add(client - member);
        whole.add(client - start);
    }
    std::printf("%d documents, one member's client to another's:\n", kDocuments);
    toMaster.print("client -> user db -> master");
    toProject.print("master -> project");
    toMember.print("project -> member's user db");
    toClient.print("member's user db -> member's client");
    whole.print("whole way, client to client");
    return 0;
}
