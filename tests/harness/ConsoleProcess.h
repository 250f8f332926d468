#pragma once

#include <QJsonObject>
#include <QLocalSocket>
#include <QProcess>
#include <QString>

#include <functional>

namespace trevok::test {

// The initial administrator password of a fresh bundled server.
inline const QString kInitialAdminPassword = QStringLiteral("trevok");

// The real console binary, offscreen, driven through its test command
// channel, with the settings and data folders under `home`.
class ConsoleProcess {
public:
    // `quiet`: the console's output is dropped instead of passed on.
    ConsoleProcess(const QString& binary, const QString& home, const QString& resources,
                   bool quiet = false);
    ~ConsoleProcess();
    ConsoleProcess(const ConsoleProcess&) = delete;
    ConsoleProcess& operator=(const ConsoleProcess&) = delete;

    bool connect();
    // The command's answer, or an empty object when none came in time.
    QJsonObject command(const QString& line, int timeoutMs = 60000);
    bool run(const QString& line) { return command(line).value(QStringLiteral("ok")).toBool(); }
    QJsonObject state() { return command(QStringLiteral("state")); }
    // Polls the console's state until `test` holds.
    bool waitFor(const std::function<bool(const QJsonObject&)>& test, int timeoutMs);
    bool lists(const char* key, const QString& value, int timeoutMs = 15000);
    bool finished(int timeoutMs) { return m_process.waitForFinished(timeoutMs); }
    // Connected and its server up.
    bool up();
    // Up, and logged in with the initial password.
    bool upAndLoggedIn() { return up() && run(QStringLiteral("login ") + kInitialAdminPassword); }
    int exitCode() const {
        return m_process.exitStatus() == QProcess::NormalExit ? m_process.exitCode() : -1;
    }

private:
    static inline int s_count = 0;
    QString m_socket;
    QProcess m_process;
    QLocalSocket m_channel;
};

// Copies a resources folder, its server's modules linked rather than copied.
bool copyResources(const QString& from, const QString& to);

// The data folder of the console's server under a home given to ConsoleProcess.
QString consoleDataFolder(const QString& home);

} // namespace trevok::test
