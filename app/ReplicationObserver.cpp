#include "app/AppDelegate.h"
#include "chrome/PXAppStoreWindow.h"
#include "records/RecordFields.h"
#include "services/Alerts.h"
#include "services/BusyState.h"
#include "services/ShownText.h"
#include "store/CouchDatabase.h"
#include "store/CouchDocument.h"
#include "store/CouchPersistentReplication.h"
#include "store/DocumentRewrite.h"

#include <QDateTime>
#include <QTimer>

namespace {
// How long a completed archive waits for the archive marks to reach the
// master database before it is emptied anyway.
constexpr qint64 kMarkWaitMs = 15000;
constexpr int kMarkPollMs = 250;
// When deleting a completed archive's replication document failed.
constexpr int kRetryMs = 1000;
// While a flow waits for the server.
constexpr int kBusyPollMs = 100;
} // namespace

CouchPersistentReplication* AppDelegate::ArchiveInProgress::handle() const {
    return static_cast<CouchPersistentReplication*>(replication.data());
}

CouchPersistentReplication* AppDelegate::archive() const {
    return static_cast<CouchPersistentReplication*>(m_archive.data());
}

void AppDelegate::observeReplication(CouchPersistentReplication* replication) {
    using R = CouchPersistentReplication;
    connect(replication, &R::completedChanged, this, [this, replication] {
        observeValueForKeyPath(QStringLiteral("completed"), replication);
    });
    connect(replication, &R::totalChanged, this,
            [this, replication] { observeValueForKeyPath(QStringLiteral("total"), replication); });
    connect(replication, &R::errorChanged, this,
            [this, replication] { observeValueForKeyPath(QStringLiteral("error"), replication); });
    connect(replication, &R::modeChanged, this,
            [this, replication] { observeValueForKeyPath(QStringLiteral("mode"), replication); });
}

void AppDelegate::stopObservingReplication(CouchPersistentReplication* replication) {
    if (replication)
        disconnect(replication, nullptr, this, nullptr);
}

void AppDelegate::observeValueForKeyPath(const QString&, QObject* object) {
    for (const ArchiveInProgress& archive : std::as_const(m_archives)) {
        if (archive.replication && archive.replication == object) {
            // Reports arrive inside other flows' waits: the completion, which
            // writes and waits itself, runs once the event loop is free.
            scheduleArchiveCheck(0);
            return;
        }
    }
}

QList<CouchPersistentReplication*> AppDelegate::archivesInProgress() const {
    QList<CouchPersistentReplication*> list;
    for (const ArchiveInProgress& archive : m_archives) {
        if (archive.replication)
            list.append(archive.handle());
    }
    return list;
}

AppDelegate::ArchiveInProgress* AppDelegate::archiveOfProject(const QString& projectID) {
    for (ArchiveInProgress& archive : m_archives) {
        if (archive.replication && archive.project.projectID == projectID)
            return &archive;
    }
    return nullptr;
}

void AppDelegate::scheduleArchiveCheck(int delayMs) {
    if (m_archiveCheckScheduled)
        return;
    m_archiveCheckScheduled = true;
    QTimer::singleShot(delayMs, this, [this] {
        m_archiveCheckScheduled = false;
        checkArchives();
    });
}

void AppDelegate::checkArchives() {
    if (m_checkingArchives || trevok::flowRunning()) {
        scheduleArchiveCheck(kBusyPollMs);
        return;
    }
    m_checkingArchives = true;
    // By handle, not by position: a flow may change the list during the waits below.
    QList<QPointer<CouchPersistentReplication>> handles;
    for (const ArchiveInProgress& archive : std::as_const(m_archives))
        handles.append(archive.handle());
    const auto find = [this](const QObject* replication) -> qsizetype {
        for (qsizetype i = 0; i < m_archives.size(); ++i) {
            if (m_archives.at(i).replication == replication)
                return i;
        }
        return -1;
    };
    for (const QPointer<CouchPersistentReplication>& replication : handles) {
        if (!replication) {
            // Gone with its database handle.
            m_archives.removeIf([](const ArchiveInProgress& a) { return !a.replication; });
            continue;
        }
        const qsizetype at = find(replication);
        if (at < 0)
            continue;
        ArchiveInProgress archive = m_archives.at(at);
        if (replication->state() == CouchPersistentReplication::StateError) {
            if (archive.toldError == replication->error())
                continue;
            m_archives[at].toldError = replication->error();
            trevok::showFailureAlert(
                m_mainWindow,
                QStringLiteral("The project “%1” could not be archived.")
                    .arg(trevok::shownName(archive.project.title)),
                QStringLiteral("Copying “%1” into “%2” failed: %3\nThe project stays marked as "
                               "archived and keeps its documents; the copy's replication stays "
                               "in “_replicator”.")
                    .arg(replication->source(), replication->target(), replication->error()));
            setProjectStatus(QStringLiteral("The project “%1” could not be archived.")
                                 .arg(trevok::shownName(archive.project.title)));
            continue;
        }
        if (replication->state() != CouchPersistentReplication::StateCompleted)
            continue;
        const bool finished = finishArchive(archive);
        const qsizetype now = find(replication);
        if (now < 0)
            continue;
        if (finished)
            m_archives.removeAt(now);
        else
            m_archives[now].completedSinceMs = archive.completedSinceMs;
    }
    m_checkingArchives = false;
}

bool AppDelegate::finishArchive(ArchiveInProgress& archive) {
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    if (archive.completedSinceMs == 0)
        archive.completedSinceMs = now;
    // Emptying rewrites the master's copy of each record; a copy that does not
    // carry the archive mark yet would be rewritten beside the marked revision
    // on its way, and the two would conflict.
    if (now - archive.completedSinceMs < kMarkWaitMs) {
        for (const QString& id : std::as_const(archive.markedRecords)) {
            const StoredProperties copy =
                m_trevokMasterDB->documentWithID(id)->readPropertiesAndWait();
            if (copy.found() &&
                copy.body.value(trevok::records::kArchivedField) != QJsonValue(true)) {
                scheduleArchiveCheck(kMarkPollMs);
                return false;
            }
        }
    }

    // The server may write its last report meanwhile: the deletion starts
    // from the revision it holds. Gone: somebody removed it already; the
    // copy has completed all the same.
    QString deleteError;
    const Rewrite deleted = rewriteDocumentAndWait(
        archive.handle()->document(),
        [](QJsonObject& body) {
            body = QJsonObject{{QStringLiteral("_deleted"), true}};
            return true;
        },
        &deleteError);
    if (deleted == Rewrite::Failed) {
        scheduleArchiveCheck(kRetryMs);
        return false;
    }
    stopObservingReplication(archive.handle());
    rememberSelectedProject(archive.project);
    const QString failed = QStringLiteral("The archived project “%1” was not emptied completely.")
                               .arg(trevok::shownName(archive.project.title));
    if (emptyProject(archive.project, failed))
        setProjectStatus(
            QStringLiteral("“%1” was archived.").arg(trevok::shownName(archive.project.title)));
    else
        setProjectStatus(failed);
    return true;
}
