#include "server/ListenerAccess.h"

#include <QByteArray>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QRegularExpression>

#include <algorithm>
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
        const std::string name = first.substr(sizeof(kUserDatabasePrefix) - 1);
        return {ListenerRoute::UserDatabase,
                QString::fromUtf8(name.data(), qsizetype(name.size())),
                {}};
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

std::optional<CallerIdentity> callerIdentityFromSession(int status, std::string_view body) {
    const QJsonDocument doc =
        QJsonDocument::fromJson(QByteArray(body.data(), qsizetype(body.size())));
    if (status == 401 || status == 403) {
        CallerIdentity refused;
        refused.reason = doc.object().value(QStringLiteral("reason")).toString();
        if (refused.reason.isEmpty())
            refused.reason = QStringLiteral("Name or password is incorrect.");
        return refused;
    }
    if (status != 200 || !doc.isObject())
        return std::nullopt;
    const QJsonValue userCtxValue = doc.object().value(QStringLiteral("userCtx"));
    if (!userCtxValue.isObject())
        return std::nullopt;
    const QJsonObject userCtx = userCtxValue.toObject();
    const QJsonValue name = userCtx.value(QStringLiteral("name"));
    const QJsonValue roles = userCtx.value(QStringLiteral("roles"));
    CallerIdentity caller;
    caller.name = name.toString();
    const QString adminName =
        QString::fromLatin1(kServerAdminName.data(), qsizetype(kServerAdminName.size()));
    if ((roles.isArray() && roles.toArray().contains(QStringLiteral("_admin"))) ||
        (name.isString() && caller.name == adminName)) {
        caller.kind = CallerKind::Administrator;
    } else if (name.isNull() || name.isUndefined()) {
        caller.kind = CallerKind::Anonymous;
    } else if (name.isString() && !caller.name.isEmpty()) {
        caller.kind = CallerKind::User;
    } else {
        // A name the server should never give: not someone the listener knows.
        return std::nullopt;
    }
    return caller;
}

AccessDecision decideAccess(const ListenerTarget& target, const CallerIdentity& caller) {
    const auto refusal = [](int status, const char* error, QString reason) {
        return AccessDecision{status, error, std::move(reason), false, {}};
    };
    if (target.route == ListenerRoute::Malformed) {
        // The listener's reading of the request may already differ from the
        // client's; nothing more is read on this connection.
        AccessDecision decision = refusal(400, "bad_request", target.reason);
        decision.closesConnection = true;
        return decision;
    }
    if (target.route == ListenerRoute::Forbidden)
        return refusal(403, "forbidden", target.reason);
    switch (caller.kind) {
    case CallerKind::Administrator:
        return refusal(403, "forbidden",
                       QStringLiteral("The server administrator cannot sign in through the sync "
                                      "listener."));
    case CallerKind::Unresolved:
        return refusal(401, "unauthorized", caller.reason);
    case CallerKind::Anonymous:
    case CallerKind::User:
        break;
    }
    switch (target.route) {
    case ListenerRoute::Root:
    case ListenerRoute::Session:
    case ListenerRoute::Uuids:
        return {};
    case ListenerRoute::UserDatabase:
    case ListenerRoute::UsersDocument:
        if (caller.kind == CallerKind::Anonymous)
            return refusal(401, "unauthorized", QStringLiteral("Authentication required."));
        if (caller.name != target.userName)
            return refusal(403, "forbidden",
                           target.route == ListenerRoute::UserDatabase
                               ? QStringLiteral("Only your own user database is served here.")
                               : QStringLiteral("Only your own user document is served here."));
        return {};
    case ListenerRoute::Forbidden:
    case ListenerRoute::Malformed:
        break;
    }
    return refusal(403, "forbidden", QStringLiteral("The sync listener does not serve this."));
}

namespace {

const QString& serverAdminName() {
    static const QString name =
        QString::fromLatin1(kServerAdminName.data(), qsizetype(kServerAdminName.size()));
    return name;
}

AccessDecision closingRefusal(int status, const char* error, QString reason) {
    return AccessDecision{status, error, std::move(reason), true, {}};
}

const QString kAdministratorRefused =
    QStringLiteral("The server administrator cannot sign in through the sync listener.");

} // namespace

AccessDecision screenRequest(const ListenerRequest& request) {
    const ListenerTarget target = classifyListenerTarget(request.target);
    if (target.route == ListenerRoute::Malformed || target.route == ListenerRoute::Forbidden)
        return decideAccess(target, CallerIdentity{CallerKind::Anonymous, {}, {}});
    if (request.unsupportedFraming)
        return closingRefusal(400, "bad_request",
                              QStringLiteral("This request framing is not supported."));
    const std::vector<std::string_view> authorizations(request.authorizations.begin(),
                                                       request.authorizations.end());
    const std::vector<std::string_view> cookies(request.cookies.begin(), request.cookies.end());
    if (QString ambiguity = ambiguousCredentials(authorizations, cookies); !ambiguity.isEmpty())
        return AccessDecision{401, "unauthorized", std::move(ambiguity), false, {}};
    return {};
}

std::optional<RequestCredentials> credentialsToCheck(const ListenerRequest& request) {
    if (request.authorizations.empty() && request.cookies.empty())
        return std::nullopt;
    RequestCredentials credentials;
    if (!request.authorizations.empty())
        credentials.authorization = request.authorizations.front();
    if (!request.cookies.empty())
        credentials.cookie = request.cookies.front();
    return credentials;
}

