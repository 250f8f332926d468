#pragma once

#include <QString>
#include <QUrl>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace trevok {

// The server the sync listener forwards to: the bundled one on this machine
// by default, or a server elsewhere over HTTP or HTTPS. The host is as a
// resolver takes it (an IPv6 address without its brackets).
struct Upstream {
    bool tls = false;
    std::string host = "127.0.0.1";
    std::uint16_t port = 5984;

    // The Host field of a request to it: the host (an IPv6 address in
    // brackets) and the port when it is not the scheme's own.
    std::string hostField() const;
    // The host as a URL writes it.
    std::string urlHost() const;
    // localhost, a name under it, or a loopback address: the server runs on
    // this machine.
    bool isLoopback() const;
    // "https://host:port", for the log.
    QString display() const;

    bool operator==(const Upstream&) const = default;
};

// The upstream a URL names: "http" or "https", a host, the port or the
// scheme's own, and nothing else but an empty path or "/". nullopt, with the
// reason in `why`, for anything else: the listener forwards requests as the
// client wrote them, so a path prefix or credentials in the URL would be
// silently dropped.
std::optional<Upstream> upstreamFromUrl(const QUrl& url, QString* why = nullptr);

// The path (with query) that an absolute URL naming the upstream stands for;
// nullopt for a relative reference or a URL of somewhere else. The upstream
// builds such URLs from the Host field it was sent, which is the upstream's
// own name: a URL names it by that name, or by a loopback name (a server
// that names itself by its bind address, or the bundled server, which puts
// the host it was sent beside its own port), or, for an upstream on this
// machine, by its port under whatever host.
std::optional<std::string> upstreamPath(std::string_view url, const Upstream& upstream);

// A Set-Cookie value without its Secure attribute; the rest as it was.
std::string withoutSecureAttribute(std::string_view setCookie);

} // namespace trevok
