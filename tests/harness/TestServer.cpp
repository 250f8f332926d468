#include "tests/harness/TestServer.h"

#include <QCoreApplication>
#include <QDebug>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QThread>
#include <QTimer>
#include <QUrl>

#include <csignal>
#include <sys/prctl.h>

namespace trevok::test {

namespace {
constexpr int kStartTimeoutMs = 30000;
constexpr int kRequestTimeoutMs = 30000;
} // namespace

QString segment(const QString& name) {
    return QString::fromLatin1(QUrl::toPercentEncoding(name));
}

int TestServer::port() {
    bool ok = false;
    const int fromEnv = qEnvironmentVariableIntValue("TREVOK_TEST_PORT", &ok);
    return ok ? fromEnv : 5984;
}

QString TestServer::url() {
    return QStringLiteral("http://127.0.0.1:%1").arg(port());
}

TestServer::TestServer() = default;

TestServer::~TestServer() {
    stop();
}

QString TestServer::serverHome() {
    QString resources = qEnvironmentVariable("TREVOK_RESOURCES");
    if (resources.isEmpty())
        resources = QCoreApplication::applicationDirPath() + QStringLiteral("/resources");
    return resources + QStringLiteral("/server-core");
}

QString TestServer::dataFolder() const {
    return m_dir.path() + QStringLiteral("/data");
}

QString TestServer::configFile() const {
    return m_dir.path() + QStringLiteral("/test.ini");
}

bool TestServer::start() {
    if (!m_dir.isValid())
        return false;
    if (!QFile::exists(configFile())) {
        QFile ini(configFile());
        if (!ini.open(QIODevice::WriteOnly))
            return false;
        ini.write(QStringLiteral("[couchdb]\ndatabase_dir = %1\nview_index_dir = %1\n\n"
                                 "[httpd]\nport = %3\n\n[admins]\nadmin = %2\n")
                      .arg(dataFolder(), adminPassword(), QString::number(port()))
                      .toUtf8());
    }
    // A server that answers before ours is started is another suite's, left
    // behind: the cases would run against its data, not this suite's.
    if (anonymous("GET", QStringLiteral("/")).status != 0) {
        qWarning() << "another server already answers on port" << port();
        return false;
    }
    m_process = std::make_unique<QProcess>();
    // The server outlives whoever starts it, by design; a suite that dies
    // (a crash, a time-out) must not leave it holding the port and the
    // test runner's output pipe for the suites after it.
    m_process->setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
    m_process->setWorkingDirectory(serverHome());
    m_process->setProgram(serverHome() + QStringLiteral("/bin/couchdb"));
    m_process->setArguments({QStringLiteral("-i"), QStringLiteral("-a"), configFile()});
    m_process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_process->setStandardOutputFile(m_dir.path() + QStringLiteral("/server.log"),
                                     QIODevice::Append);
    m_process->start();
    if (!m_process->waitForStarted(5000)) {
        qWarning() << "cannot start the bundled server:" << m_process->errorString();
        return false;
    }
    return waitUntilAnswering(kStartTimeoutMs);
}

bool TestServer::waitUntilAnswering(int timeoutMs) {
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < timeoutMs) {
        if (m_process->state() == QProcess::NotRunning)
            return false;
        if (anonymous("GET", QStringLiteral("/")).status != 0)
            return true;
        QThread::msleep(50);
    }
    return false;
}

void TestServer::stop() {
    if (!m_process)
        return;
    if (m_process->state() != QProcess::NotRunning) {
        m_process->terminate();
        if (!m_process->waitForFinished(5000)) {
            m_process->kill();
            m_process->waitForFinished(5000);
        }
    }
    m_process.reset();
    // The port must be free before a restart binds it again.
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < 5000 && anonymous("GET", QStringLiteral("/")).status != 0)
        QThread::msleep(50);
}

bool TestServer::restart() {
    stop();
    return start();
}

HttpReply httpRequest(const QByteArray& method, const QString& url, const QByteArray& body,
                      const QString& user, const QString& password) {
    static QNetworkAccessManager* manager = [] {
        auto* m = new QNetworkAccessManager();
        m->setProxy(QNetworkProxy::NoProxy);
        return m;
    }();
    QNetworkRequest req{QUrl(url)};
    req.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/json"));
    req.setAttribute(QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::AlwaysNetwork);
    if (!user.isEmpty()) {
        req.setRawHeader("Authorization",
                         "Basic " + (user + QLatin1Char(':') + password).toUtf8().toBase64());
    }
    QNetworkReply* reply = manager->sendCustomRequest(req, method, body);
    QEventLoop loop;
    QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    QTimer::singleShot(kRequestTimeoutMs, &loop, &QEventLoop::quit);
    loop.exec();
    HttpReply result;
    if (!reply->isFinished()) {
        reply->abort();
    } else {
        result.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        result.body = reply->readAll();
    }
    reply->deleteLater();
    return result;
}

HttpReply TestServer::request(const QByteArray& method, const QString& path, const QByteArray& body,
                              const QString& user, const QString& password) {
    return httpRequest(method, url() + path, body, user, password);
}

HttpReply TestServer::anonymous(const QByteArray& method, const QString& path,
                                const QByteArray& body) {
    return request(method, path, body, QString(), QString());
}

bool TestServer::createSyncUser(const QString& name) {
    const QByteArray doc =
        QJsonDocument(QJsonObject{{QStringLiteral("name"), name},
                                  {QStringLiteral("password"), QStringLiteral("pw")},
                                  {QStringLiteral("roles"), QJsonArray()},
                                  {QStringLiteral("type"), QStringLiteral("user")}})
            .toJson(QJsonDocument::Compact);
    const QString db = QStringLiteral("trevok_user_db_") + name;
    const QByteArray security =
        QByteArrayLiteral("{\"admins\":{\"names\":[],\"roles\":[]},\"readers\":{\"names\":[\"") +
        name.toUtf8() + QByteArrayLiteral("\"],\"roles\":[]}}");
    return putDocument(QStringLiteral("_users"), QStringLiteral("org.couchdb.user:") + name, doc) &&
           createDatabase(db) &&
           request("PUT", QLatin1Char('/') + db + QStringLiteral("/_security"), security).status ==
               200;
}

bool TestServer::createDatabase(const QString& name) {
    const int status = request("PUT", QLatin1Char('/') + segment(name)).status;
    return status == 201 || status == 412;
}

bool TestServer::putDocument(const QString& db, const QString& id, const QByteArray& json) {
    const int status =
        request("PUT", QLatin1Char('/') + segment(db) + QLatin1Char('/') + segment(id), json)
            .status;
    return status == 201 || status == 202;
}

QList<QJsonObject> TestServer::documents(const QString& database) {
    QList<QJsonObject> docs;
    const QJsonArray rows = getJson(QLatin1Char('/') + segment(database) +
                                    QStringLiteral("/_all_docs?include_docs=true"))
                                .object()
                                .value(QStringLiteral("rows"))
                                .toArray();
    for (const QJsonValue& row : rows) {
        const QJsonObject doc = row.toObject().value(QStringLiteral("doc")).toObject();
        if (!doc.value(QStringLiteral("_id")).toString().startsWith(QStringLiteral("_design/")))
            docs.append(doc);
    }
    return docs;
}

QJsonDocument TestServer::getJson(const QString& path) {
    return request("GET", path).json();
}

} // namespace trevok::test
