// The web of replications at growing sizes. For each size U/P/M (users,
// projects, members per project) and each server folder given, a private
// server is started on its own data folder and the web is built with the
// console's own documents and requests (the store layer, the names and
// function texts of users/ and projects/); then it prints build times, the
// server's memory, open files and idle CPU, end-to-end delivery (one writer
// and ten at once), a quiet project's next document after 2,000 documents of
// another project, the server's CPU per document, a burst of one document
// per user, and the floor (a plain write and its read-back) measured in the
// same run, every time also as a multiple of the floor.
//
//   bench_scale [--port N] [--server-core DIR]... [--before-core DIR]...
//               [--couchdb3 NODES[,section/key=value]...]... U/P/M...
//
// --couchdb3 1 or 3 starts a CouchDB 3 node or a cluster of three in a
// network namespace of its own (the release the tests use) with the given
// settings on every node, and builds the web in the form the console writes
// there: replication documents with URLs and credentials.
//
// A folder given with --before-core gets the web as it was before each
// user database carried its access rule (no validation, the filter without
// its guard for the console's records), so that a server from before that
// change can be measured beside the current one in the same run.
//
// Arrivals are seen the way a sync client sees them: a long-poll `_changes`
// request on each member's database, always open.

#include "records/MemberProjects.h"
#include "records/ProjectModel.h"
#include "records/ProjectNames.h"
#include "records/UserModel.h"
#include "records/UserNames.h"
#include "store/CouchDatabase.h"
#include "store/CouchDesignDocument.h"
#include "store/CouchDocument.h"
#include "store/CouchModel.h"
#include "store/CouchPersistentReplication.h"
#include "store/CouchResource.h"
#include "store/CouchServer.h"
#include "store/ReplicationEndpoint.h"
#include "tests/harness/CouchDb3.h"
#include "tests/harness/TestServer.h"
#include "users/UserAccess.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSet>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QUuid>

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>

using trevok::test::TestServer;
using namespace trevok::projects;

namespace {

constexpr int kSingleSamples = 20;
// The user-to-master filter as it was written before the access rule.
const QString kFilterBefore = QStringLiteral(
    "function(doc, req) {if (doc._id.indexOf('_design/') === 0) { return false; }{if "
    "(doc._deleted) { return true; }};{if (doc.type == 'UserInfoDoc') { return false; } else { "
    "return true; }}}");
constexpr int kWriters = 10;
constexpr int kConcurrentRounds = 4;
constexpr int kNoisyDocuments = 2000;
constexpr int kQuietSamples = 5;
constexpr int kFloorSamples = 30;
constexpr int kDeliveryTimeoutMs = 120000;
constexpr int kLostBeforeGivingUp = 3;

qint64 nowMs() {
    return QDateTime::currentMSecsSinceEpoch();
}

// The server a web is built on: the bundled one the harness starts, or a
// CouchDB 3 node or cluster, reached at its first node as the console is.
struct Target {
    QString host = QStringLiteral("127.0.0.1");
    quint16 port = 0;
    QString admin = QStringLiteral("admin");
    QString password;
    bool clustered = false;
    QString url() const { return QStringLiteral("http://%1:%2").arg(host).arg(port); }
};
Target g_target;

trevok::test::HttpReply request(const QByteArray& method, const QString& path,
                                const QByteArray& body = {}) {
    return trevok::test::httpRequest(method, g_target.url() + path, body, g_target.admin,
                                     g_target.password);
}

QByteArray authorization() {
    return "Basic " + (g_target.admin + QLatin1Char(':') + g_target.password).toUtf8().toBase64();
}

// One HTTP/1.1 request on a connection of its own, answered asynchronously.
// The server may answer a long poll in chunks.
class RawRequest : public QObject {
public:
    using Done = std::function<void(int status, const QByteArray& body)>;
    RawRequest(const QByteArray& method, const QByteArray& path, const QByteArray& body, Done done)
        : m_done(std::move(done)) {
        connect(&m_socket, &QTcpSocket::connected, this, [this, method, path, body] {
            QByteArray head = method + ' ' + path +
                              " HTTP/1.1\r\nHost: " + g_target.host.toLatin1() + "\r\n" +
                              "Authorization: " + authorization() +
                              "\r\nAccept: application/json\r\nConnection: close\r\n";
            if (!body.isNull())
                head += "Content-Type: application/json\r\nContent-Length: " +
                        QByteArray::number(body.size()) + "\r\n";
            m_socket.write(head + "\r\n" + body);
        });
        connect(&m_socket, &QTcpSocket::readyRead, this, [this] { m_in += m_socket.readAll(); });
        connect(&m_socket, &QTcpSocket::disconnected, this, &RawRequest::finish);
        connect(&m_socket, &QTcpSocket::errorOccurred, this,
                [this](QAbstractSocket::SocketError e) {
                    if (e != QAbstractSocket::RemoteHostClosedError)
                        finish();
                });
        m_socket.connectToHost(g_target.host, g_target.port);
    }

private:
    void finish() {
        if (m_finished)
            return;
        m_finished = true;
        m_in += m_socket.readAll();
        const int headEnd = m_in.indexOf("\r\n\r\n");
        int status = 0;
        QByteArray body;
        if (headEnd > 0) {
            const QByteArray head = m_in.left(headEnd);
            status = head.mid(9, 3).toInt();
            body = m_in.mid(headEnd + 4);
            if (head.toLower().contains("transfer-encoding: chunked")) {
                QByteArray joined;
                int at = 0;
                while (at < body.size()) {
                    const int eol = body.indexOf("\r\n", at);
                    if (eol < 0)
                        break;
                    const int size = body.mid(at, eol - at).toInt(nullptr, 16);
                    if (size == 0)
                        break;
                    joined += body.mid(eol + 2, size);
                    at = eol + 2 + size + 2;
                }
                body = joined;
            }
        }
        Done done = std::move(m_done);
        deleteLater();
        if (done)
            done(status, body);
    }