AccessDecision decideAccess(const ListenerRequest& request,
                            const std::optional<CallerIdentity>& answer) {
    if (AccessDecision screened = screenRequest(request); !screened.forwarded())
        return screened;
    CallerIdentity caller{CallerKind::Anonymous, {}, {}};
    if (credentialsToCheck(request)) {
        if (!answer)
            return closingRefusal(502, "bad_gateway",
                                  QStringLiteral("The database server cannot tell who is "
                                                 "calling."));
        caller = *answer;
    }
    AccessDecision decision = decideAccess(classifyListenerTarget(request.target), caller);
    if (decision.forwarded() && caller.kind == CallerKind::User)
        decision.userName = caller.name;
    return decision;
}

bool isSessionLogin(const ListenerRequest& request) {
    return request.method == "POST" &&
           classifyListenerTarget(request.target).route == ListenerRoute::Session;
}

AccessDecision decideLogin(std::string_view contentType, std::string_view body) {
    const auto names = sessionLoginNames(contentType, body);
    if (!names)
        return closingRefusal(400, "bad_request", QStringLiteral("The login cannot be read."));
    if (std::find(names->begin(), names->end(), serverAdminName()) != names->end())
        return AccessDecision{403, "forbidden", kAdministratorRefused, false, {}};
    return {};
}

AccessDecision decideIssuedSession(const std::optional<CallerIdentity>& owner) {
    if (owner && owner->kind == CallerKind::User)
        return {};
    const bool admin = owner && owner->kind == CallerKind::Administrator;
    return closingRefusal(403, "forbidden",
                          admin ? kAdministratorRefused
                                : QStringLiteral("This session cannot be handed out here."));
}

namespace {

bool isTokenChar(char c) {
    const auto u = static_cast<unsigned char>(c);
    if (std::isalnum(u))
        return true;
    return std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
}

bool isToken68Char(char c) {
    const auto u = static_cast<unsigned char>(c);
    return std::isalnum(u) || std::string_view("-._~+/").find(c) != std::string_view::npos;
}

// RFC 6265 cookie-octet: visible ASCII without DQUOTE, comma, semicolon, backslash.
bool isCookieOctet(char c) {
    const auto u = static_cast<unsigned char>(c);
    return u > 0x20 && u < 0x7f && c != '"' && c != ',' && c != ';' && c != '\\';
}

// scheme SP token68: one plain reading, nothing a reader might skip or keep.
bool isPlainAuthorization(std::string_view value) {
    const size_t space = value.find(' ');
    if (space == 0 || space == std::string_view::npos)
        return false;
    const std::string_view scheme = value.substr(0, space);
    std::string_view credentials = value.substr(space + 1);
    if (!std::all_of(scheme.begin(), scheme.end(), isTokenChar))
        return false;
    while (!credentials.empty() && credentials.back() == '=')
        credentials.remove_suffix(1);
    return !credentials.empty() &&
           std::all_of(credentials.begin(), credentials.end(), isToken68Char);
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

// cookie-pair *( ";" [SP] cookie-pair ); counts the session cookies (by any
// letter case, as some reader might take them). False when malformed.
bool readPlainCookies(std::string_view header, int* sessions) {
    size_t pos = 0;
    while (true) {
        const size_t end = std::min(header.find(';', pos), header.size());
        const std::string_view pair = header.substr(pos, end - pos);
        const size_t eq = pair.find('=');
        if (eq == 0 || eq == std::string_view::npos)
            return false;
        const std::string_view name = pair.substr(0, eq);
        std::string_view value = pair.substr(eq + 1);
        if (!std::all_of(name.begin(), name.end(), isTokenChar))
            return false;
        if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
            value = value.substr(1, value.size() - 2);
        if (!std::all_of(value.begin(), value.end(), isCookieOctet))
            return false;
        if (equalsIgnoringCase(name, "AuthSession"))
            ++*sessions;
        if (end == header.size())
            return true;
        pos = end + 1;
        if (pos < header.size() && header[pos] == ' ')
            ++pos;
        if (pos >= header.size())
            return false; // a trailing separator
    }
}

} // namespace

QString ambiguousCredentials(const std::vector<std::string_view>& authorizations,
                             const std::vector<std::string_view>& cookies) {
    if (authorizations.size() > 1)
        return QStringLiteral("Credentials may be given only once.");
    if (cookies.size() > 1)
        return QStringLiteral("Cookies may be given in one Cookie field only.");
    if (!authorizations.empty() && !isPlainAuthorization(authorizations.front()))
        return QStringLiteral("The Authorization field is not in a plain form.");
    if (!cookies.empty()) {
        int sessions = 0;
        if (!readPlainCookies(cookies.front(), &sessions))
            return QStringLiteral("The Cookie field is not in a plain form.");
        if (sessions > 1)
            return QStringLiteral("Only one session cookie is accepted.");
    }
    return {};
}

std::optional<std::string> sessionCookieFromSetCookie(std::string_view setCookie) {
    const std::string_view pair = setCookie.substr(0, setCookie.find(';'));
    const size_t eq = pair.find('=');
    if (eq == std::string_view::npos)
        return std::nullopt;
    std::string_view name = pair.substr(0, eq);
    while (!name.empty() && (name.back() == ' ' || name.back() == '\t'))
        name.remove_suffix(1);
    while (!name.empty() && (name.front() == ' ' || name.front() == '\t'))
        name.remove_prefix(1);
    if (name != "AuthSession")
        return std::nullopt;
    std::string_view value = pair.substr(eq + 1);
    while (!value.empty() && (value.back() == ' ' || value.back() == '\t'))
        value.remove_suffix(1);
    while (!value.empty() && (value.front() == ' ' || value.front() == '\t'))
        value.remove_prefix(1);
    if (value.empty())
        return std::nullopt; // a logout clears the cookie
    return "AuthSession=" + std::string(value);
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
