#include "tests/harness/CouchDb3.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonObject>
#include <QLibrary>
#include <QSet>
#include <QStandardPaths>
#include <QThread>
#include <QUuid>

#include <atomic>
#include <csignal>
#include <sys/prctl.h>
#include <unistd.h>

#ifndef TREVOK_SOURCE_DIR
#error "TREVOK_SOURCE_DIR must name the source tree"
#endif

namespace trevok::test {

namespace {

constexpr int kCommandTimeoutMs = 30000;
// A node's first start lays out its data and, on two busy cores, takes a while.
constexpr int kUpTimeoutMs = 120000;
constexpr int kJoinTimeoutMs = 120000;
constexpr int kStopTimeoutMs = 30000;
constexpr int kLogTailLines = 40;
const QString kNamespacePrefix = QStringLiteral("trevok-cdb3-");
const QString kInnerLink = QStringLiteral("cdb0");
const QStringList kSystemDatabases = {QStringLiteral("_users"), QStringLiteral("_replicator"),
                                      QStringLiteral("_global_changes")};

// Harnesses of one process (a suite with one node and a cluster at once) each
// get their own namespace and subnet.
std::atomic<int> instances{0};

struct Run {
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
};

QString tool(const QString& name) {
    QString path = QStandardPaths::findExecutable(name);
    if (path.isEmpty())
        path = QStandardPaths::findExecutable(name,
                                              {QStringLiteral("/usr/sbin"), QStringLiteral("/sbin"),
                                               QStringLiteral("/usr/bin"), QStringLiteral("/bin")});
    return path;
}

Run run(const QString& program, const QStringList& args, int timeoutMs = kCommandTimeoutMs) {
    QProcess p;
    p.start(tool(program), args);
    Run r;
    if (!p.waitForStarted(5000))
        return r;
    if (!p.waitForFinished(timeoutMs)) {
        p.kill();
        p.waitForFinished(2000);
        return r;
    }
    r.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    r.out = p.readAllStandardOutput();
    r.err = p.readAllStandardError();
    return r;
}

QString describe(const QString& program, const QStringList& args, const Run& r) {
    return QStringLiteral("%1 %2 failed (%3): %4")
        .arg(program, args.join(QLatin1Char(' ')), QString::number(r.exitCode),
             QString::fromLocal8Bit(r.err).trimmed());
}

// Empty on success, else what failed.
QString ip(const QStringList& args) {
    const Run r = run(QStringLiteral("ip"), args);
    return r.exitCode == 0 ? QString() : describe(QStringLiteral("ip"), args, r);
}

bool processAlive(pid_t pid) {
    return pid > 0 && ::kill(pid, 0) == 0;
}

QList<pid_t> namespacePids(const QString& ns) {
    QList<pid_t> pids;
    const Run r = run(QStringLiteral("ip"), {QStringLiteral("netns"), QStringLiteral("pids"), ns});
    for (const QByteArray& line : r.out.split('\n')) {
        const pid_t pid = pid_t(line.trimmed().toLongLong());
        if (pid > 0)
            pids.append(pid);
    }
    return pids;
}

// The port mapper that the first node starts outlives every node: whatever is
// left in the namespace goes before the namespace does.
void endNamespace(const QString& ns) {
    for (int signal : {SIGTERM, SIGKILL}) {
        const QList<pid_t> pids = namespacePids(ns);
        if (pids.isEmpty())
            break;
        for (pid_t pid : pids)
            ::kill(pid, signal);
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < 5000) {
            bool any = false;
            for (pid_t pid : pids)
                any = any || processAlive(pid);
            if (!any)
                break;
            QThread::msleep(50);
        }
    }
    run(QStringLiteral("ip"), {QStringLiteral("netns"), QStringLiteral("del"), ns});
}

// Namespaces of harnesses that died (their pid is gone) or of this very
// process from before (a reused pid): the next run must not trip over them.
void removeStaleNamespaces(const QString& ours) {
    const QStringList names =
        QDir(QStringLiteral("/run/netns")).entryList({kNamespacePrefix + QLatin1Char('*')});
    for (const QString& name : names) {
        const pid_t owner =
            pid_t(name.mid(kNamespacePrefix.size()).section(QLatin1Char('-'), 0, 0).toLongLong());
        if (name == ours || (owner > 0 && !processAlive(owner)))
            endNamespace(name);
    }
}

QString dotted(quint32 address) {
    return QStringLiteral("%1.%2.%3.%4")
        .arg(address >> 24)
        .arg((address >> 16) & 0xff)
        .arg((address >> 8) & 0xff)
        .arg(address & 0xff);
}

QString tail(const QString& file, int lines) {
    QFile f(file);
    if (!f.open(QIODevice::ReadOnly))
        return QStringLiteral("(no %1)").arg(QFileInfo(file).fileName());
    QList<QByteArray> all = f.readAll().split('\n');
    if (all.size() > lines)
        all = all.mid(all.size() - lines);
    return QString::fromUtf8(all.join('\n')).trimmed();
}

bool accepted(int status) {
    return status == 201 || status == 202;
}

QString randomHex() {
    return QUuid::createUuid().toString(QUuid::Id128);
}

} // namespace