    QTcpSocket m_socket;
    QByteArray m_in;
    Done m_done;
    bool m_finished = false;
};

void send(const QByteArray& method, const QString& path, const QByteArray& body,
          RawRequest::Done done) {
    new RawRequest(method, path.toUtf8(), body, std::move(done));
}

// A member's database followed through long polls, as the member's client
// follows it: the time each document ID was first seen.
class Watcher {
public:
    explicit Watcher(const QString& database)
        : m_path(QLatin1Char('/') + trevok::test::segment(database)) {}

    void start(const QByteArray& since) {
        m_since = since;
        poll();
    }
    // The next server on the same port must not meet this web's clients: a
    // thousand of them polling databases it does not have, twice a second,
    // would be measured as its own slowness.
    void stop() { m_stopped = true; }
    qint64 seen(const QString& id) const { return m_seen.value(id, -1); }

private:
    void poll() {
        if (m_stopped)
            return;
        send("GET",
             m_path + QStringLiteral("/_changes?feed=longpoll&timeout=50000&since=") +
                 QString::fromLatin1(m_since),
             QByteArray(), [this](int status, const QByteArray& body) {
                 const qint64 at = nowMs();
                 const QJsonObject reply = QJsonDocument::fromJson(body).object();
                 if (status == 200) {
                     for (const QJsonValue& row :
                          reply.value(QStringLiteral("results")).toArray()) {
                         const QString id = row.toObject().value(QStringLiteral("id")).toString();
                         if (!m_seen.contains(id))
                             m_seen.insert(id, at);
                     }
                     m_since = QJsonDocument(QJsonArray{reply.value(QStringLiteral("last_seq"))})
                                   .toJson(QJsonDocument::Compact)
                                   .mid(1)
                                   .chopped(1);
                 }
                 if (!m_stopped)
                     QTimer::singleShot(status == 200 ? 0 : 500, [this] { poll(); });
             });
    }

    QString m_path;
    QByteArray m_since;
    QHash<QString, qint64> m_seen;
    bool m_stopped = false;
};

struct Stats {
    QList<double> values;
    void add(double v) { values.append(v); }
    double at(double q) const {
        if (values.isEmpty())
            return -1;
        QList<double> s = values;
        std::sort(s.begin(), s.end());
        return s[std::min<qsizetype>(s.size() - 1, qsizetype(q * double(s.size())))];
    }
    double median() const { return at(0.5); }
    double p95() const { return at(0.95); }
    double worst() const { return at(1.0); }
};

// The server's processes: each root and everything it started (the bundled
// server's process; a CouchDB node's VM and its JavaScript sandboxes).
struct ProcessTree {
    QList<qint64> roots;

    static QList<QByteArray> statFields(qint64 pid) {
        QFile f(QStringLiteral("/proc/%1/stat").arg(pid));
        if (!f.open(QIODevice::ReadOnly))
            return {};
        const QByteArray all = f.readAll();
        // After the name, which may hold spaces: state, parent, ...
        return all.mid(all.lastIndexOf(')') + 2).split(' ');
    }
    QList<qint64> pids() const {
        QHash<qint64, QList<qint64>> children;
        const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs);
        for (const QString& entry : entries) {
            bool number = false;
            const qint64 pid = entry.toLongLong(&number);
            if (number)
                children[statFields(pid).value(1).toLongLong()].append(pid);
        }
        QList<qint64> all;
        QList<qint64> queue = roots;
        while (!queue.isEmpty()) {
            const qint64 pid = queue.takeFirst();
            all.append(pid);
            queue += children.value(pid);
        }
        return all;
    }
    // Summed over the processes (a peak is then the sum of their peaks).
    double statusMiB(const char* key) const {
        double sum = 0;
        for (qint64 pid : pids()) {
            QFile f(QStringLiteral("/proc/%1/status").arg(pid));
            if (!f.open(QIODevice::ReadOnly))
                continue;
            for (const QByteArray& line : f.readAll().split('\n'))
                if (line.startsWith(key))
                    sum += line.mid(int(qstrlen(key))).trimmed().split(' ').value(0).toDouble() /
                           1024.0;
        }
        return sum;
    }
    // User and system CPU time so far, in milliseconds, with that of the
    // children that have ended (counted once, in their parent).
    double cpuMs() const {
        double ticks = 0;
        for (qint64 pid : pids()) {
            const QList<QByteArray> fields = statFields(pid);
            for (int i = 11; i <= 14; ++i)
                ticks += fields.value(i).toDouble();
        }
        return ticks * 1000.0 / double(sysconf(_SC_CLK_TCK));
    }
    int openFiles() const {
        int sum = 0;
        for (qint64 pid : pids())
            sum += std::max(0, int(QDir(QStringLiteral("/proc/%1/fd").arg(pid)).count()) - 2);
        return sum;
    }
};

