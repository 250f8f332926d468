#pragma once

#include <QObject>
#include <QProcess>
#include <QString>

#include <memory>

namespace trevok {

// The resources folder: TREVOK_RESOURCES when set (tests point it elsewhere),
// else "resources" next to the executable (a build tree), else the
// installation's share/trevokserver.
QString resourcesFolder();

// The external document server: the bundled installation under
// <resources>/server-core, launched once per run and never stopped by the
// console. Its standard output is drained continuously so that the server
// never blocks on a full pipe; its standard error goes to the console's own.
class ServerProcess : public QObject {
    Q_OBJECT
public:
    explicit ServerProcess(QObject* parent = nullptr);
    ~ServerProcess() override;

    // Launches <home>/bin/couchdb -i [-a <lastConfigFile>] with <home> as
    // working directory.
    void launch(const QString& serverHome, const QString& lastConfigFile = QString());

    bool isRunning() const;
    QProcess* task() const { return m_task.get(); }

    // Ends the process (used by tests and benchmarks; the console never does).
    void kill();

Q_SIGNALS:
    // The process ended (or could not be started at all).
    void terminated();

private:
    void drainOutput();

    std::unique_ptr<QProcess> m_task;
};

} // namespace trevok