QString CouchDb3::releaseFolder() {
    QString folder = qEnvironmentVariable("TREVOK_COUCHDB3_RELEASE");
    if (folder.isEmpty())
        folder = QStringLiteral(TREVOK_SOURCE_DIR "/../shared/couchdb-3.5.0");
    // A clone made away from the workplace's shared folder still finds it.
    if (qEnvironmentVariableIsEmpty("TREVOK_COUCHDB3_RELEASE") &&
        !QFileInfo(folder + QStringLiteral("/bin/couchdb")).isExecutable())
        folder = QStringLiteral("/work/shared/couchdb-3.5.0");
    folder = QDir::cleanPath(folder);
    return QFileInfo(folder + QStringLiteral("/bin/couchdb")).isExecutable() ? folder : QString();
}

QString CouchDb3::unavailableReason() {
    if (releaseFolder().isEmpty()) {
        const QString env = qEnvironmentVariable("TREVOK_COUCHDB3_RELEASE");
        return QStringLiteral("no CouchDB 3 release at %1 (TREVOK_COUCHDB3_RELEASE names another)")
            .arg(env.isEmpty()
                     ? QDir::cleanPath(QStringLiteral(TREVOK_SOURCE_DIR "/../shared/couchdb-3.5.0"))
                     : env);
    }
    if (geteuid() != 0)
        return QStringLiteral("needs root to run CouchDB 3 in a network namespace of its own");
    for (const char* name : {"ip", "curl", "cp"}) {
        if (tool(QString::fromLatin1(name)).isEmpty())
            return QStringLiteral("%1 is not installed").arg(QString::fromLatin1(name));
    }
    // CouchDB's collation is ICU's; the release links the Debian 12 one.
    QLibrary icu(QStringLiteral("icuuc"), 72);
    if (!icu.load())
        return QStringLiteral("libicu72 is not installed");
    return {};
}

bool CouchDb3::requiredHere() {
    const QString ci = qEnvironmentVariable("CI").trimmed().toLower();
    return !ci.isEmpty() && ci != QStringLiteral("0") && ci != QStringLiteral("false");
}

CouchDb3::CouchDb3(int nodes)
    : m_nodes(nodes == 3 ? 3 : 1)
    , m_instance(instances++) {
    m_processes.resize(size_t(m_nodes));
}

CouchDb3::~CouchDb3() {
    stop();
}

QString CouchDb3::nodeUrl(int k) const {
    return QStringLiteral("http://%1:%2").arg(m_innerAddress, QString::number(port(k)));
}

QString CouchDb3::nodeName(int k) {
    return QStringLiteral("n%1@127.0.0.1").arg(k);
}

