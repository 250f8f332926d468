#include "records/MasterModel.h"
#include "records/ProjectNames.h"
#include "records/ReplicatorViews.h"
#include "records/UserNames.h"
#include "records/UuidText.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QStandardPaths>
#include <QTest>

#include <memory>
#include <vector>

using namespace trevok;

namespace {

// A query server asked over its line protocol: one JSON command a line, one
// JSON answer a line.
class QueryServer {
public:
    QueryServer(QString name, QString program, QStringList arguments)
        : m_name(std::move(name))
        , m_program(std::move(program))
        , m_arguments(std::move(arguments)) {}

    const QString& name() const { return m_name; }

    // Started and reset; the failure in words otherwise.
    QString start() {
        m_process.start(m_program, m_arguments);
        if (!m_process.waitForStarted(10000))
            return m_process.errorString();
        const QJsonValue answer = ask(QJsonArray{QStringLiteral("reset")});
        if (answer != QJsonValue(true))
            return QStringLiteral("answered the reset with %1").arg(words(answer));
        return {};
    }

    // The answer, or undefined when none came.
    QJsonValue ask(const QJsonArray& command) {
        m_process.write(QJsonDocument(command).toJson(QJsonDocument::Compact) + '\n');
        for (;;) {
            while (!m_process.canReadLine()) {
                if (!m_process.waitForReadyRead(15000))
                    return QJsonValue(QJsonValue::Undefined);
            }
            const QByteArray line = m_process.readLine().trimmed();
            // Log lines may come before an answer.
            if (line.startsWith("[\"log\""))
                continue;
            const QJsonDocument answer = QJsonDocument::fromJson(QByteArray("[") + line + ']');
            return answer.array().first();
        }
    }

    QString errors() { return QString::fromUtf8(m_process.readAllStandardError()); }

    static QString words(const QJsonValue& answer) {
        if (answer.isUndefined())
            return QStringLiteral("nothing");
        return QString::fromUtf8(
            QJsonDocument(QJsonArray{answer}).toJson(QJsonDocument::Compact).mid(1).chopped(1));
    }

    ~QueryServer() {
        m_process.closeWriteChannel();
        if (!m_process.waitForFinished(5000)) {
            m_process.kill();
            m_process.waitForFinished(5000);
        }
    }

private:
    QString m_name;
    QString m_program;
    QStringList m_arguments;
    QProcess m_process;
};

// Every function member of a design document, by its place in it.
void addDesignRows(const QString& what, const QJsonObject& design) {
    const auto add = [&](const QString& place, const QJsonValue& text) {
        QTest::newRow(qPrintable(what + QLatin1Char(' ') + place)) << text.toString() << true;
    };
    for (const char* kind : {"filters", "updates", "shows", "lists"}) {
        const QJsonObject members = design.value(QLatin1String(kind)).toObject();
        for (auto it = members.begin(); it != members.end(); ++it)
            add(QLatin1String(kind) + QLatin1Char('/') + it.key(), it.value());
    }
    const QJsonObject views = design.value(QStringLiteral("views")).toObject();
    for (auto it = views.begin(); it != views.end(); ++it) {
        for (const char* part : {"map", "reduce"}) {
            const QJsonValue text = it.value().toObject().value(QLatin1String(part));
            // Built-in reduces ("_sum") are the server's, not JavaScript.
            if (text.isString() && !text.toString().startsWith(QLatin1Char('_')))
                add(QStringLiteral("views/") + it.key() + QLatin1Char('/') + QLatin1String(part),
                    text);
        }
    }
    if (design.contains(QStringLiteral("validate_doc_update")))
        add(QStringLiteral("validate_doc_update"),
            design.value(QStringLiteral("validate_doc_update")));
}

} // namespace

// Every function text the console writes into a server is one the server
// compiles. The bundled server compiles a function only when it first runs
// it; CouchDB 3 compiles each one when its design document is written and
// refuses the whole document over one that does not parse. So each text is
// put to CouchDB's own QuickJS query server where the release is at hand,
// and to QuickJS, read the same way, wherever Node.js and the bundled
// server's packages are.
class TestFunctionTexts : public QObject {
    Q_OBJECT

    std::vector<std::unique_ptr<QueryServer>> m_servers;