// The bundled server's process, from the last start line of its log.
qint64 bundledServerPid(const QString& log) {
    QFile f(log);
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    static const QRegularExpression started(QStringLiteral("\\[(\\d+)\\] server-core has started"));
    qint64 last = -1;
    auto it = started.globalMatch(QString::fromUtf8(f.readAll()));
    while (it.hasNext())
        last = it.next().captured(1).toLongLong();
    return last;
}

QString loadAverage() {
    QFile f(QStringLiteral("/proc/loadavg"));
    return f.open(QIODevice::ReadOnly)
               ? QString::fromLatin1(f.readAll()).section(QLatin1Char(' '), 0, 2)
               : QString();
}

bool waitFor(const std::function<bool()>& done, int timeoutMs) {
    const qint64 until = nowMs() + timeoutMs;
    while (nowMs() < until) {
        if (done())
            return true;
        QTest::qWait(5);
    }
    return done();
}

QByteArray updateSeq(const QString& database) {
    const QJsonValue seq = request("GET", QLatin1Char('/') + trevok::test::segment(database))
                               .json()
                               .object()
                               .value(QStringLiteral("update_seq"));
    return QJsonDocument(QJsonArray{seq}).toJson(QJsonDocument::Compact).mid(1).chopped(1);
}

struct Project {
    QString id;
    QString stem;
    QStringList members;
};

class Web {
public:
    Web(int users, int projects, int members)
        : m_u(users)
        , m_p(projects)
        , m_m(members) {}
    // Its watchers are left to their last answers (the callbacks still
    // hold them), but ask nothing more.
    ~Web() {
        for (Watcher* w : std::as_const(m_watchers))
            w->stop();
    }
    void setAccessRule(bool on) { m_accessRule = on; }

    bool build(const ProcessTree& process);
    void measure(const ProcessTree& process);

private:
    static QString userName(int i) {
        return QStringLiteral("user%1").arg(i, 5, 10, QLatin1Char('0'));
    }
    bool addUser(const QString& name);
    bool addProject(int index, Project* project);
    bool addMember(const Project& project, const QString& name);
    // Writes a document of the project into a member's database (as that
    // member's client pushes it) and calls back with the write's time.
    void write(const Project& project, int writer, const QString& id,
               std::function<void(qint64)> written);
    // Milliseconds from the write until every other member's feed has seen
    // it, -1 when it did not arrive in time.
    qint64 delivery(const Project& project, int writer, const QString& id, qint64 from,
                    int timeoutMs);
    void printFigure(const char* name, const Stats& s, double floor) const;

    int m_u, m_p, m_m;
    bool m_accessRule = true;
    trevok::projects::MemberProjects m_memberProjects;
    std::unique_ptr<CouchServer> m_server;
    CouchDatabase* m_master = nullptr;
    CouchDatabase* m_users = nullptr;
    QList<Project> m_projects;
    QHash<QString, Watcher*> m_watchers;
    Stats m_projectSeconds;
    double m_buildSeconds = 0;
    int m_counter = 0;
    int m_lost = 0;
};

bool Web::addUser(const QString& name) {
    using namespace trevok::users;
    UserModel* user = CouchModel::modelForDocument<UserModel>(
        m_users->documentWithID(trevok::users::userDocumentID(name)));
    user->setValue(QStringLiteral("name"), name);
    user->setValue(QStringLiteral("firstName"), QStringLiteral("Bench"));
    user->setValue(QStringLiteral("lastName"), name);
    user->setValue(QStringLiteral("type"), QStringLiteral("user"));
    user->setDateValue(QStringLiteral("created"), QDateTime::currentDateTimeUtc());
    user->setDateValue(QStringLiteral("lastConnected"), QDateTime::currentDateTimeUtc());
    user->setValue(QStringLiteral("owner"), name);
    user->setValue(QStringLiteral("roles"), QJsonArray());
    user->setValue(QStringLiteral("password"), QString(name + QStringLiteral("-pw")));
    RESTOperationPtr saved = user->save();
    const QString dbName = trevok::users::userDatabaseName(name);
    CouchDatabase* db = CouchDatabase::databaseNamed(dbName, m_server.get());
    if (!db->create()->wait())
        return false;
    RESTOperationPtr secured =
        m_server->childWithPath(couchEncodedSegment(dbName) + QStringLiteral("/_security"))
            ->PUTJSON(userDatabaseSecurity(name));
    if (m_accessRule) {
        QString error;
        if (trevok::users::grantProjectsAndWait(m_server.get(), name, {}, &error) !=
            Rewrite::Written)
            return false;
    } else {
        CouchDesignDocument* design =
            db->designDocumentWithName(QLatin1String(kSecurityDesignName));
        design->defineViewNamed(QLatin1String(kValidateViewName), validateDocUpdateMap(name));
        if (!design->saveChanges()->wait())
            return false;
        design->defineFilterNamed(QLatin1String(kUserToMasterFilterName), kFilterBefore);
        if (!design->saveChanges()->wait())
            return false;
    }
    CouchPersistentReplication* replication = m_master->replicationFromDatabaseAtURL(dbName);
    replication->setFilter(userToMasterFilterReference());
    replication->setContinuous(true);
    return replication->start()->wait() && saved->wait() && secured->wait();
}