QString CouchDb3::nodeDir(int k) const {
    return m_dir.path() + QStringLiteral("/n%1").arg(k);
}

HttpReply CouchDb3::request(const QByteArray& method, const QString& path,
                            const QByteArray& body) const {
    return nodeRequest(1, method, path, body);
}

HttpReply CouchDb3::nodeRequest(int k, const QByteArray& method, const QString& path,
                                const QByteArray& body) const {
    return httpRequest(method, nodeUrl(k) + path, body, adminName(), adminPassword());
}

QString CouchDb3::failure(int k, const QString& why) const {
    return QStringLiteral("%1\n--- node %2, couch.log ---\n%3\n--- node %2, output ---\n%4")
        .arg(why, QString::number(k),
             tail(nodeDir(k) + QStringLiteral("/couch.log"), kLogTailLines),
             tail(nodeDir(k) + QStringLiteral("/output.log"), kLogTailLines));
}

QString CouchDb3::setUpNetwork() {
    m_namespace = kNamespacePrefix + QStringLiteral("%1-%2").arg(getpid()).arg(m_instance);
    m_outerLink = QStringLiteral("tc3o%1s%2").arg(getpid()).arg(m_instance);
    m_outerAddress.clear();
    m_innerAddress.clear();
    removeStaleNamespaces(m_namespace);
    run(QStringLiteral("ip"), {QStringLiteral("link"), QStringLiteral("del"), m_outerLink});

    // A /30 of the benchmarking range (198.18.0.0/15), picked by pid so that
    // suites running at once differ, and passed over while another has it.
    const QString addresses = QString::fromLocal8Bit(
        run(QStringLiteral("ip"),
            {QStringLiteral("-4"), QStringLiteral("-o"), QStringLiteral("addr")})
            .out +
        run(QStringLiteral("ip"), {QStringLiteral("-4"), QStringLiteral("route")}).out);
    constexpr quint32 kBase = (198u << 24) | (18u << 16);
    constexpr quint32 kSubnets = 1u << 15;
    const quint32 first = (quint32(getpid()) + quint32(m_instance) * 7919u) % kSubnets;
    for (quint32 i = 0; i < kSubnets; ++i) {
        const quint32 network = kBase + ((first + i) % kSubnets) * 4;
        const QString prefix = dotted(network) + QStringLiteral("/30");
        if (addresses.contains(prefix) ||
            addresses.contains(dotted(network + 1) + QLatin1Char('/')) ||
            addresses.contains(dotted(network + 2) + QLatin1Char('/')))
            continue;
        m_outerAddress = dotted(network + 1);
        m_innerAddress = dotted(network + 2);
        break;
    }
    if (m_innerAddress.isEmpty())
        return QStringLiteral("no free /30 in 198.18.0.0/15");

    const QString ns = m_namespace;
    const QStringList steps[] = {
        {QStringLiteral("netns"), QStringLiteral("add"), ns},
        {QStringLiteral("link"), QStringLiteral("add"), m_outerLink, QStringLiteral("type"),
         QStringLiteral("veth"), QStringLiteral("peer"), QStringLiteral("name"), kInnerLink,
         QStringLiteral("netns"), ns},
        {QStringLiteral("addr"), QStringLiteral("add"), m_outerAddress + QStringLiteral("/30"),
         QStringLiteral("dev"), m_outerLink},
        {QStringLiteral("link"), QStringLiteral("set"), m_outerLink, QStringLiteral("up")},
        {QStringLiteral("-n"), ns, QStringLiteral("link"), QStringLiteral("set"),
         QStringLiteral("lo"), QStringLiteral("up")},
        {QStringLiteral("-n"), ns, QStringLiteral("addr"), QStringLiteral("add"),
         m_innerAddress + QStringLiteral("/30"), QStringLiteral("dev"), kInnerLink},
        {QStringLiteral("-n"), ns, QStringLiteral("link"), QStringLiteral("set"), kInnerLink,
         QStringLiteral("up")},
    };
    for (const QStringList& step : steps) {
        const QString failed = ip(step);
        if (!failed.isEmpty())
            return failed;
    }
    return {};
}

