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
    QString userName; // UsersDocument: the <name> the document belongs to
    QString reason;   // Forbidden, Malformed: why, for the error reply
};

ListenerTarget classifyListenerTarget(std::string_view target);

// The user name of a "Basic" Authorization header (nullopt for other schemes
// or a header that does not decode).
std::optional<QString> basicAuthUser(std::string_view authorization);

// The values of every AuthSession cookie in a Cookie header, in order.
std::vector<std::string> authSessionCookies(std::string_view cookieHeader);

// The account names a login (POST /_session) names in its body: "name" and
// "username", every occurrence, from a JSON object or a form. nullopt when
// the body cannot be read as what its content type says.
std::optional<std::vector<QString>> sessionLoginNames(std::string_view contentType,
                                                      std::string_view body);

// The server administrator's account name, refused at the listener.
inline constexpr std::string_view kServerAdminName = "admin";

} // namespace trevok
