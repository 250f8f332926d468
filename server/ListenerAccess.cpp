#include "server/ListenerAccess.h"

#include <QByteArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QRegularExpression>

#include <cctype>
#include <vector>

namespace trevok {

namespace {

const char kUserDatabasePrefix[] = "trevok_user_db_";
const char kUsersDocumentPrefix[] = "org.couchdb.user:";

int hexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Percent-decodes one path segment; nullopt when an escape is broken.
std::optional<std::string> decodeSegment(std::string_view raw) {
    std::string out;
    out.reserve(raw.size());
    for (size_t i = 0; i < raw.size(); ++i) {
        if (raw[i] != '%') {
            out += raw[i];
            continue;
        }
        if (i + 2 >= raw.size())
            return std::nullopt;
        const int hi = hexValue(raw[i + 1]);
        const int lo = hexValue(raw[i + 2]);
        if (hi < 0 || lo < 0)
            return std::nullopt;
        out += char(hi * 16 + lo);
        i += 2;
    }
    return out;
}

ListenerTarget forbidden(const char* reason) {
    return {ListenerRoute::Forbidden, {}, QString::fromUtf8(reason)};
}

ListenerTarget malformed(const char* reason) {
    return {ListenerRoute::Malformed, {}, QString::fromUtf8(reason)};
}

bool isValidUserDatabaseName(const std::string& name) {
    // The server's own rule for database names, less "/" (which would make
    // the first segment address something else once decoded).
    static const QRegularExpression rule(QStringLiteral("^trevok_user_db_[a-z0-9_$()+-]+$"));
    return rule.match(QString::fromLatin1(name.data(), qsizetype(name.size()))).hasMatch();
}

} // namespace

ListenerTarget classifyListenerTarget(std::string_view target) {
    if (target.empty() || target.front() != '/')
        return malformed("The request target must be a path.");
    if (target.find('#') != std::string_view::npos)
        return malformed("The request target holds a fragment.");
    for (const char c : target) {
        if (static_cast<unsigned char>(c) <= 0x20 || c == 0x7f)
            return malformed("The request target holds a control character.");
    }
    const std::string_view path = target.substr(0, target.find('?'));

    std::vector<std::string> segments;
    size_t start = 1;
    while (true) {
        const size_t slash = path.find('/', start);
        const std::string_view raw = path.substr(
            start, slash == std::string_view::npos ? std::string_view::npos : slash - start);
        const auto decoded = decodeSegment(raw);
        if (!decoded)
            return malformed("The request path has a broken percent-encoding.");
        segments.push_back(*decoded);
        if (slash == std::string_view::npos)
            break;
        start = slash + 1;
    }
    // "/a/" ends in an empty segment; that is the same resource as "/a".
    if (segments.size() > 1 && segments.back().empty())
        segments.pop_back();
    for (const std::string& s : segments) {
        if (s == "." || s == "..")
            return forbidden("Relative path segments are not accepted.");
        if (s.find('\0') != std::string::npos)
            return forbidden("The request path holds a NUL character.");
    }

    const std::string& first = segments.front();
    if (segments.size() == 1) {
        if (first.empty())
            return {ListenerRoute::Root, {}, {}};
        if (first == "_session")
            return {ListenerRoute::Session, {}, {}};
        if (first == "_uuids")
            return {ListenerRoute::Uuids, {}, {}};
    }
    if (first.rfind(kUserDatabasePrefix, 0) == 0) {
        if (!isValidUserDatabaseName(first))
            return forbidden("This is not a user database.");
        for (size_t i = 1; i < segments.size(); ++i) {
            if (segments[i].empty())
                return forbidden("Empty path segments are not accepted.");
        }
        return {ListenerRoute::UserDatabase, {}, {}};
    }
    if (first == "_users" && segments.size() == 2 &&
        segments[1].rfind(kUsersDocumentPrefix, 0) == 0 &&
        segments[1].size() > sizeof(kUsersDocumentPrefix) - 1) {
        const std::string name = segments[1].substr(sizeof(kUsersDocumentPrefix) - 1);
        return {ListenerRoute::UsersDocument,
                QString::fromUtf8(name.data(), qsizetype(name.size())),
                {}};
    }
    return forbidden("The sync listener does not serve this resource.");
}

std::optional<QString> basicAuthUser(std::string_view authorization) {
    const std::string_view scheme = "basic ";
    if (authorization.size() <= scheme.size())
        return std::nullopt;
    for (size_t i = 0; i < scheme.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(authorization[i])) != scheme[i])
            return std::nullopt;
    }
    QByteArray encoded(authorization.data() + scheme.size(),
                       qsizetype(authorization.size() - scheme.size()));
    const auto result =
        QByteArray::fromBase64Encoding(encoded.trimmed(), QByteArray::AbortOnBase64DecodingErrors);
    if (!result)
        return std::nullopt;
    const QByteArray& credentials = result.decoded;
    const qsizetype colon = credentials.indexOf(':');
    if (colon < 0)
        return std::nullopt;
    return QString::fromUtf8(credentials.left(colon));
}

std::vector<std::string> authSessionCookies(std::string_view cookieHeader) {
    std::vector<std::string> values;
    size_t pos = 0;
    while (pos < cookieHeader.size()) {
        size_t end = cookieHeader.find(';', pos);
        if (end == std::string_view::npos)
            end = cookieHeader.size();
        std::string_view pair = cookieHeader.substr(pos, end - pos);
        while (!pair.empty() && (pair.front() == ' ' || pair.front() == '\t'))
            pair.remove_prefix(1);
        const std::string_view name = "AuthSession=";
        if (pair.substr(0, name.size()) == name)
            values.emplace_back(pair.substr(name.size()));
        pos = end + 1;
    }
    return values;
}

std::optional<std::vector<QString>> sessionLoginNames(std::string_view contentType,
                                                      std::string_view body) {
    const QByteArray type =
        QByteArray(contentType.data(), qsizetype(contentType.size())).trimmed().toLower();
    const QByteArray bytes(body.data(), qsizetype(body.size()));
    std::vector<QString> names;
    if (type.startsWith("application/json")) {
        QJsonParseError error{};
        const QJsonDocument doc = QJsonDocument::fromJson(bytes, &error);
        if (error.error != QJsonParseError::NoError || !doc.isObject())
            return std::nullopt;
        for (const QString& key : {QStringLiteral("name"), QStringLiteral("username")}) {
            const QJsonValue value = doc.object().value(key);
            if (!value.isUndefined())
                names.push_back(value.isString() ? value.toString() : QStringLiteral("?"));
        }
        return names;
    }
    // Forms, and whatever else the server might read as one.
    for (const QByteArray& pair : bytes.split('&')) {
        const qsizetype eq = pair.indexOf('=');
        QByteArray key = eq < 0 ? pair : pair.left(eq);
        QByteArray value = eq < 0 ? QByteArray() : pair.mid(eq + 1);
        key.replace('+', ' ');
        value.replace('+', ' ');
        key = QByteArray::fromPercentEncoding(key);
        if (key == "name" || key == "username")
            names.push_back(QString::fromUtf8(QByteArray::fromPercentEncoding(value)));
    }
    return names;
}

} // namespace trevok