void CouchDb3::tearDownNetwork() {
    if (m_namespace.isEmpty())
        return;
    endNamespace(m_namespace);
    // Goes with the namespace's end; this only covers a namespace that could
    // not be made after the link was.
    run(QStringLiteral("ip"), {QStringLiteral("link"), QStringLiteral("del"), m_outerLink});
    m_namespace.clear();
}

QString CouchDb3::prepareNode(int k) {
    const QString dir = nodeDir(k);
    const QString release = dir + QStringLiteral("/couchdb");
    if (QFileInfo::exists(release + QStringLiteral("/etc/vm.args")))
        return {}; // kept from an earlier start of this harness, with its data
    QDir().mkpath(dir + QStringLiteral("/data"));
    // The shared release is read-only; the copy must take each node's settings.
    const QStringList copy = {QStringLiteral("-a"), releaseFolder(), release};
    const Run copied = run(QStringLiteral("cp"), copy, 120000);
    if (copied.exitCode != 0)
        return describe(QStringLiteral("cp"), copy, copied);
    run(QStringLiteral("chmod"), {QStringLiteral("-R"), QStringLiteral("u+w"), release});

    QFile args(release + QStringLiteral("/etc/vm.args"));
    if (!args.open(QIODevice::ReadOnly))
        return QStringLiteral("cannot read %1").arg(args.fileName());
    QByteArray vm = args.readAll();
    args.close();
    vm.replace("-name couchdb@127.0.0.1", QByteArray("-name " + nodeName(k).toUtf8()));
    // One cookie for the cluster; schedulers that sleep instead of spinning
    // keep three nodes from eating two cores.
    vm += "\n-setcookie " + m_cookie.toUtf8() + "\n+sbwt none\n+sbwtdcpu none\n+sbwtdio none\n";
    if (!args.open(QIODevice::WriteOnly | QIODevice::Truncate) || args.write(vm) != vm.size())
        return QStringLiteral("cannot write %1").arg(args.fileName());
    args.close();

    QFile ini(release + QStringLiteral("/etc/local.ini"));
    if (!ini.open(QIODevice::Append))
        return QStringLiteral("cannot write %1").arg(ini.fileName());
    const QString settings =
        QStringLiteral("\n[couchdb]\nsingle_node = %1\ndatabase_dir = %2/data\n"
                       "view_index_dir = %2/data\nuuid = %3\n"
                       "[chttpd]\nport = %4\nbind_address = 0.0.0.0\n"
                       "[chttpd_auth]\nsecret = %5\n"
                       "[cluster]\nn = %6\nq = 2\n"
                       "[log]\nwriter = file\nfile = %2/couch.log\nlevel = warning\n"
                       "[admins]\n%7 = %8\n")
            .arg(m_nodes == 1 ? QStringLiteral("true") : QStringLiteral("false"), dir, m_uuid,
                 QString::number(port(k)), m_secret, QString::number(m_nodes), adminName(),
                 adminPassword());
    if (ini.write(settings.toUtf8()) < 0)
        return QStringLiteral("cannot write %1").arg(ini.fileName());
    return {};
}

bool CouchDb3::launch(int k) {
    auto process = std::make_unique<QProcess>();
    // A suite that dies (a crash, a time-out) takes its nodes with it; the
    // port mapper left behind goes with the namespace at the next start.
    process->setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
    process->setWorkingDirectory(nodeDir(k) + QStringLiteral("/couchdb"));
    process->setProgram(tool(QStringLiteral("ip")));
    process->setArguments({QStringLiteral("netns"), QStringLiteral("exec"), m_namespace,
                           nodeDir(k) + QStringLiteral("/couchdb/bin/couchdb")});
    process->setProcessChannelMode(QProcess::MergedChannels);
    process->setStandardOutputFile(nodeDir(k) + QStringLiteral("/output.log"), QIODevice::Append);
    process->start();
    if (!process->waitForStarted(5000))
        return false;
    m_processes[size_t(k - 1)] = std::move(process);
    return true;
}