bool Web::addProject(int index, Project* project) {
    const QString title = QStringLiteral("Bench Project %1").arg(index);
    project->stem = databaseStem(title);
    const QString dbName = projectDatabaseName(project->stem);
    CouchDatabase* db = CouchDatabase::databaseNamed(dbName, m_server.get());
    if (!db->create()->wait())
        return false;
    project->id = QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
    ProjectModel* record =
        CouchModel::modelForDocument<ProjectModel>(db->documentWithID(project->id));
    record->setValue(QStringLiteral("title"), title);
    record->setValue(QStringLiteral("type"), QStringLiteral("ProjectInfoDoc"));
    record->setValue(QStringLiteral("serverDBName"), project->stem);
    RESTOperationPtr saved = record->save();
    CouchDesignDocument* meta = db->designDocumentWithName(QStringLiteral("projectmeta"));
    meta->defineFilterNamed(QStringLiteral("project_to_master_filter"), kProjectToMasterFilter);
    if (!meta->saveChanges()->wait())
        return false;
    meta->defineViewNamed(QStringLiteral("project_info"), kProjectInfoMap);
    if (!meta->saveChanges()->wait() || !saved->wait())
        return false;
    CouchDesignDocument* masterDesign = m_master->designDocumentWithName(project->stem);
    masterDesign->defineFilterNamed(QStringLiteral("master_to_project_filter"),
                                    masterToProjectFilter(project->id));
    if (!masterDesign->saveChanges()->wait())
        return false;
    const QList<CouchPersistentReplication*> pair = m_master->replicateWithURL(dbName, false);
    if (pair.size() != 2)
        return false;
    pair[1]->setFilter(project->stem + QStringLiteral("/master_to_project_filter"));
    pair[0]->setFilter(QStringLiteral("projectmeta/project_to_master_filter"));
    RESTOperationPtr pull = pair[0]->start();
    return pair[1]->start()->wait() && pull->wait();
}

bool Web::addMember(const Project& project, const QString& name) {
    CouchDatabase* db = m_server->databaseNamed(projectDatabaseName(project.stem));
    ProjectModel* record =
        CouchModel::modelForDocument<ProjectModel>(db->documentWithID(project.id));
    QStringList members;
    for (const QJsonValue& m : record->properties().value(QStringLiteral("members")).toArray())
        members.append(m.toString());
    const std::optional<QStringList> added = membersAdding(members, name);
    if (!added)
        return true;
    record->setValue(QStringLiteral("members"), QJsonArray::fromStringList(*added));
    RESTOperationPtr saved = record->save();
    if (m_accessRule) {
        // As the console does it: the member may write into the project
        // before the replication brings him its documents.
        m_memberProjects.setMembers(project.id, *added);
        QString error;
        if (trevok::users::grantProjectsAndWait(m_server.get(), name,
                                                m_memberProjects.projectsOf(name),
                                                &error) != Rewrite::Written)
            return false;
    }
    CouchDesignDocument* meta = db->designDocumentWithName(QStringLiteral("projectmeta"));
    meta->defineFilterNamed(QStringLiteral("project_to_user_filter"), kProjectToUserFilter);
    if (!meta->saveChanges()->wait())
        return false;
    CouchPersistentReplication* replication =
        db->replicationToDatabaseAtURL(userDatabaseName(name));
    replication->setFilter(QStringLiteral("projectmeta/project_to_user_filter"));
    replication->setContinuous(true);
    return replication->start()->wait() && saved->wait();
}

