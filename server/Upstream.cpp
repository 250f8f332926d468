#include "server/Upstream.h"

#include <QHostAddress>

#include <algorithm>
#include <cctype>

namespace trevok {

namespace {

bool isIpv6Literal(const std::string& host) {
    return host.find(':') != std::string::npos;
}

bool iequalsAscii(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

bool isLoopbackName(std::string_view host) {
    static constexpr std::string_view kUnderLocalhost = ".localhost";
    return iequalsAscii(host, "localhost") ||
           (host.size() > kUnderLocalhost.size() &&
            iequalsAscii(host.substr(host.size() - kUnderLocalhost.size()), kUnderLocalhost)) ||
           host.rfind("127.", 0) == 0 || host == "[::1]";
}

} // namespace

std::string Upstream::urlHost() const {
    return isIpv6Literal(host) ? "[" + host + "]" : host;
}

std::string Upstream::hostField() const {
    const std::uint16_t schemePort = tls ? 443 : 80;
    return port == schemePort ? urlHost() : urlHost() + ":" + std::to_string(port);
}

bool Upstream::isLoopback() const {
    const QString name = QString::fromStdString(host).toLower();
    if (name == QLatin1String("localhost") || name.endsWith(QLatin1String(".localhost")))
        return true;
    const QHostAddress address(name);
    return !address.isNull() && address.isLoopback();
}

QString Upstream::display() const {
    return QStringLiteral("%1://%2:%3")
        .arg(tls ? QStringLiteral("https") : QStringLiteral("http"),
             QString::fromStdString(urlHost()))
        .arg(port);
}

std::optional<Upstream> upstreamFromUrl(const QUrl& url, QString* why) {
    auto refuse = [why](const QString& reason) -> std::optional<Upstream> {
        if (why)
            *why = reason;
        return std::nullopt;
    };
    if (!url.isValid())
        return refuse(
            QStringLiteral("The server's address is not a valid URL: %1.").arg(url.errorString()));
    const QString scheme = url.scheme().toLower();
    if (scheme != QLatin1String("http") && scheme != QLatin1String("https"))
        return refuse(QStringLiteral("The server's address must begin with http:// or https://."));
    if (!url.userInfo().isEmpty())
        return refuse(QStringLiteral("The server's address must not carry a name or password."));
    if (url.host().isEmpty())
        return refuse(QStringLiteral("The server's address names no host."));
    if (!url.path().isEmpty() && url.path() != QLatin1String("/"))
        return refuse(QStringLiteral("The server's address must not have a path."));
    if (url.hasQuery() || url.hasFragment())
        return refuse(QStringLiteral("The server's address must not have a query or fragment."));
    Upstream upstream;
    upstream.tls = scheme == QLatin1String("https");
    upstream.host = url.host(QUrl::FullyEncoded).toStdString();
    const int port = url.port(upstream.tls ? 443 : 80);
    if (port <= 0)
        return refuse(QStringLiteral("The server's address has no usable port."));
    upstream.port = std::uint16_t(port);
    return upstream;
}

std::optional<std::string> upstreamPath(std::string_view url, const Upstream& upstream) {
    const size_t schemeEnd = url.find("://");
    if (schemeEnd == std::string_view::npos ||
        url.substr(0, schemeEnd).find('/') != std::string_view::npos)
        return std::nullopt;
    const std::string_view rest = url.substr(schemeEnd + 3);
    const size_t authorityEnd = std::min(rest.find_first_of("/?#"), rest.size());
    std::string_view authority = rest.substr(0, authorityEnd);
    if (const size_t at = authority.rfind('@'); at != std::string_view::npos)
        authority.remove_prefix(at + 1);
    std::string_view host = authority;
    std::string_view port;
    const size_t bracket = authority.find(']');
    const size_t colon = authority.rfind(':');
    if (colon != std::string_view::npos && (bracket == std::string_view::npos || colon > bracket)) {
        host = authority.substr(0, colon);
        port = authority.substr(colon + 1);
    }
    // Any host on the port of a server elsewhere may be another site.
    const bool named = iequalsAscii(host, upstream.urlHost()) || isLoopbackName(host) ||
                       (upstream.isLoopback() && port == std::to_string(upstream.port));
    if (!named)
        return std::nullopt;
    std::string path(rest.substr(authorityEnd));
    // "//name" would be read as another host: one slash starts the path.
    const size_t slashes = std::min(path.find_first_not_of('/'), path.size());
    path.replace(0, slashes, "/");
    return path;
}

std::string withoutSecureAttribute(std::string_view setCookie) {
    std::string result;
    size_t start = 0;
    while (start <= setCookie.size()) {
        const size_t end = std::min(setCookie.find(';', start), setCookie.size());
        std::string_view part = setCookie.substr(start, end - start);
        std::string_view name = part;
        while (!name.empty() && (name.front() == ' ' || name.front() == '\t'))
            name.remove_prefix(1);
        while (!name.empty() && (name.back() == ' ' || name.back() == '\t'))
            name.remove_suffix(1);
        // The first part is the cookie itself, whatever its name.
        if (start == 0 || !iequalsAscii(name, "secure")) {
            if (start != 0)
                result += ';';
            result += part;
        }
        start = end + 1;
    }
    return result;
}

} // namespace trevok
