#pragma once

#include <QHash>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <QStringList>

namespace trevok::projects {

// Which live projects each user is a member of: what every user database's
// access rule is written from. The console keeps it from the records it reads
// at login and the memberships it writes itself, not from the master
// database's copies, which follow the project databases some time later.
class MemberProjects {
public:
    // A live project's own record: a project record under its own id, neither
    // archived nor emptied. Anything else names no project a member may write.
    static bool isLiveProjectRecord(const QJsonObject& record);
    // The user names a record lists as `members` (only strings).
    static QStringList membersIn(const QJsonObject& record);
    // From the bodies of project records (the master database's list).
    static MemberProjects fromRecords(const QList<QJsonObject>& records);

    void setMembers(const QString& projectID, const QStringList& members);
    void removeProject(const QString& projectID);
    QStringList membersOf(const QString& projectID) const { return m_members.value(projectID); }
    // Sorted, each once.
    QStringList projectsOf(const QString& userName) const;

private:
    QHash<QString, QStringList> m_members;
};

} // namespace trevok::projects