bool Web::build(const ProcessTree& process) {
    m_server = std::make_unique<CouchServer>(QUrl(g_target.url()));
    m_server->setCredential(g_target.admin, g_target.password);
    if (g_target.clustered) {
        m_server->setGeneration(ServerGeneration::Clustered);
        m_server->setReplicationCredential(g_target.admin, g_target.password);
    }
    m_master = m_server->databaseNamed(QStringLiteral("trevok_master"));
    m_users = m_server->databaseNamed(QStringLiteral("_users"));
    QElapsedTimer clock;
    clock.start();
    if (!m_master->create()->wait())
        return false;
    for (int i = 0; i < m_u; ++i) {
        if (!addUser(userName(i))) {
            std::fprintf(stderr, "user %d could not be added\n", i);
            return false;
        }
    }
    const double usersSeconds = clock.elapsed() / 1000.0;
    for (int p = 0; p < m_p; ++p) {
        QElapsedTimer one;
        one.start();
        Project project;
        if (!addProject(p, &project)) {
            std::fprintf(stderr, "project %d could not be added\n", p);
            return false;
        }
        for (int j = 0; j < m_m; ++j) {
            const QString name = userName((p * m_m + j) % m_u);
            if (!addMember(project, name)) {
                std::fprintf(stderr, "member %s of project %d could not be added\n",
                             qPrintable(name), p);
                return false;
            }
            project.members.append(name);
        }
        m_projectSeconds.add(one.elapsed() / 1000.0);
        m_projects.append(project);
    }
    m_buildSeconds = clock.elapsed() / 1000.0;
    // Built means delivered: the last project's record is with its last member.
    const Project& last = m_projects.last();
    const QString lastDb = userDatabaseName(last.members.last());
    const bool settled = waitFor(
        [&] {
            return request("GET", QLatin1Char('/') + lastDb + QLatin1Char('/') + last.id).status ==
                   200;
        },
        300000);
    const double settledSeconds = clock.elapsed() / 1000.0;
    const int tenth = std::max(1, m_p / 10);
    double first = 0, lastTenth = 0;
    for (int i = 0; i < tenth; ++i) {
        first += m_projectSeconds.values[i];
        lastTenth += m_projectSeconds.values[m_p - 1 - i];
    }
    first /= tenth;
    lastTenth /= tenth;
    std::printf("  build: %.1f s (users %.1f s; web delivered after %.1f s%s)\n", m_buildSeconds,
                usersSeconds, settledSeconds, settled ? "" : ", NOT SETTLED");
    std::printf(
        "  per project with its %d members: first tenth %.0f ms, last tenth %.0f ms (%.2fx)\n", m_m,
        first * 1000, lastTenth * 1000, lastTenth / std::max(first, 1e-9));
    std::printf("  server after build: RSS %.0f MiB (peak %.0f MiB), %d open files\n",
                process.statusMiB("VmRSS:"), process.statusMiB("VmHWM:"), process.openFiles());
    return settled;
}

void Web::write(const Project& project, int writer, const QString& id,
                std::function<void(qint64)> written) {
    const QString db = userDatabaseName(project.members.at(writer));
    const QByteArray body =
        QJsonDocument(QJsonObject{{QStringLiteral("projectID"), project.id},
                                  {QStringLiteral("type"), QStringLiteral("BenchDoc")},
                                  {QStringLiteral("n"), ++m_counter}})
            .toJson(QJsonDocument::Compact);
    const qint64 start = nowMs();
    send("PUT", QLatin1Char('/') + trevok::test::segment(db) + QLatin1Char('/') + id, body,
         [start, written](int status, const QByteArray&) { written(status == 201 ? start : -1); });
}

qint64 Web::delivery(const Project& project, int writer, const QString& id, qint64 from,
                     int timeoutMs) {
    qint64 last = -1;
    const bool all = waitFor(
        [&] {
            last = from;
            for (int j = 0; j < project.members.size(); ++j) {
                if (j == writer)
                    continue;
                const qint64 at = m_watchers.value(userDatabaseName(project.members[j]))->seen(id);
                if (at < 0)
                    return false;
                last = std::max(last, at);
            }
            return true;
        },
        timeoutMs);
    return all ? last - from : -1;
}

void Web::printFigure(const char* name, const Stats& s, double floor) const {
    std::printf("  %-44s median %7.0f ms  p95 %7.0f ms  worst %7.0f ms   (%.0fx floor)\n", name,
                s.median(), s.p95(), s.worst(), s.median() / std::max(floor, 0.1));
}