QString CouchDb3::waitUntilUp(int k, int timeoutMs) {
    QProcess* process = m_processes[size_t(k - 1)].get();
    if (!process)
        return failure(k, QStringLiteral("node %1 was not started").arg(k));
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < timeoutMs) {
        const HttpReply up = nodeRequest(k, "GET", QStringLiteral("/_up"));
        if (up.status == 200 &&
            up.json().object().value(QStringLiteral("status")).toString() == QStringLiteral("ok"))
            return {};
        if (process->waitForFinished(250))
            return failure(k, QStringLiteral("node %1 ended (exit code %2) before it answered")
                                  .arg(k)
                                  .arg(process->exitCode()));
    }
    return failure(k, QStringLiteral("node %1 did not answer GET /_up within %2 s at %3")
                          .arg(k)
                          .arg(timeoutMs / 1000)
                          .arg(nodeUrl(k)));
}

QString CouchDb3::joinCluster() {
    for (int k = 2; k <= m_nodes; ++k) {
        const HttpReply added = request(
            "PUT", QStringLiteral("/_node/_local/_nodes/") + nodeName(k), QByteArrayLiteral("{}"));
        // 409: joined at an earlier start of this harness.
        if (!accepted(added.status) && added.status != 409)
            return failure(1, QStringLiteral("adding %1 answered %2: %3")
                                  .arg(nodeName(k))
                                  .arg(added.status)
                                  .arg(QString::fromUtf8(added.body)));
    }
    QSet<QString> expected;
    for (int k = 1; k <= m_nodes; ++k)
        expected.insert(nodeName(k));
    QElapsedTimer clock;
    clock.start();
    QByteArray last;
    while (clock.elapsed() < kJoinTimeoutMs) {
        bool joined = true;
        for (int k = 1; k <= m_nodes && joined; ++k) {
            const HttpReply membership = nodeRequest(k, "GET", QStringLiteral("/_membership"));
            last = membership.body;
            const QJsonObject o = membership.json().object();
            for (const char* key : {"cluster_nodes", "all_nodes"}) {
                QSet<QString> listed;
                for (const QJsonValue& v : o.value(QLatin1String(key)).toArray())
                    listed.insert(v.toString());
                joined = joined && listed == expected;
            }
        }
        if (joined)
            return {};
        QThread::msleep(250);
    }
    return failure(1, QStringLiteral("the cluster did not join within %1 s; last /_membership: %2")
                          .arg(kJoinTimeoutMs / 1000)
                          .arg(QString::fromUtf8(last)));
}

QString CouchDb3::createSystemDatabases() {
    // A cluster waits for the administrator to make them. One node makes
    // _users and _replicator itself (single_node), but not _global_changes;
    // a PUT racing its own creation fails with a conflict.
    QStringList toMake = kSystemDatabases;
    if (m_nodes == 1)
        toMake = {QStringLiteral("_global_changes")};
    QElapsedTimer clock;
    clock.start();
    QString lastAnswer;
    while (true) {
        for (const QString& db : std::as_const(toMake)) {
            const HttpReply made = request("PUT", QLatin1Char('/') + db);
            if (accepted(made.status) || made.status == 412)
                toMake.removeOne(db);
            else
                lastAnswer = QStringLiteral("; PUT /%1 answered %2: %3")
                                 .arg(db)
                                 .arg(made.status)
                                 .arg(QString::fromUtf8(made.body));
        }
        QString missing;
        for (int k = 1; k <= m_nodes && missing.isEmpty(); ++k) {
            for (const QString& db : kSystemDatabases) {
                if (nodeRequest(k, "GET", QLatin1Char('/') + db).status != 200) {
                    missing = QStringLiteral("/%1 through node %2").arg(db).arg(k);
                    break;
                }
            }
        }
        if (missing.isEmpty() && toMake.isEmpty())
            return {};
        if (clock.elapsed() > kJoinTimeoutMs)
            return failure(1, QStringLiteral("no system database %1%2").arg(missing, lastAnswer));
        QThread::msleep(250);
    }
}

