#pragma once

#include <QString>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace trevok {

// What a request target addresses, as far as the sync listener cares. Only the
// routes a sync client needs are forwarded; the decision is made on the
// percent-decoded path, so that no encoding can smuggle in another resource.
enum class ListenerRoute {
    Root,          // "/"
    Session,       // "/_session"
    Uuids,         // "/_uuids"
    UserDatabase,  // "/trevok_user_db_<name>" and everything below it
    UsersDocument, // "/_users/org.couchdb.user:<name>" (only the caller's own)
    Forbidden,     // anything else
    Malformed,     // not an origin-form target, or broken percent-encoding
};

struct ListenerTarget {
    ListenerRoute route = ListenerRoute::Forbidden;
    // UsersDocument: the <name> the document belongs to; UserDatabase: the
    // <name> of the database "trevok_user_db_<name>".
    QString userName;
    QString reason; // Forbidden, Malformed: why, for the error reply
};

ListenerTarget classifyListenerTarget(std::string_view target);

// Who the server takes a caller for, as its own `GET /_session` says for the
// caller's credentials. The listener never reads credentials itself: any
// reading of its own could differ from the server's.
enum class CallerKind {
    Anonymous,     // no credentials, or credentials the server reads as none
    User,          // a named account without the "_admin" role
    Administrator, // the "_admin" role, or the server administrator's name
    Unresolved,    // the server refused the credentials
};

struct CallerIdentity {
    CallerKind kind = CallerKind::Unresolved;
    QString name;   // User, Administrator: the account name
    QString reason; // Unresolved: the server's words
};

// The caller from the server's answer (status and body) to `GET /_session`.
// nullopt when the answer is neither a session nor a refusal of the
// credentials (the server failed, or it answered something else).
std::optional<CallerIdentity> callerIdentityFromSession(int status, std::string_view body);

// What the listener does with a request.
struct AccessDecision {
    int status = 0; // 0: forward; otherwise the HTTP status of the refusal
    std::string error;
    QString reason;
    // A refusal after which the connection is not to carry another request:
    // what follows on it cannot be trusted to be read as the client meant.
    bool closesConnection = false;
    // Forwarded: the user the request goes upstream for ("" when anonymous).
    QString userName;
    bool forwarded() const { return status == 0; }
};

AccessDecision decideAccess(const ListenerTarget& target, const CallerIdentity& caller);

// A request as far as the listener decides on it, as the client sent it.
struct ListenerRequest {
    std::string method;
    std::string target;
    // The values of every Authorization and every Cookie field, in order.
    std::vector<std::string> authorizations;
    std::vector<std::string> cookies;
    // Framing the upstream might read otherwise than the listener did (a
    // Transfer-Encoding that does not end in chunked), or a protocol switch.
    bool unsupportedFraming = false;
};

// The credential fields the server is asked about: exactly those that go
// upstream with the request.
struct RequestCredentials {
    std::optional<std::string> authorization;
    std::optional<std::string> cookie;
};

// The part of the decision that needs no answer from the server: the target,
// the framing, and credentials that could be read in more than one way.
// forwarded() when the server is to be asked next.
AccessDecision screenRequest(const ListenerRequest& request);

// What to ask the server about; nullopt when the request carries no
// credentials, and its caller is anonymous without asking.
std::optional<RequestCredentials> credentialsToCheck(const ListenerRequest& request);

// The whole decision on `request`, given the server's answer about its
// credentials: nullopt when the server could not tell (a 502), not looked at
// when the request carries none.
AccessDecision decideAccess(const ListenerRequest& request,
                            const std::optional<CallerIdentity>& answer);

// POST /_session: a login, which names its account in the body.
bool isSessionLogin(const ListenerRequest& request);

// A login's body, forwarded or refused: the administrator's password is not to
// be tried from the network either.
AccessDecision decideLogin(std::string_view contentType, std::string_view body);

// The session a login opened, by the server's answer about whose it is: only
// a user's own session is handed out, whatever the login looked like.
AccessDecision decideIssuedSession(const std::optional<CallerIdentity>& owner);

// Why a request's credentials could be read in more than one way (several
// Authorization or Cookie fields, several session cookies, blanks or other
// unusual characters where a reader might skip or keep them); empty when
// there is one plain reading. The values are those of every Authorization
// and every Cookie field of the request.
QString ambiguousCredentials(const std::vector<std::string_view>& authorizations,
                             const std::vector<std::string_view>& cookies);

// The values of every AuthSession cookie in a Cookie header, in order.
std::vector<std::string> authSessionCookies(std::string_view cookieHeader);

// The session cookie a login answer sets ("AuthSession=<value>" of a
// Set-Cookie field), ready to be sent back as a Cookie field; nullopt when
// the field sets no session.
std::optional<std::string> sessionCookieFromSetCookie(std::string_view setCookie);

// The account names a login (POST /_session) names in its body: "name" and
// "username", every occurrence, from a JSON object or a form. nullopt when
// the body cannot be read as what its content type says.
std::optional<std::vector<QString>> sessionLoginNames(std::string_view contentType,
                                                      std::string_view body);

// The server administrator's account name, refused at the listener.
inline constexpr std::string_view kServerAdminName = "admin";

} // namespace trevok
