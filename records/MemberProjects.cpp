#include "records/MemberProjects.h"

#include <QJsonArray>

namespace trevok::projects {

bool MemberProjects::isLiveProjectRecord(const QJsonObject& record) {
    const QString id = record.value(QStringLiteral("_id")).toString();
    return !id.isEmpty() &&
           record.value(QStringLiteral("type")) == QJsonValue(QStringLiteral("ProjectInfoDoc")) &&
           record.value(QStringLiteral("projectID")) == QJsonValue(id) &&
           record.value(QStringLiteral("archived")) != QJsonValue(true) &&
           record.value(QStringLiteral("wasDeleted")) != QJsonValue(true);
}

QStringList MemberProjects::membersIn(const QJsonObject& record) {
    QStringList members;
    for (const QJsonValue& member : record.value(QStringLiteral("members")).toArray())
        if (member.isString())
            members.append(member.toString());
    return members;
}

MemberProjects MemberProjects::fromRecords(const QList<QJsonObject>& records) {
    MemberProjects index;
    for (const QJsonObject& record : records)
        if (isLiveProjectRecord(record))
            index.setMembers(record.value(QStringLiteral("_id")).toString(), membersIn(record));
    return index;
}

void MemberProjects::setMembers(const QString& projectID, const QStringList& members) {
    m_members.insert(projectID, members);
}

void MemberProjects::removeProject(const QString& projectID) {
    m_members.remove(projectID);
}

QStringList MemberProjects::projectsOf(const QString& userName) const {
    QStringList projects;
    for (auto it = m_members.cbegin(); it != m_members.cend(); ++it)
        if (it.value().contains(userName))
            projects.append(it.key());
    projects.sort();
    return projects;
}

} // namespace trevok::projects