void Web::measure(const ProcessTree& process) {
    // Idle: nothing written, every replication waiting.
    QTest::qWait(3000);
    const double idleCpu0 = process.cpuMs();
    QTest::qWait(5000);
    const double idleCpu = (process.cpuMs() - idleCpu0) / 5000.0 * 100.0;

    // The floor: a plain write and its read-back, on a database of its own.
    request("PUT", QStringLiteral("/bench_floor"));
    Stats floor;
    for (int i = 0; i < kFloorSamples; ++i) {
        const qint64 start = nowMs();
        bool done = false;
        const QString path = QStringLiteral("/bench_floor/f%1").arg(i);
        send("PUT", path, "{\"v\":1}", [&](int, const QByteArray&) {
            send("GET", path, QByteArray(), [&](int, const QByteArray&) { done = true; });
        });
        waitFor([&] { return done; }, 10000);
        floor.add(double(nowMs() - start));
    }
    const double floorMs = floor.median();

    // Every member's client follows its database from now on.
    QSet<QString> memberDbs;
    for (const Project& p : m_projects)
        for (const QString& m : p.members)
            memberDbs.insert(userDatabaseName(m));
    for (const QString& db : memberDbs) {
        auto* w = new Watcher(db);
        w->start(updateSeq(db));
        m_watchers.insert(db, w);
    }
    QTest::qWait(1000);

    std::printf("  idle: %.1f %% CPU; RSS %.0f MiB with %lld clients following\n", idleCpu,
                process.statusMiB("VmRSS:"), static_cast<long long>(memberDbs.size()));
    std::printf("  %-44s median %7.1f ms  p95 %7.1f ms  worst %7.1f ms\n",
                "floor (write + read-back)", floorMs, floor.p95(), floor.worst());

    // One writer at a time, each in another project.
    Stats single;
    const double cpu0 = process.cpuMs();
    for (int i = 0; i < kSingleSamples; ++i) {
        const Project& project = m_projects.at((i * 7) % m_projects.size());
        const QString id = QStringLiteral("single-%1").arg(i);
        qint64 start = -1;
        write(project, 0, id, [&](qint64 s) { start = s == -1 ? -2 : s; });
        waitFor([&] { return start != -1; }, 10000);
        const qint64 took = start >= 0 ? delivery(project, 0, id, start, kDeliveryTimeoutMs) : -1;
        if (took < 0)
            ++m_lost;
        else
            single.add(double(took));
    }
    const double cpuPerDoc = (process.cpuMs() - cpu0) / kSingleSamples;
    printFigure("e2e, one writer", single, floorMs);

    // Ten writers at once, in ten projects.
    Stats concurrent;
    for (int round = 0; round < kConcurrentRounds; ++round) {
        QList<qint64> starts(kWriters, -1);
        for (int w = 0; w < kWriters; ++w) {
            const Project& project = m_projects.at((round * kWriters + w) % m_projects.size());
            write(project, w % m_m, QStringLiteral("conc-%1-%2").arg(round).arg(w),
                  [&starts, w](qint64 s) { starts[w] = s == -1 ? -2 : s; });
        }
        waitFor(
            [&] {
                return std::none_of(starts.begin(), starts.end(), [](qint64 s) { return s == -1; });
            },
            20000);
        for (int w = 0; w < kWriters; ++w) {
            const Project& project = m_projects.at((round * kWriters + w) % m_projects.size());
            const qint64 took =
                starts[w] >= 0
                    ? delivery(project, w % m_m, QStringLiteral("conc-%1-%2").arg(round).arg(w),
                               starts[w], kDeliveryTimeoutMs)
                    : -1;
            if (took < 0)
                ++m_lost;
            else
                concurrent.add(double(took));
        }
    }
    printFigure("e2e, 10 writers at once", concurrent, floorMs);

    // A quiet project's next document after 2,000 documents of another.
    Stats quiet;
    const Project& noisy = m_projects.first();
    QJsonArray docs;
    for (int i = 0; i < kNoisyDocuments; ++i)
        docs.append(QJsonObject{{QStringLiteral("_id"), QStringLiteral("noise-%1").arg(i)},
                                {QStringLiteral("projectID"), noisy.id},
                                {QStringLiteral("type"), QStringLiteral("BenchDoc")}});
    const QString noisyDb = trevok::test::segment(userDatabaseName(noisy.members.first()));
    const double noiseRss0 = process.statusMiB("VmRSS:");
    const double noiseCpu0 = process.cpuMs();
    for (qsizetype at = 0; at < docs.size(); at += 200) {
        QJsonArray chunk;
        for (qsizetype i = at; i < std::min<qsizetype>(at + 200, docs.size()); ++i)
            chunk.append(docs.at(i));
        const QByteArray body = QJsonDocument(QJsonObject{{QStringLiteral("docs"), chunk}})
                                    .toJson(QJsonDocument::Compact);
        request("POST", QLatin1Char('/') + noisyDb + QStringLiteral("/_bulk_docs"), body);
    }
    // Wait until the noise is in the master database, then write the quiet ones.
    waitFor(
        [&] {
            return request("GET",
                           QStringLiteral("/trevok_master/noise-%1").arg(kNoisyDocuments - 1))
                       .status == 200;
        },
        kDeliveryTimeoutMs);
    for (int i = 0; i < kQuietSamples; ++i) {
        const Project& project = m_projects.at(1 + (i * 13) % (m_projects.size() - 1));
        const QString id = QStringLiteral("quiet-%1").arg(i);
        qint64 start = -1;
        write(project, 1, id, [&](qint64 s) { start = s == -1 ? -2 : s; });
        waitFor([&] { return start != -1; }, 10000);
        const qint64 took = start >= 0 ? delivery(project, 1, id, start, kDeliveryTimeoutMs) : -1;
        if (took < 0)
            ++m_lost;
        else
            quiet.add(double(took));
    }
    printFigure("quiet project's next doc after 2,000 others", quiet, floorMs);
    waitFor(
        [&] {
            return delivery(noisy, 0, QStringLiteral("noise-%1").arg(kNoisyDocuments - 1), 0, 0) >=
                   0;
        },
        kDeliveryTimeoutMs);
    const double noiseCpu = (process.cpuMs() - noiseCpu0) / kNoisyDocuments;
    const double noiseKiB = (process.statusMiB("VmRSS:") - noiseRss0) * 1024.0 / kNoisyDocuments;
    std::printf("  server CPU per document (one writer): %.0f ms   (%.0fx floor)\n", cpuPerDoc,
                cpuPerDoc / std::max(floorMs, 0.1));
    std::printf("  server per document of the 2,000 (to all %d members): CPU %.1f ms, "
                "RSS %+.1f KiB\n",
                m_m, noiseCpu, noiseKiB);

    // A burst: one document per user, into a project the user is a member of.
    QHash<QString, int> projectOf;
    for (int p = 0; p < m_projects.size(); ++p)
        for (const QString& m : m_projects[p].members)
            if (!projectOf.contains(m))
                projectOf.insert(m, p);
    struct Burst {
        int project, writer;
        QString id;
    };
    QList<Burst> burst;
    for (auto it = projectOf.constBegin(); it != projectOf.constEnd(); ++it)
        burst.append({it.value(), int(m_projects[it.value()].members.indexOf(it.key())),
                      QStringLiteral("burst-%1").arg(it.key())});
    int written = 0;
    const qint64 burstStart = nowMs();
    for (const Burst& b : burst)
        write(m_projects[b.project], b.writer, b.id, [&](qint64) { ++written; });
    waitFor([&] { return written == burst.size(); }, kDeliveryTimeoutMs);
    const qint64 allWritten = nowMs() - burstStart;
    int deliveredDocs = 0;
    waitFor(
        [&] {
            deliveredDocs = 0;
            for (const Burst& b : burst)
                if (delivery(m_projects[b.project], b.writer, b.id, 0, 0) >= 0)
                    ++deliveredDocs;
            return deliveredDocs == burst.size();
        },
        kDeliveryTimeoutMs);
    const qint64 burstMs = nowMs() - burstStart;
    std::printf("  burst of one document per user (%lld docs, %lld deliveries): written in %.1f s, "
                "%s %.1f s"
                "   (%.0fx floor)\n",
                static_cast<long long>(burst.size()),
                static_cast<long long>(burst.size()) * (m_m - 1), allWritten / 1000.0,
                deliveredDocs == burst.size() ? "all delivered after" : "NOT all delivered after",
                burstMs / 1000.0, double(burstMs) / std::max(floorMs, 0.1));
    std::printf(
        "  server at the end: RSS %.0f MiB (peak %.0f MiB), %d open files; lost documents: %d%s\n",
        process.statusMiB("VmRSS:"), process.statusMiB("VmHWM:"), process.openFiles(), m_lost,
        m_lost >= kLostBeforeGivingUp ? " (not waited for long after the third)" : "");
}

