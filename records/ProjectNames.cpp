#include "records/ProjectNames.h"

#include <QJsonValue>

namespace trevok::projects {

QString projectToMasterFilterReference() {
    return QLatin1String(kProjectMetaDesignName) + QLatin1Char('/') +
           QLatin1String(kProjectToMasterFilterName);
}

QString projectToUserFilterReference() {
    return QLatin1String(kProjectMetaDesignName) + QLatin1Char('/') +
           QLatin1String(kProjectToUserFilterName);
}

QString masterToProjectFilterReference(const QString& stem) {
    return stem + QLatin1Char('/') + QLatin1String(kMasterToProjectFilterName);
}

QString databaseStem(const QString& title) {
    // Compatibility decomposition splits "é" into "e" and a combining accent
    // (and "ﬁ" into "fi"); what is left outside a-z and 0-9 is dropped.
    const QString decomposed = title.normalized(QString::NormalizationForm_KD);
    QString stem;
    stem.reserve(decomposed.size());
    for (const QChar c : decomposed) {
        const char16_t u = c.unicode();
        if ((u >= u'a' && u <= u'z') || (u >= u'0' && u <= u'9'))
            stem.append(c);
        else if (u >= u'A' && u <= u'Z')
            stem.append(QChar(char16_t(u - u'A' + u'a')));
    }
    return stem;
}

QString projectDatabaseName(const QString& stem) {
    return QStringLiteral("trevok_project_") + stem;
}

QString archiveDatabaseName(const QString& stem) {
    return QStringLiteral("archived_trevok_project_") + stem;
}

bool isReservedStem(const QString& stem) {
    return stem == QLatin1String("projectmeta") || stem == QLatin1String("meta");
}

// Passes every document but design documents: the project database's
// "projectmeta" would otherwise replace the master database's document of the
// same ID, and with it the view that lists the projects.
const QString kProjectToMasterFilter = QStringLiteral(
    "function(doc, req) {if (doc._id.indexOf('_design/') === 0) { return false; }{if "
    "(doc._deleted) { return true; }};{if (doc.type == 'ProjectInfoDoc') { return true; } else "
    "{ return true; }}}");
const QString kProjectInfoMap =
    QStringLiteral("function(doc){if (doc.type ===\"ProjectInfoDoc\") emit(doc.title, doc);};");
// Design documents stay home for the same reason: a member's database would
// take the project's "projectmeta" and hand it on to the master database.
const QString kProjectToUserFilter = QStringLiteral(
    "function(doc, req) {if (doc._id.indexOf('_design/') === 0) { return false; }{if "
    "(doc._deleted) { return true }}; {if (doc.type == 'SecretProjectInfoDoc') { return false; } "
    "else { return true; }}}");
const QString kProjectAllProjectsMap =
    QStringLiteral("function(doc){if (doc.type === 'ProjectInfoDoc') emit(doc.projectID, doc);};");

QString masterToProjectFilter(const QString& projectID) {
    return QStringLiteral("function(doc, req) {{if (doc._deleted) { return true; }};{if "
                          "(doc.projectID == \"") +
           projectID + QStringLiteral("\") { return true; } else { return false }}}");
}

QString allMembersMap(const QString& projectID) {
    return QStringLiteral("function(doc){if(doc.projectID === '") + projectID +
           QStringLiteral("') emit(doc._id, doc);};");
}

QJsonObject projectPropertiesToSave(QJsonObject body, bool hasChanges, const QDateTime& now,
                                    const QString& serverID, const QString& documentID) {
    const QString nowText = now.toUTC().toString(Qt::ISODateWithMs);
    const auto fill = [&body, &hasChanges](const QString& key, const QJsonValue& value) {
        if (body.contains(key) && !body.value(key).isNull())
            return;
        if (value.isUndefined())
            return;
        body.insert(key, value);
        hasChanges = true;
    };
    fill(QStringLiteral("serverID"),
         serverID.isNull() ? QJsonValue(QJsonValue::Undefined) : QJsonValue(serverID));
    fill(QStringLiteral("created_at"), nowText);
    fill(QStringLiteral("type"), QStringLiteral("ProjectInfoDoc"));
    fill(QStringLiteral("bVersion"), QStringLiteral("1.1"));
    if (body.value(QStringLiteral("archived")) != QJsonValue(true) &&
        body.value(QStringLiteral("archived")) != QJsonValue(false)) {
        body.insert(QStringLiteral("archived"), false);
        hasChanges = true;
    }
    if (hasChanges)
        body.insert(QStringLiteral("changed_at"), nowText);
    fill(QStringLiteral("projectID"),
         documentID.isEmpty() ? QJsonValue(QJsonValue::Undefined) : QJsonValue(documentID));
    return body;
}

std::optional<QStringList> membersAdding(const QStringList& members, const QString& userName) {
    if (members.contains(userName, Qt::CaseSensitive))
        return std::nullopt;
    QStringList next = members;
    next.append(userName);
    return next;
}

QStringList membersRemoving(const QStringList& members, const QString& userName) {
    QStringList next;
    for (const QString& member : members) {
        if (member != userName)
            next.append(member);
    }
    return next;
}

QVariantMap memberFullNameEntry(const QJsonValue& firstName, const QJsonValue& lastName) {
    QVariantMap entry;
    if (!firstName.isString())
        return entry;
    entry.insert(QStringLiteral("FirstName"), firstName.toString());
    if (lastName.isString())
        entry.insert(QStringLiteral("LastName"), lastName.toString());
    return entry;
}

bool passesListPredicate(const QString& predicate, const QJsonObject& record) {
    const QStringList parts = predicate.simplified().split(QLatin1Char(' '));
    if (parts.size() != 3 || parts.at(1) != QLatin1String("=="))
        return true;
    bool wanted;
    if (parts.at(2) == QLatin1String("NO"))
        wanted = false;
    else if (parts.at(2) == QLatin1String("YES"))
        wanted = true;
    else
        return true;
    const QJsonValue value = record.value(parts.at(0));
    // Absent counts as NO; the deletion notice's number 1 counts as YES.
    bool actual = false;
    if (value.isBool())
        actual = value.toBool();
    else if (value.isDouble())
        actual = value.toDouble() != 0;
    else if (!value.isUndefined() && !value.isNull())
        actual = true;
    return actual == wanted;
}

int revisionGeneration(const QJsonObject& body) {
    const QString rev = body.value(QStringLiteral("_rev")).toString();
    bool ok = false;
    const int generation = rev.section(QLatin1Char('-'), 0, 0).toInt(&ok);
    return ok ? generation : 0;
}

} // namespace trevok::projects
