#pragma once

#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <optional>

namespace trevok {

// The resources folder: TREVOK_RESOURCES when set (tests point it elsewhere),
// else "resources" next to the executable (a build tree), else the
// installation's share/trevokserver.
QString resourcesFolder();

// What the bundled server's launcher writes into the data folder
// ("server-core.pid") while its server answers.
struct ServerPidFile {
    qint64 launcher = 0;
    qint64 server = 0;
    int port = 0;
    QString uuid;
};
std::optional<ServerPidFile> readServerPidFile(const QString& dataFolder);
ServerPidFile parseServerPidFile(const QByteArray& json);

bool processAlive(qint64 pid);
// Whether the process holds a socket listening on the TCP port.
bool processListensOn(qint64 pid, quint16 port);
// Whether any process of this machine listens on the TCP port.
bool portInUse(quint16 port);
// The reason of the last error the server logged ("" when there is none).
QString lastServerError(const QString& dataFolder);
QString lastErrorInLog(const QString& logText);
// The pause before the n-th attempt (from 0) to start the server again.
int restartDelayMs(int attempt);

// The external document server: the bundled installation under
// <home>/server-core, whose launcher (`bin/couchdb -i`) keeps the server
// running. The server outlives the console: it is started detached, logs
// into its data folder, and a later console finds it through the pid file
// and uses it instead of starting a second one.
//
// While the console runs, this watches the server and its launcher. When
// either ends, the status says so in words until the server answers again;
// a launcher that ended is started again after a pause that grows with each
// failed attempt, up to a bound.
class ServerProcess : public QObject {
    Q_OBJECT
public:
    enum class Status {
        NotStarted,
        Starting,  // launched, not answering yet
        Running,   // the data folder's server answers on the port
        Lost,      // it ended; being started again
        Failed,    // a launch ended without a server; tried again later
        PortTaken, // another program holds the port; tried again later
    };

    ServerProcess(QString serverHome, QString dataFolder, QStringList extraArguments = {},
                  quint16 port = 5984, QObject* parent = nullptr);
    ~ServerProcess() override;

    // Uses the data folder's server when it runs, else launches one; then
    // watches it. Returns at once.
    void start();
    // Waits (as a store wait does) until the server answers or a failure is
    // known, at most `timeoutMs`. Returns isRunning().
    bool waitUntilSettled(int timeoutMs);

    Status status() const { return m_status; }
    // What the administrator reads about the server; "" while it runs.
    QString statusText() const { return m_text; }
    bool isRunning() const { return m_status == Status::Running; }
    // Whether start() found the server already running.
    bool adopted() const { return m_adopted; }
    qint64 launcherPid() const { return m_launcherPid; }
    qint64 serverPid() const { return m_serverPid; }

    // Ends launcher and server (tests and benchmarks; the console never does).
    void kill();
    // Asks the launcher to end its server and itself, as an administrator's
    // `kill` does, and stops watching, so that nothing is started again
    // until start(). Only what does not end within the wait is killed.
    // Whether the port is free afterwards.
    bool stop(int timeoutMs = 15000);

    // How often the server is looked at.
    static constexpr int kWatchIntervalMs = 500;

Q_SIGNALS:
    void statusChanged();
    // Running again after it was lost or failed.
    void serverBack();

private:
    struct Seen {
        bool up = false;
        std::optional<ServerPidFile> pid;
    };
    Seen look() const;
    void check();
    void relaunch();
    void launch();
    void scheduleRelaunch();
    void setStatus(Status status, const QString& text);

    QString m_home;
    QString m_dataFolder;
    QStringList m_extraArguments;
    quint16 m_port;
    Status m_status = Status::NotStarted;
    QString m_text;
    bool m_adopted = false;
    bool m_everRunning = false;
    int m_attempt = 0;
    qint64 m_launcherPid = 0;
    qint64 m_serverPid = 0;
    QTimer m_watch;
    QTimer m_relaunch;
};

} // namespace trevok