// Replication documents name the server by the address the console uses, and
// CouchDB follows them from inside the namespace.
QString CouchDb3::answersInsideNamespace() const {
    const QStringList args = {QStringLiteral("netns"),
                              QStringLiteral("exec"),
                              m_namespace,
                              tool(QStringLiteral("curl")),
                              QStringLiteral("-s"),
                              QStringLiteral("--noproxy"),
                              QStringLiteral("*"),
                              QStringLiteral("-o"),
                              QStringLiteral("/dev/null"),
                              QStringLiteral("-w"),
                              QStringLiteral("%{http_code}"),
                              url() + QStringLiteral("/_up")};
    const Run r = run(QStringLiteral("ip"), args);
    if (r.out.trimmed() == "200")
        return {};
    return failure(1, QStringLiteral("%1 does not answer inside the namespace: %2")
                          .arg(url(), describe(QStringLiteral("ip"), args, r)));
}

QString CouchDb3::start() {
    if (const QString reason = unavailableReason(); !reason.isEmpty())
        return reason;
    if (!m_dir.isValid())
        return QStringLiteral("no temporary folder: %1").arg(m_dir.errorString());
    stop();
    if (m_cookie.isEmpty()) {
        m_cookie = randomHex();
        m_uuid = randomHex();
        m_secret = randomHex();
    }
    if (const QString failed = setUpNetwork(); !failed.isEmpty()) {
        tearDownNetwork();
        return QStringLiteral("cannot make the network namespace: ") + failed;
    }
    for (int k = 1; k <= m_nodes; ++k) {
        if (const QString failed = prepareNode(k); !failed.isEmpty())
            return failed;
        if (!launch(k))
            return failure(k, QStringLiteral("cannot start node %1").arg(k));
    }
    for (int k = 1; k <= m_nodes; ++k) {
        if (const QString failed = waitUntilUp(k, kUpTimeoutMs); !failed.isEmpty())
            return failed;
    }
    if (m_nodes > 1) {
        if (const QString failed = joinCluster(); !failed.isEmpty())
            return failed;
    }
    if (const QString failed = createSystemDatabases(); !failed.isEmpty())
        return failed;
    return answersInsideNamespace();
}

bool CouchDb3::stopNode(int k) {
    if (k < 1 || k > m_nodes)
        return false;
    std::unique_ptr<QProcess>& process = m_processes[size_t(k - 1)];
    if (!process)
        return true;
    bool ended = true;
    if (process->state() != QProcess::NotRunning) {
        process->terminate();
        ended = process->waitForFinished(kStopTimeoutMs);
        if (!ended) {
            process->kill();
            process->waitForFinished(5000);
        }
    }
    process.reset();
    return ended;
}

qint64 CouchDb3::nodePid(int k) const {
    const QProcess* process = m_processes[size_t(k - 1)].get();
    return process && process->state() != QProcess::NotRunning ? process->processId() : -1;
}

bool CouchDb3::startNode(int k) {
    if (k < 1 || k > m_nodes || m_namespace.isEmpty())
        return false;
    const QProcess* running = m_processes[size_t(k - 1)].get();
    if (running && running->state() != QProcess::NotRunning)
        return true;
    return launch(k) && waitUntilUp(k, kUpTimeoutMs).isEmpty();
}

void CouchDb3::stop() {
    for (int k = 1; k <= m_nodes; ++k)
        stopNode(k);
    tearDownNetwork();
}

} // namespace trevok::test