    void addServer(std::unique_ptr<QueryServer> server) {
        const QString failure = server->start();
        QVERIFY2(failure.isEmpty(), qPrintable(server->name() + QStringLiteral(" did not start: ") +
                                               failure + QLatin1Char(' ') + server->errors()));
        qInfo("Judged by %s", qPrintable(server->name()));
        m_servers.push_back(std::move(server));
    }

private Q_SLOTS:
    void initTestCase() {
        const QString release = qEnvironmentVariable("TREVOK_COUCHDB3_DIR");
        if (!release.isEmpty() && QFileInfo(release).isDir()) {
            const QStringList apps =
                QDir(release + QStringLiteral("/lib"))
                    .entryList({QStringLiteral("couch_quickjs-*")}, QDir::Dirs, QDir::Name);
            QVERIFY2(!apps.isEmpty(),
                     qPrintable(release + QStringLiteral(" holds no QuickJS query server")));
            addServer(std::make_unique<QueryServer>(QStringLiteral("CouchDB's query server"),
                                                    release + QStringLiteral("/lib/") +
                                                        apps.last() +
                                                        QStringLiteral("/priv/couchjs_mainjs"),
                                                    QStringList()));
        }
        const QString node = QStandardPaths::findExecutable(QStringLiteral("node"));
        const QString serverCore = qEnvironmentVariable("TREVOK_SERVER_CORE");
        if (!node.isEmpty() &&
            QFileInfo(serverCore + QStringLiteral("/node_modules/quickjs-emscripten-core")).isDir())
            addServer(std::make_unique<QueryServer>(
                QStringLiteral("QuickJS under Node.js"), node,
                QStringList{QStringLiteral(TREVOK_QUICKJS_QUERY_SERVER), serverCore}));
        if (m_servers.empty())
            QSKIP("neither CouchDB 3 (TREVOK_COUCHDB3_DIR) nor Node.js with the bundled server's "
                  "packages is here to compile the texts");
    }

    void everyTextCompiles_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("compiles");

        // Names and ids that could end a string literal or a line, or that
        // are more than ASCII.
        const QStringList names{
            QStringLiteral("ann"),
            QStringLiteral("a\"b'c"),
            QStringLiteral("back\\slash\\"),
            QStringLiteral("x\") { } throw(1); if (\""),
            QStringLiteral("line\nbreaks\r\u2028\u2029 tab\t nul\x01"),
            QStringLiteral("zoë 山田 😀"),
        };
        const QStringList projectIDs{
            uuidText(),
            QStringLiteral("it's \"quoted\""),
            QStringLiteral("back\\slash"),
            QStringLiteral("'] ; throw(1); ['"),
            QStringLiteral("zoë\u2028😀"),
        };
        for (int i = 0; i < names.size(); ++i) {
            QJsonObject design;
            // The projects change with the user: none, one, all.
            const QStringList projects = projectIDs.mid(0, i % 3 == 0 ? 0 : i % 3 == 1 ? 1 : 5);
            users::applyUserDesign(design, names.at(i), projects);
            addDesignRows(QStringLiteral("user %1 (%2 projects)").arg(i).arg(projects.size()),
                          design);
        }

        const QString projectID = uuidText();
        const auto add = [](const char* what, const QString& text) {
            QTest::newRow(what) << text << true;
        };
        add("project projectmeta filters/project_to_master_filter",
            projects::kProjectToMasterFilter);
        add("project projectmeta filters/project_to_user_filter", projects::kProjectToUserFilter);
        add("project projectmeta views/project_info/map", projects::kProjectInfoMap);
        add("project projectmeta views/all_projects/map", projects::kProjectAllProjectsMap);
        add("master project stem filters/master_to_project_filter",
            projects::masterToProjectFilter(projectID));
        add("master meta views/all_members/map", projects::allMembersMap(projectID));
        add("master projectmeta views/all_projects/map", kAllProjectsMap);
        for (const ServerGeneration generation :
             {ServerGeneration::Classic, ServerGeneration::Clustered})
            for (const records::ReplicatorView& view :
                 {records::replicationsBySource(generation),
                  records::replicationsByTarget(generation),
                  records::replicationsBySourceWithTarget(generation)})
                QTest::newRow(qPrintable(QStringLiteral("_replicator trevok views/") + view.name +
                                         QStringLiteral("/map")))
                    << view.map << true;

        // What every server must refuse, so that a judge that takes
        // everything is caught: the view once written with its function
        // left open.
        QTest::newRow("refused: a function left open")
            << QStringLiteral("function(new_doc, old_doc, userCtx) { if(!userCtx || userCtx.name "
                              "!= \"ann\") { throw({forbidden: \"Bad user\"});}")
            << false;
        QTest::newRow("refused: not a function")
            << QStringLiteral("function(doc){ emit(doc._id, null); }; 1") << false;
    }
    void everyTextCompiles() {
        QFETCH(QString, text);
        QFETCH(bool, compiles);
        for (const std::unique_ptr<QueryServer>& server : m_servers) {
            const QJsonValue answer = server->ask(QJsonArray{QStringLiteral("add_fun"), text});
            QVERIFY2(!answer.isUndefined(),
                     qPrintable(server->name() + QStringLiteral(" answered nothing: ") +
                                server->errors()));
            const bool took = answer == QJsonValue(true);
            if (!took)
                QVERIFY2(
                    answer.toArray().at(1) == QJsonValue(QStringLiteral("compilation_error")),
                    qPrintable(server->name() + QStringLiteral(": ") + QueryServer::words(answer)));
            QVERIFY2(took == compiles, qPrintable(server->name() + QStringLiteral(": ") +
                                                  QueryServer::words(answer)));
        }
    }
};

QTEST_GUILESS_MAIN(TestFunctionTexts)
#include "tst_function_texts.moc"
