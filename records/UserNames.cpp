#include "records/UserNames.h"

#include "store/CouchDatabase.h"

#include <QJsonArray>

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
// carried into the master database, each new one replacing the last.
QString userToMasterFilterSource() {
    return QStringLiteral("function(doc, req) {if (doc._id.indexOf('_design/') === 0) { return "
                          "false; }{if (doc._deleted) { return true; }};{if (doc.type == "
                          "'UserInfoDoc') { return false; } else { return true; }}}");
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

QString validateDocUpdateMap(const QString& userName) {
    return QStringLiteral(
               "function(new_doc, old_doc, userCtx) { if(!userCtx || userCtx.name != \"") +
           javaScriptStringContent(userName) +
           QStringLiteral("\") { throw({forbidden: \"Bad user\"});}");
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