// One server of the run: a bundled server's folder (with or without the web's
// access rule), or a CouchDB 3 of so many nodes with settings of its own.
struct Row {
    QString core;
    bool accessRule = true;
    int nodes = 0;
    QList<std::pair<QString, QString>> settings; // "section/key", value
    QString describe() const {
        if (nodes == 0)
            return core +
                   (accessRule ? QString() : QStringLiteral(" (web without the access rule)"));
        QString text = nodes == 1 ? QStringLiteral("CouchDB 3, one node")
                                  : QStringLiteral("CouchDB 3, cluster of %1").arg(nodes);
        for (const auto& [key, value] : settings)
            text += QStringLiteral(", %1=%2").arg(key, value);
        return text;
    }
};

// "3" or "1,replicator/max_jobs=3000,couchdb/max_dbs_open=5000".
std::optional<Row> couchDbRow(const QString& arg) {
    const QStringList parts = arg.split(QLatin1Char(','));
    Row row;
    row.nodes = parts.first().toInt();
    if (row.nodes != 1 && row.nodes != 3)
        return std::nullopt;
    for (const QString& setting : parts.mid(1)) {
        const qsizetype eq = setting.indexOf(QLatin1Char('='));
        if (eq < 0 || setting.left(eq).count(QLatin1Char('/')) != 1)
            return std::nullopt;
        row.settings.append({setting.left(eq), setting.mid(eq + 1)});
    }
    return row;
}

