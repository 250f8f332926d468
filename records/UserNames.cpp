#include "records/UserNames.h"

#include "store/CouchDatabase.h"

#include <QJsonArray>
#include <QJsonDocument>

namespace trevok::users {

QString userDocumentID(const QString& userName) {
    return QStringLiteral("org.couchdb.user:") + userName;
}

QString userDatabaseName(const QString& userName) {
    return QStringLiteral("trevok_user_db_") + userName;
}

QString userToMasterFilterReference() {
    return QLatin1String(kSecurityDesignName) + QLatin1Char('/') +
           QLatin1String(kUserToMasterFilterName);
}

// Design documents stay home: every user's "security" would otherwise be
// carried into the master database, each new one replacing the last. The
// console's own records travel only from the project databases: a copy that
// comes back from a member is never news, and one that differs is forged.
QString userToMasterFilterSource() {
    return QStringLiteral("function(doc, req) {if (doc._id.indexOf('_design/') === 0) { return "
                          "false; }{if (doc._id === 'trevokMasterID' || doc.type == "
                          "'ProjectInfoDoc' || doc.type == 'SecretProjectInfoDoc') { return "
                          "false; }}{if (doc._deleted) { return true; }};{if (doc.type == "
                          "'UserInfoDoc') { return false; } else { return true; }}}");
}

// The user's own writes (never the administrator's or the server's
// replications) may carry only his projects' ids, may not touch what the
// console writes, and may not hide data in a deletion: every filter passes
// deletions on. `projects` is a JSON array of the ids, between head and tail.
const QString kAccessValidationHead =
    QStringLiteral("function(newDoc, oldDoc, userCtx) { var projects = ");
const QString kAccessValidationTail = QStringLiteral(
    "; if (userCtx && userCtx.roles && userCtx.roles.indexOf('_admin') !== -1) { return; } "
    "var id = newDoc._id; "
    "if (id.indexOf('_design/') === 0) { throw({forbidden: 'design documents are written by "
    "the server only'}); } "
    "if (id === 'trevokMasterID' || projects.indexOf(id) !== -1) { throw({forbidden: 'the "
    "document ' + id + ' is written by the server only'}); } "
    "var docs = [newDoc, oldDoc]; "
    "for (var i = 0; i < docs.length; i++) { var doc = docs[i]; if (!doc) { continue; } "
    "if (doc.type == 'ProjectInfoDoc' || doc.type == 'SecretProjectInfoDoc') { "
    "throw({forbidden: 'project records are written by the server only'}); } "
    "var p = doc.projectID; if (p === undefined || p === null) { continue; } "
    "if (typeof p !== 'string') { throw({forbidden: 'projectID must be the text of a project "
    "id'}); } "
    "if (projects.indexOf(p) === -1) { throw({forbidden: 'not a member of project ' + p}); } } "
    "if (newDoc._deleted) { for (var key in newDoc) { if (key !== '_id' && key !== '_rev' && "
    "key !== '_deleted' && key !== '_revisions') { throw({forbidden: 'a deletion carries no "
    "data, but this one has ' + key}); } } } }");

QString userAccessValidation(QStringList projectIDs) {
    projectIDs.sort();
    projectIDs.removeDuplicates();
    // A JSON array of strings is a JavaScript array literal of the same
    // strings: no id can end the literal or add code.
    const QString projects = QString::fromUtf8(
        QJsonDocument(QJsonArray::fromStringList(projectIDs)).toJson(QJsonDocument::Compact));
    return kAccessValidationHead + projects + kAccessValidationTail;
}

namespace {
// Sets `object[key]` to `value`; whether it differed.
bool setMember(QJsonObject& object, const QString& key, const QJsonValue& value) {
    if (object.value(key) == value)
        return false;
    object.insert(key, value);
    return true;
}
} // namespace

bool applyUserDesign(QJsonObject& body, const QString& userName, const QStringList& projectIDs) {
    QJsonObject views = body.value(QStringLiteral("views")).toObject();
    QJsonObject filters = body.value(QStringLiteral("filters")).toObject();
    bool changed = setMember(views, QLatin1String(kValidateViewName),
                             QJsonObject{{QStringLiteral("map"), validateDocUpdateMap(userName)}});
    changed |=
        setMember(filters, QLatin1String(kUserToMasterFilterName), userToMasterFilterSource());
    changed |= setMember(body, QStringLiteral("views"), views);
    changed |= setMember(body, QStringLiteral("filters"), filters);
    changed |=
        setMember(body, QLatin1String(kValidationMemberName), userAccessValidation(projectIDs));
    return changed;
}

QString javaScriptStringContent(const QString& text) {
    QString escaped;
    escaped.reserve(text.size());
    for (const QChar c : text) {
        switch (c.unicode()) {
        case '\\':
            escaped += QStringLiteral("\\\\");
            break;
        case '"':
            escaped += QStringLiteral("\\\"");
            break;
        case '\n':
            escaped += QStringLiteral("\\n");
            break;
        case '\r':
            escaped += QStringLiteral("\\r");
            break;
        case '\t':
            escaped += QStringLiteral("\\t");
            break;
        default:
            // Other control characters and the two Unicode line breaks end a
            // string literal or a line; they are written as escapes.
            if (c.unicode() < 0x20 || c.unicode() == 0x2028 || c.unicode() == 0x2029 ||
                c.unicode() == 0x7f)
                escaped += QStringLiteral("\\u%1").arg(c.unicode(), 4, 16, QLatin1Char('0'));
            else
                escaped += c;
        }
    }
    return escaped;
}

// The function is closed after the `if` block: a server that compiles every
// function of a design document when it is written refuses the whole
// document over an open one. A database that still holds the open text gets
// this one at the next login, as its view then differs.
QString validateDocUpdateMap(const QString& userName) {
    return QStringLiteral(
               "function(new_doc, old_doc, userCtx) { if(!userCtx || userCtx.name != \"") +
           javaScriptStringContent(userName) +
           QStringLiteral("\") { throw({forbidden: \"Bad user\"});}}");
}

QJsonObject userDatabaseSecurity(const QString& userName) {
    return QJsonObject{
        {QStringLiteral("admins"), QJsonObject{{QStringLiteral("names"), QJsonArray()},
                                               {QStringLiteral("roles"), QJsonArray()}}},
        {QStringLiteral("readers"), QJsonObject{{QStringLiteral("names"), QJsonArray{userName}},
                                                {QStringLiteral("roles"), QJsonArray()}}},
    };
}

bool isValidDatabaseName(const QString& name) {
    // The store leaves names of the server's own databases to the server; a
    // user's database is never one of them.
    return !name.startsWith(QLatin1Char('_')) && CouchDatabase::isValidName(name);
}

} // namespace trevok::users
