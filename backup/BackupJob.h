#pragma once

#include "backup/BackupPlan.h"

#include <QObject>
#include <QProcess>
#include <QString>
#include <QUrl>

#include <memory>

namespace trevok::backup {

// The server a backup reads or a restore writes, and the administrator's
// credential for it.
struct ServerAccess {
    QUrl url;
    QString user;
    QString password;
};

// The backup tool (resources/backup/bin/trevok-backup) run beside the
// console: the backup streams every database into one file in its own
// process, so that the console's window and its own requests never wait
// for it, and its memory stays the tool's. What the tool reports line by
// line arrives as progress; its last word as finished().
class BackupJob : public QObject {
    Q_OBJECT
public:
    enum class Mode { Backup, Restore, Verify };

    explicit BackupJob(QObject* parent = nullptr);
    // A tool still running is asked to stop, so that it removes its
    // unfinished file, and is killed if it does not within a few seconds.
    ~BackupJob() override;

    static QString toolPath();

    void startBackup(const ServerAccess& server, const QString& folder, int keep);
    void startRestore(const ServerAccess& server, const QString& file);
    void startVerify(const QString& file);

    bool isRunning() const;
    Mode mode() const { return m_mode; }

Q_SIGNALS:
    void progress(const trevok::backup::BackupEvent& event);
    // `last` is the tool's "done" line when `ok`, else its "failed" line, or
    // one made here when the tool could not start or ended without a word.
    void finished(bool ok, const trevok::backup::BackupEvent& last);

private:
    void start(Mode mode, const QStringList& arguments, const QString& password);
    void readLines();
    void ended(int exitCode, QProcess::ExitStatus status);
    void failedToStart();

    std::unique_ptr<QProcess> m_process;
    Mode m_mode = Mode::Backup;
    QByteArray m_buffer;
    BackupEvent m_last;
    bool m_told = false;
};

} // namespace trevok::backup
