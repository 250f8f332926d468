#pragma once

#include "projects/ProjectProvisioning.h"
#include "records/MemberProjects.h"
#include "services/WebSteps.h"
#include "store/RequestTrickle.h"

#include <QHash>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QSet>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>
#include <utility>
#include <vector>

class CouchQuery;
class RESTOperation;

// The web made whole from the records the console owns: the `_users`
// documents it wrote (they name their owner) and the project records with
// their members. An audit reads
// every piece once, without waiting and without writing; mending then runs
// the features' own operations for what is missing or different. What has no
// record is a leftover: told, and removed only when the administrator asks,
// since it may hold someone's data.
class WebRepair : public QObject {
    Q_OBJECT
public:
    struct Leftover {
        enum Kind { Database, Replication, RecordWithoutDatabase };
        Kind kind = Database;
        // The database name, the replication's document ID, or the project.
        QString name;
        trevok::projects::ProjectRef project;
        // What it is, in a sentence.
        QString words;
    };

    WebRepair(const trevok::StoreSession& session, QObject* parent = nullptr);
    ~WebRepair() override;

    // Reads the web; `audited` follows once everything is read. `databases`:
    // the server's databases as listed at login.
    void audit(const QStringList& databases);
    bool isAuditing() const { return m_pending > 0; }
    // Why the audit could not read the records ("" when it could): then it
    // found nothing to mend and no leftovers.
    QString error() const { return m_error; }
    // What the audit found to mend (0 when the web is whole).
    int piecesToMend() const { return int(m_users.size() + m_projects.size()); }
    // Runs the operations of the users and projects that need them, waiting;
    // what each made is in the report. The memberships say what each user
    // may write.
    trevok::Provisioned mendAndWait(const trevok::projects::MemberProjects& memberships);
    const QList<Leftover>& leftovers() const { return m_leftovers; }
    // Removes one leftover (and what exists only for it), waiting.
    trevok::Provisioned removeAndWait(const Leftover& leftover);

    // The words of a repair for the status line: "Mended 2 things: …".
    static QString mendedText(const QStringList& mended);

Q_SIGNALS:
    void audited();

private:
    static constexpr int kReadsInFlight = 4;
    struct Replication {
        QString id;
        QString source;
        QString target;
        QString filter;
        bool continuous = false;
        bool endsCurrent = true;
        // The server stopped it for good: the repair writes it anew.
        bool stopped = false;
    };
    struct Project {
        trevok::projects::ProjectRef ref;
        QStringList members;
        bool live = true; // not marked as deleted
    };
    void readFirstPass();
    void readSecondPass();
    void conclude();
    void done();
    void noteRead(const RESTOperation& read);
    bool hasReplication(const QString& source, const QString& target, const QString& filter) const;

    trevok::StoreSession m_session;
    int m_pending = 0;
    bool m_secondPass = false;
    QString m_error;
    QSet<QString> m_databases;
    QStringList m_userNames;
    QStringList m_ownedUsers;
    QList<Replication> m_replications;
    QList<Project> m_records;
    // Read in the second pass, by database name or stem.
    QHash<QString, QJsonObject> m_security;
    QHash<QString, QJsonObject> m_projectMeta;
    QHash<QString, QJsonObject> m_masterDesigns;
    QHash<QString, QList<QJsonObject>> m_recordsInDatabase;
    std::vector<std::unique_ptr<CouchQuery>> m_queries;
    RequestTrickle m_reads{kReadsInFlight};
    // What to mend: users by name, projects by their record.
    QStringList m_users;
    QList<Project> m_projects;
    QList<Leftover> m_leftovers;
};
