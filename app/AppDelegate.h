#pragma once

#include <QObject>
#include <QPointer>
#include <QString>

#include <memory>

namespace trevok {
class ServerProcess;
}

// The one controller of the console: it owns every server handle, the live
// lists, the selections, the open sheets and the interface outlets. Its flows
// live in the folder of their subsystem.
class AppDelegate : public QObject {
    Q_OBJECT
public:
    explicit AppDelegate(QObject* parent = nullptr);
    ~AppDelegate() override;

    void applicationDidFinishLaunching();

    // External server process.
    QString applicationSupportFolder() const;
    void maybeSetDataDirs();
    void launchCouchDB();
    void taskTerminated();
    void cleanup();
    trevok::ServerProcess* task() const { return m_task.get(); }

private:
    std::unique_ptr<trevok::ServerProcess> m_task;
};