// Builds and measures one web on one server; false when the server did not start.
bool runRow(const Row& row, const std::array<int, 3>& size) {
    std::printf("\nU=%d P=%d M=%d (%d replications) on %s; load average %s\n", size[0], size[1],
                size[2], size[0] + 2 * size[1] + size[1] * size[2], qPrintable(row.describe()),
                qPrintable(loadAverage()));
    std::fflush(stdout);
    ProcessTree process;
    std::unique_ptr<TestServer> bundled;
    std::unique_ptr<trevok::test::CouchDb3> couch;
    QTemporaryDir resources;
    if (row.nodes == 0) {
        // The harness finds the server folder under TREVOK_RESOURCES.
        QFile::link(row.core, resources.path() + QStringLiteral("/server-core"));
        qputenv("TREVOK_RESOURCES", resources.path().toUtf8());
        bundled = std::make_unique<TestServer>();
        if (!bundled->start()) {
            std::fprintf(stderr, "the server in %s did not start\n", qPrintable(row.core));
            return false;
        }
        g_target = Target{QStringLiteral("127.0.0.1"), quint16(TestServer::port()),
                          QStringLiteral("admin"), TestServer::adminPassword(), false};
        process.roots = {bundledServerPid(QFileInfo(bundled->configFile()).path() +
                                          QStringLiteral("/server.log"))};
    } else {
        couch = std::make_unique<trevok::test::CouchDb3>(row.nodes);
        const QString why = couch->start();
        if (!why.isEmpty()) {
            std::fprintf(stderr, "CouchDB 3 did not start: %s\n", qPrintable(why));
            return false;
        }
        const QUrl url(couch->url());
        g_target = Target{url.host(), quint16(url.port()), trevok::test::CouchDb3::adminName(),
                          trevok::test::CouchDb3::adminPassword(), true};
        for (int k = 1; k <= row.nodes; ++k) {
            process.roots.append(couch->nodePid(k));
            for (const auto& [key, value] : row.settings) {
                const QByteArray body = QJsonDocument(QJsonArray{value})
                                            .toJson(QJsonDocument::Compact)
                                            .mid(1)
                                            .chopped(1);
                const int status =
                    couch
                        ->nodeRequest(k, "PUT", QStringLiteral("/_node/_local/_config/") + key,
                                      body)
                        .status;
                if (status != 200) {
                    std::fprintf(stderr, "node %d refused %s (%d)\n", k, qPrintable(key), status);
                    return false;
                }
            }
        }
    }
    {
        Web web(size[0], size[1], size[2]);
        web.setAccessRule(row.accessRule);
        if (web.build(process))
            web.measure(process);
    }
    std::printf("  load average at the end %s\n", qPrintable(loadAverage()));
    std::fflush(stdout);
    return true;
}

} // namespace

int main(int argc, char* argv[]) {
    QTemporaryDir home;
    qputenv("XDG_CONFIG_HOME", (home.path() + QStringLiteral("/config")).toUtf8());
    qputenv("XDG_DATA_HOME", (home.path() + QStringLiteral("/data")).toUtf8());
    QCoreApplication app(argc, argv);
    // A run takes an hour and is read while it runs, often from a file.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    QList<Row> rows;
    QList<std::array<int, 3>> sizes;
    QString port = QStringLiteral("5984");
    const char* usage =
        "usage: bench_scale [--port N] [--server-core DIR]... [--before-core DIR]... "
        "[--couchdb3 NODES[,section/key=value]...]... U/P/M...\n";
    const QStringList args = app.arguments().mid(1);
    for (int i = 0; i < args.size(); ++i) {
        if (args[i] == QStringLiteral("--port") && i + 1 < args.size()) {
            port = args[++i];
        } else if (args[i] == QStringLiteral("--server-core") && i + 1 < args.size()) {
            rows.append(Row{QFileInfo(args[++i]).absoluteFilePath(), true, 0, {}});
        } else if (args[i] == QStringLiteral("--before-core") && i + 1 < args.size()) {
            rows.append(Row{QFileInfo(args[++i]).absoluteFilePath(), false, 0, {}});
        } else if (args[i] == QStringLiteral("--couchdb3") && i + 1 < args.size()) {
            const std::optional<Row> row = couchDbRow(args[++i]);
            if (!row) {
                std::fprintf(stderr, "%s", usage);
                return 2;
            }
            rows.append(*row);
        } else {
            const QStringList parts = args[i].split(QLatin1Char('/'));
            if (parts.size() != 3) {
                std::fprintf(stderr, "%s", usage);
                return 2;
            }
            sizes.append({parts[0].toInt(), parts[1].toInt(), parts[2].toInt()});
        }
    }
    if (sizes.isEmpty())
        sizes = {{100, 10, 10}};
    if (rows.isEmpty())
        rows.append(Row{
            QStringLiteral(TREVOK_BENCH_RESOURCES) + QStringLiteral("/server-core"), true, 0, {}});
    for (const auto& size : sizes) {
        if (size[1] < 2 || size[2] < 2 || size[0] < size[2]) {
            std::fprintf(stderr,
                         "each size needs 2 projects, 2 members and as many users as members\n");
            return 2;
        }
    }
    qputenv("TREVOK_TEST_PORT", port.toUtf8());
    std::printf("%lld cores; load average at start %s\n",
                static_cast<long long>(sysconf(_SC_NPROCESSORS_ONLN)), qPrintable(loadAverage()));
    for (const auto& size : sizes)
        for (const Row& row : rows)
            if (!runRow(row, size))
                return 1;
    return 0;
}
