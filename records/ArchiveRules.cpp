#include "records/ArchiveRules.h"

#include "records/ProjectNames.h"

namespace trevok::projects {

QJsonObject deletionNoticeBody(const QString& title, const QString& serverID) {
    QJsonObject body;
    body.insert(QStringLiteral("title"), QString(title + QStringLiteral(" DeletionNotice")));
    body.insert(QStringLiteral("type"), QStringLiteral("ProjectInfoDoc"));
    body.insert(QStringLiteral("wasDeleted"), 1);
    if (!serverID.isNull())
        body.insert(QStringLiteral("serverID"), serverID);
    return body;
}

QJsonObject emptiedBody(QJsonObject body) {
    if (body.value(QStringLiteral("type")).toString() == QLatin1String("ProjectInfoDoc"))
        body.insert(QStringLiteral("wasDeleted"), !body.contains(QStringLiteral("archived")));
    else
        body = deletionBody(body);
    return body;
}

QJsonObject deletionBody(const QJsonObject& body) {
    QJsonObject deletion{{QStringLiteral("_deleted"), true}};
    if (body.contains(QStringLiteral("projectID")))
        deletion.insert(QStringLiteral("projectID"), body.value(QStringLiteral("projectID")));
    return deletion;
}

bool isUsableStem(const QString& stem) {
    return !stem.isEmpty() && databaseStem(stem) == stem && !isReservedStem(stem);
}

bool isUsableProjectID(const QString& projectID) {
    if (projectID.isEmpty())
        return false;
    for (const QChar c : projectID) {
        const char16_t u = c.unicode();
        const bool allowed = (u >= u'a' && u <= u'z') || (u >= u'A' && u <= u'Z') ||
                             (u >= u'0' && u <= u'9') || u == u'-';
        if (!allowed)
            return false;
    }
    return true;
}

} // namespace trevok::projects
