#include "server/SyncRelay.h"

#include "server/IdentityCache.h"
#include "server/LastSeen.h"
#include "server/ListenerAccess.h"

#include <QDateTime>
#include <QJsonDocument>
#include <QJsonObject>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/v6_only.hpp>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <limits>
#include <optional>
#include <thread>
#include <unordered_map>
#include <vector>

namespace trevok {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = net::ip::tcp;
using beast::error_code;
using namespace listener_limits;

namespace {

constexpr auto kUnlimitedBody = std::numeric_limits<std::uint64_t>::max();

std::string_view sv(beast::string_view s) {
    return {s.data(), s.size()};
}

auto tokenFor(error_code& ec) {
    return net::redirect_error(net::use_awaitable, ec);
}

// Connections being served, in all and per client address.
struct ConnectionCounts {
    std::atomic<int> active{0};
    // Touched on the listener's thread only (and by the slots of coroutines
    // destroyed with the I/O context, after that thread has ended).
    std::unordered_map<std::string, int> perAddress;
};

// Counts a connection from its accept to the end of its coroutine.
class ConnectionSlot {
public:
    ConnectionSlot(ConnectionCounts& counts, std::string address)
        : m_counts(&counts)
        , m_address(std::move(address)) {
        ++m_counts->active;
        ++m_counts->perAddress[m_address];
    }
    ConnectionSlot(ConnectionSlot&& other) noexcept
        : m_counts(std::exchange(other.m_counts, nullptr))
        , m_address(std::move(other.m_address)) {}
    ConnectionSlot(const ConnectionSlot&) = delete;
    ConnectionSlot& operator=(const ConnectionSlot&) = delete;
    ConnectionSlot& operator=(ConnectionSlot&&) = delete;
    ~ConnectionSlot() {
        if (!m_counts)
            return;
        --m_counts->active;
        const auto it = m_counts->perAddress.find(m_address);
        if (it != m_counts->perAddress.end() && --it->second <= 0)
            m_counts->perAddress.erase(it);
    }

private:
    ConnectionCounts* m_counts;
    std::string m_address;
};

// One key per client host: an IPv4 client reached through the IPv6 socket
// counts as the IPv4 address it is.
std::string addressKey(const tcp::endpoint& endpoint) {
    net::ip::address address = endpoint.address();
    if (address.is_v6() && address.to_v6().is_v4_mapped())
        address = net::ip::make_address_v4(net::ip::v4_mapped, address.to_v6());
    return address.to_string();
}

// A kept-alive connection to the upstream, reused while the upstream keeps it.
struct Upstream {
    std::optional<beast::tcp_stream> stream;
    beast::flat_buffer buffer;

    void reset() {
        if (stream) {
            error_code ignored;
            stream->socket().close(ignored);
        }
        stream.reset();
        buffer.clear();
    }

    // The upstream closes idle connections on its own schedule; a connection
    // it has closed (or that holds unexpected bytes) must not carry a request.
    bool usable() {
        if (!stream || !stream->socket().is_open())
            return false;
        char c;
        const ssize_t n = ::recv(stream->socket().native_handle(), &c, 1, MSG_PEEK | MSG_DONTWAIT);
        return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
    }
};

std::string errorBody(std::string_view error, const QString& reason) {
    QJsonObject object;
    object.insert(QStringLiteral("error"),
                  QString::fromUtf8(error.data(), qsizetype(error.size())));
    object.insert(QStringLiteral("reason"), reason);
    return QJsonDocument(object).toJson(QJsonDocument::Compact).toStdString() + "\n";
}

bool isProtocolError(const error_code& ec) {
    return ec.category() == http::make_error_code(http::error::bad_method).category() &&
           ec != http::error::end_of_stream && ec != http::error::partial_message;
}

} // namespace

struct SyncRelay::Impl {
    Impl(const ListenerLimits& l, std::shared_ptr<LastSeenRecorder> seen)
        : limits(l)
        , lastSeen(std::move(seen))
        , identities(l.identityLifetime, kMaxCachedIdentities) {}

    const ListenerLimits limits;
    const std::shared_ptr<LastSeenRecorder> lastSeen;
    // Declared before the I/O context: destroying the context destroys the
    // coroutines still suspended in it, and their slots count down here.
    ConnectionCounts counts;
    IdentityCache identities;
    net::io_context io{1};
    net::executor_work_guard<net::io_context::executor_type> work{io.get_executor()};
    tcp::acceptor acceptor{io};
    tcp::endpoint upstream;
    std::thread thread;
    std::uint16_t port = 0;

    net::awaitable<void> acceptLoop();
    net::awaitable<void> serve(tcp::socket socket, ConnectionSlot slot);
    net::awaitable<bool> forward(beast::tcp_stream& client, beast::flat_buffer& clientBuffer,
                                 http::request_parser<http::buffer_body>& request, Upstream& up,
                                 const std::optional<std::string>& bufferedBody, bool isLogin);
    net::awaitable<bool> sendContinueIfExpected(beast::tcp_stream& client,
                                                http::request_parser<http::buffer_body>& parser);
    net::awaitable<std::optional<std::string>>
    readSmallBody(beast::tcp_stream& client, beast::flat_buffer& clientBuffer,
                  http::request_parser<http::buffer_body>& parser, std::size_t limit);
    net::awaitable<std::optional<CallerIdentity>> identify(std::optional<std::string> authorization,
                                                           std::optional<std::string> cookie);
    net::awaitable<bool> connectUpstream(Upstream& up);
    net::awaitable<void> sendError(beast::tcp_stream& stream, http::status status, unsigned version,
                                   bool keepAlive, std::string_view error, const QString& reason);
    net::awaitable<void> closeGracefully(beast::tcp_stream& stream);

    template <bool isRequest>
    net::awaitable<error_code>
    relayBody(beast::tcp_stream& from, beast::flat_buffer& fromBuffer,
              http::parser<isRequest, http::buffer_body>& parser, beast::tcp_stream& to,
              std::chrono::steady_clock::duration readTimeout, bool& failedOnRead);
};

net::awaitable<void> SyncRelay::Impl::acceptLoop() {
    net::steady_timer backoff(io);
    for (;;) {
        error_code ec;
        tcp::socket socket = co_await acceptor.async_accept(tokenFor(ec));
        if (ec) {
            if (ec == net::error::operation_aborted || !acceptor.is_open())
                co_return;
            // Out of descriptors and the like: wait instead of spinning.
            backoff.expires_after(std::chrono::milliseconds(100));
            co_await backoff.async_wait(tokenFor(ec));
            continue;
        }
        const tcp::endpoint peer = socket.remote_endpoint(ec);
        if (ec) {
            socket.close(ec);
            continue;
        }
        std::string address = addressKey(peer);
        const auto it = counts.perAddress.find(address);
        if (counts.active.load() >= limits.maxConnections ||
            (it != counts.perAddress.end() && it->second >= limits.maxConnectionsPerAddress)) {
            socket.close(ec);
            continue;
        }
        socket.set_option(tcp::no_delay(true), ec);
        net::co_spawn(io, serve(std::move(socket), ConnectionSlot(counts, std::move(address))),
                      net::detached);
    }
}

net::awaitable<void> SyncRelay::Impl::sendError(beast::tcp_stream& stream, http::status status,
                                                unsigned version, bool keepAlive,
                                                std::string_view error, const QString& reason) {
    http::response<http::string_body> res{status, version};
    res.set(http::field::content_type, "application/json");
    res.set(http::field::cache_control, "must-revalidate");
    res.keep_alive(keepAlive);
    res.body() = errorBody(error, reason);
    res.prepare_payload();
    error_code ec;
    stream.expires_after(kWriteTimeout);
    co_await http::async_write(stream, res, tokenFor(ec));
}

// After an error reply on a request we did not read to its end: stop sending,
// then take what the peer still sends for a moment, so that closing does not
// reset the connection before the peer has read the reply.
net::awaitable<void> SyncRelay::Impl::closeGracefully(beast::tcp_stream& stream) {
    error_code ec;
    stream.socket().shutdown(tcp::socket::shutdown_send, ec);
    std::array<char, 4096> sink;
    std::size_t drained = 0;
    stream.expires_after(std::chrono::seconds(1));
    while (!ec && drained < 1024 * 1024) {
        drained += co_await stream.async_read_some(net::buffer(sink), tokenFor(ec));
    }
    stream.socket().close(ec);
}

template <bool isRequest>
net::awaitable<error_code>
SyncRelay::Impl::relayBody(beast::tcp_stream& from, beast::flat_buffer& fromBuffer,
                           http::parser<isRequest, http::buffer_body>& parser,
                           beast::tcp_stream& to, std::chrono::steady_clock::duration readTimeout,
                           bool& failedOnRead) {
    std::array<char, kRelayChunkBytes> chunk;
    http::serializer<isRequest, http::buffer_body> serializer{parser.get()};
    error_code ec;
    failedOnRead = false;
    do {
        auto& body = parser.get().body();
        if (!parser.is_done()) {
            body.data = chunk.data();
            body.size = chunk.size();
            from.expires_after(readTimeout);
            co_await http::async_read_some(from, fromBuffer, parser, tokenFor(ec));
            if (ec == http::error::need_buffer)
                ec = {};
            if (ec) {
                failedOnRead = true;
                co_return ec;
            }
            body.size = chunk.size() - body.size;
            // A chunk header alone yields no bytes; an empty buffer would be
            // written as the final, empty chunk and end the body early.
            body.data = body.size ? chunk.data() : nullptr;
            body.more = !parser.is_done();
        } else {
            body.data = nullptr;
            body.size = 0;
            body.more = false;
        }
        to.expires_after(kWriteTimeout);
        co_await http::async_write(to, serializer, tokenFor(ec));
        if (ec == http::error::need_buffer)
            ec = {};
        if (ec)
            co_return ec;
    } while (!parser.is_done() || !serializer.is_done());
    co_return ec;
}

net::awaitable<bool> SyncRelay::Impl::connectUpstream(Upstream& up) {
    up.reset();
    up.stream.emplace(io);
    error_code ec;
    up.stream->expires_after(kUpstreamConnectTimeout);
    co_await up.stream->async_connect(upstream, tokenFor(ec));
    if (ec) {
        up.reset();
        co_return false;
    }
    up.stream->socket().set_option(tcp::no_delay(true), ec);
    co_return true;
}

// Who the server takes these credentials for: its own `GET /_session` with
// exactly the caller's credential fields. nullopt when the server cannot tell.
net::awaitable<std::optional<CallerIdentity>>
SyncRelay::Impl::identify(std::optional<std::string> authorization,
                          std::optional<std::string> cookie) {
    const std::string key = IdentityCache::keyFor(authorization, cookie);
    const auto now = IdentityCache::Clock::now();
    if (auto known = identities.find(key, now))
        co_return known;

    Upstream up;
    if (!co_await connectUpstream(up))
        co_return std::nullopt;
    http::request<http::empty_body> req{http::verb::get, "/_session", 11};
    req.set(http::field::host, upstream.address().to_string());
    req.set(http::field::accept, "application/json");
    if (authorization)
        req.set(http::field::authorization, *authorization);
    if (cookie)
        req.set(http::field::cookie, *cookie);
    req.keep_alive(false);
    error_code ec;
    up.stream->expires_after(kWriteTimeout);
    co_await http::async_write(*up.stream, req, tokenFor(ec));
    http::response_parser<http::string_body> parser;
    parser.body_limit(kMaxSessionReplyBytes);
    if (!ec) {
        up.stream->expires_after(kSessionCheckTimeout);
        co_await http::async_read(*up.stream, up.buffer, parser, tokenFor(ec));
    }
    up.reset();
    if (ec)
        co_return std::nullopt;
    const auto& res = parser.get();
    auto caller = callerIdentityFromSession(res.result_int(), res.body());
    // A refusal is not kept: a password just set must work at once.
    if (caller && caller->kind != CallerKind::Unresolved)
        identities.store(key, *caller, now);
    co_return caller;
}

net::awaitable<void> SyncRelay::Impl::serve(tcp::socket socket, ConnectionSlot slot) {
    (void)slot;
    beast::tcp_stream client(std::move(socket));
    beast::flat_buffer clientBuffer;
    Upstream up;
    try {
        for (;;) {
            http::request_parser<http::buffer_body> parser;
            parser.header_limit(kMaxHeaderBytes);
            parser.body_limit(limits.maxBodyBytes);
            error_code ec;
            client.expires_after(limits.headTimeout);
            co_await http::async_read_header(client, clientBuffer, parser, tokenFor(ec));
            if (ec == http::error::header_limit) {
                co_await sendError(client, http::status::request_header_fields_too_large, 11, false,
                                   "bad_request",
                                   QStringLiteral("The request header is too large."));
                co_await closeGracefully(client);
                co_return;
            }
            if (ec == http::error::body_limit) {
                co_await sendError(client, http::status::payload_too_large, 11, false, "too_large",
                                   QStringLiteral("the request entity is too large"));
                co_await closeGracefully(client);
                co_return;
            }
            if (ec && isProtocolError(ec)) {
                co_await sendError(client, http::status::bad_request, 11, false, "bad_request",
                                   QStringLiteral("The request is not valid HTTP."));
                co_await closeGracefully(client);
                co_return;
            }
            if (ec)
                co_return; // closed, too slow or gone

            auto& req = parser.get();
            const unsigned version = req.version();
            const bool hasBody = !parser.is_done();
            const bool keepAliveAfterRefusal = req.keep_alive() && !hasBody;
            auto refuse = [&](int status, std::string_view error,
                              const QString& reason) -> net::awaitable<bool> {
                co_await sendError(client, http::int_to_status(unsigned(status)), version,
                                   keepAliveAfterRefusal, error, reason);
                if (!keepAliveAfterRefusal)
                    co_await closeGracefully(client);
                co_return keepAliveAfterRefusal;
            };

            const ListenerTarget target = classifyListenerTarget(sv(req.target()));
            if (target.route == ListenerRoute::Malformed) {
                co_await sendError(client, http::status::bad_request, version, false, "bad_request",
                                   target.reason);
                co_await closeGracefully(client);
                co_return;
            }
            if (target.route == ListenerRoute::Forbidden) {
                if (co_await refuse(403, "forbidden", target.reason))
                    continue;
                co_return;
            }

            // Framing the upstream might read otherwise than this parser did,
            // and protocol switches, are not relayed.
            if ((req.count(http::field::transfer_encoding) && !parser.chunked()) ||
                req.count(http::field::upgrade)) {
                co_await sendError(client, http::status::bad_request, version, false, "bad_request",
                                   QStringLiteral("This request framing is not supported."));
                co_await closeGracefully(client);
                co_return;
            }

            // Who is calling is the server's to say: it is asked with exactly
            // the credential fields that go upstream with the request. Fields
            // that could be read in more than one way are not relayed at all.
            std::vector<std::string_view> authorizations;
            std::vector<std::string_view> cookies;
            for (const auto& field : req) {
                if (field.name() == http::field::authorization)
                    authorizations.push_back(sv(field.value()));
                else if (field.name() == http::field::cookie)
                    cookies.push_back(sv(field.value()));
            }
            if (const QString ambiguity = ambiguousCredentials(authorizations, cookies);
                !ambiguity.isEmpty()) {
                if (co_await refuse(401, "unauthorized", ambiguity))
                    continue;
                co_return;
            }
            CallerIdentity caller{CallerKind::Anonymous, {}, {}};
            if (!authorizations.empty() || !cookies.empty()) {
                std::optional<std::string> authorization, cookie;
                if (!authorizations.empty())
                    authorization.emplace(authorizations.front());
                if (!cookies.empty())
                    cookie.emplace(cookies.front());
                const auto identified = co_await identify(authorization, cookie);
                if (!identified) {
                    co_await sendError(client, http::status::bad_gateway, version, false,
                                       "bad_gateway",
                                       QStringLiteral("The database server cannot tell who is "
                                                      "calling."));
                    co_await closeGracefully(client);
                    co_return;
                }
                caller = *identified;
            }
            if (const AccessDecision decision = decideAccess(target, caller);
                !decision.forwarded()) {
                if (co_await refuse(decision.status, decision.error, decision.reason))
                    continue;
                co_return;
            }
            if (lastSeen && caller.kind == CallerKind::User)
                lastSeen->seen(caller.name, QDateTime::currentMSecsSinceEpoch());

            // A login names its account in the body: the administrator's
            // password is not to be tried from the network either. The
            // session it opens is checked again once the server has answered.
            const bool isLogin =
                target.route == ListenerRoute::Session && req.method() == http::verb::post;
            std::optional<std::string> loginBody;
            if (isLogin && hasBody) {
                if (!co_await sendContinueIfExpected(client, parser))
                    co_return;
                loginBody =
                    co_await readSmallBody(client, clientBuffer, parser, kMaxLoginBodyBytes);
                if (!loginBody) {
                    co_await sendError(client, http::status::payload_too_large, version, false,
                                       "too_large", QStringLiteral("The login is too large."));
                    co_await closeGracefully(client);
                    co_return;
                }
                const auto names =
                    sessionLoginNames(sv(req[http::field::content_type]), *loginBody);
                if (!names) {
                    co_await sendError(client, http::status::bad_request, version, false,
                                       "bad_request", QStringLiteral("The login cannot be read."));
                    co_await closeGracefully(client);
                    co_return;
                }
                const QString adminName = QString::fromLatin1(kServerAdminName.data(),
                                                              qsizetype(kServerAdminName.size()));
                if (std::find(names->begin(), names->end(), adminName) != names->end()) {
                    co_await sendError(client, http::status::forbidden, version, req.keep_alive(),
                                       "forbidden",
                                       QStringLiteral("The server administrator cannot sign in "
                                                      "through the sync listener."));
                    if (req.keep_alive())
                        continue;
                    co_await closeGracefully(client);
                    co_return;
                }
            }

            if (!co_await forward(client, clientBuffer, parser, up, loginBody, isLogin))
                co_return;
        }
    } catch (const std::exception&) {
        // A connection that fails in an unforeseen way is dropped; the others go on.
    }
}

// The body goes upstream right behind the header (or is read here first), so
// the interim reply is ours to give and the upstream must not wait for it.
net::awaitable<bool>
SyncRelay::Impl::sendContinueIfExpected(beast::tcp_stream& client,
                                        http::request_parser<http::buffer_body>& parser) {
    auto& req = parser.get();
    const bool expectsContinue = beast::iequals(req[http::field::expect], "100-continue");
    req.erase(http::field::expect);
    if (!expectsContinue || parser.is_done())
        co_return true;
    static constexpr std::string_view kContinue = "HTTP/1.1 100 Continue\r\n\r\n";
    error_code ec;
    client.expires_after(kWriteTimeout);
    co_await net::async_write(client, net::buffer(kContinue.data(), kContinue.size()),
                              tokenFor(ec));
    co_return !ec;
}

net::awaitable<std::optional<std::string>>
SyncRelay::Impl::readSmallBody(beast::tcp_stream& client, beast::flat_buffer& clientBuffer,
                               http::request_parser<http::buffer_body>& parser, std::size_t limit) {
    std::string body;
    std::array<char, 4096> chunk;
    while (!parser.is_done()) {
        auto& b = parser.get().body();
        b.data = chunk.data();
        b.size = chunk.size();
        error_code ec;
        client.expires_after(kBodyStallTimeout);
        co_await http::async_read_some(client, clientBuffer, parser, tokenFor(ec));
        if (ec == http::error::need_buffer)
            ec = {};
        if (ec)
            co_return std::nullopt;
        body.append(chunk.data(), chunk.size() - b.size);
        if (body.size() > limit)
            co_return std::nullopt;
    }
    co_return body;
}

// Relays one request and its response. Returns whether the client connection
// can carry another request.
net::awaitable<bool>
SyncRelay::Impl::forward(beast::tcp_stream& client, beast::flat_buffer& clientBuffer,
                         http::request_parser<http::buffer_body>& parser, Upstream& up,
                         const std::optional<std::string>& bufferedBody, bool isLogin) {
    auto& req = parser.get();
    const unsigned version = req.version();
    const bool hasBody = !parser.is_done();
    const bool isHead = req.method() == http::verb::head;

    if (!co_await sendContinueIfExpected(client, parser))
        co_return false;
    error_code ec;

    std::optional<http::response_parser<http::buffer_body>> response;
    auto freshResponse = [&] {
        response.emplace();
        response->header_limit(kMaxUpstreamHeaderBytes);
        response->body_limit(kUnlimitedBody);
        if (isHead)
            response->skip(true);
    };
    freshResponse();

    // A kept-alive upstream connection can close between our check and our
    // write; a request without a body is then simply sent again.
    for (int attempt = 0;; ++attempt) {
        const bool reused = up.usable();
        if (!reused && !co_await connectUpstream(up)) {
            co_await sendError(client, http::status::bad_gateway, version, false, "bad_gateway",
                               QStringLiteral("The database server cannot be reached."));
            co_await closeGracefully(client);
            co_return false;
        }
        bool failedOnRead = false;
        if (bufferedBody) {
            http::request<http::string_body> copy{req.base(), *bufferedBody};
            copy.erase(http::field::transfer_encoding);
            copy.prepare_payload();
            up.stream->expires_after(kWriteTimeout);
            co_await http::async_write(*up.stream, copy, tokenFor(ec));
        } else {
            ec = co_await relayBody(client, clientBuffer, parser, *up.stream, kBodyStallTimeout,
                                    failedOnRead);
        }
        if (ec && failedOnRead) {
            // The client stalled, vanished or went over the size limit inside
            // its body; the upstream never sees the end of it.
            up.reset();
            if (ec == http::error::body_limit) {
                co_await sendError(client, http::status::payload_too_large, version, false,
                                   "too_large", QStringLiteral("the request entity is too large"));
                co_await closeGracefully(client);
            }
            co_return false;
        }
        if (!ec) {
            up.stream->expires_after(kUpstreamSilenceLimit);
            co_await http::async_read_header(*up.stream, up.buffer, *response, tokenFor(ec));
        }
        if (!ec)
            break;
        up.reset();
        if (!(reused && (!hasBody || bufferedBody) && attempt == 0)) {
            co_await sendError(client, http::status::bad_gateway, version, false, "bad_gateway",
                               QStringLiteral("The database server did not answer."));
            co_await closeGracefully(client);
            co_return false;
        }
        freshResponse();
    }

    // The session a login opens must be a user's own, whatever the login
    // looked like on its way in.
    if (isLogin) {
        for (const auto& field : response->get()) {
            if (field.name() != http::field::set_cookie)
                continue;
            const auto cookie = sessionCookieFromSetCookie(sv(field.value()));
            if (!cookie)
                continue;
            const auto caller = co_await identify(std::nullopt, *cookie);
            if (!caller || caller->kind != CallerKind::User) {
                up.reset();
                const bool admin = caller && caller->kind == CallerKind::Administrator;
                co_await sendError(
                    client, http::status::forbidden, version, false, "forbidden",
                    admin ? QStringLiteral("The server administrator cannot sign in through the "
                                           "sync listener.")
                          : QStringLiteral("This session cannot be handed out here."));
                co_await closeGracefully(client);
                co_return false;
            }
        }
    }

    // A client that leaves during a quiet change feed would otherwise hold
    // its connection (and an upstream one) until the upstream next speaks.
    auto watching = std::make_shared<bool>(true);
    client.socket().async_wait(tcp::socket::wait_read, [watching, &up, &client](error_code e) {
        if (!*watching || e)
            return;
        char c;
        const ssize_t n = ::recv(client.socket().native_handle(), &c, 1, MSG_PEEK | MSG_DONTWAIT);
        if ((n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)) && up.stream) {
            error_code ignored;
            up.stream->socket().close(ignored);
        }
    });
    bool failedOnRead = false;
    ec = co_await relayBody(*up.stream, up.buffer, *response, client, kUpstreamSilenceLimit,
                            failedOnRead);
    *watching = false;
    {
        error_code ignored;
        client.socket().cancel(ignored);
    }
    const bool upstreamKeepsAlive = !ec && response->keep_alive();
    if (!upstreamKeepsAlive)
        up.reset();
    if (ec) {
        error_code ignored;
        client.socket().close(ignored);
        co_return false;
    }
    if (!upstreamKeepsAlive || !req.keep_alive()) {
        client.socket().shutdown(tcp::socket::shutdown_send, ec);
        co_return false;
    }
    co_return true;
}

SyncRelay::SyncRelay(std::string upstreamHost, std::uint16_t upstreamPort, ListenerLimits limits,
                     std::shared_ptr<LastSeenRecorder> lastSeen)
    : m_upstreamHost(std::move(upstreamHost))
    , m_upstreamPort(upstreamPort)
    , m_limits(limits)
    , m_lastSeen(std::move(lastSeen)) {}

SyncRelay::~SyncRelay() {
    stop();
}

bool SyncRelay::start(std::string* error) {
    if (d)
        return true;
    auto impl = std::make_unique<Impl>(m_limits, m_lastSeen);
    error_code ec;
    tcp::resolver resolver(impl->io);
    const auto found = resolver.resolve(m_upstreamHost, std::to_string(m_upstreamPort), ec);
    if (ec || found.empty()) {
        if (error)
            *error = "cannot resolve the upstream server " + m_upstreamHost;
        return false;
    }
    impl->upstream = found.begin()->endpoint();

    // All interfaces: IPv6 with IPv4 mapped where the system has IPv6, else IPv4.
    auto bind = [&](const tcp::endpoint& endpoint) {
        impl->acceptor.open(endpoint.protocol(), ec);
        if (ec)
            return false;
        impl->acceptor.set_option(tcp::acceptor::reuse_address(true), ec);
        if (endpoint.protocol() == tcp::v6())
            impl->acceptor.set_option(net::ip::v6_only(false), ec);
        impl->acceptor.bind(endpoint, ec);
        if (!ec)
            impl->acceptor.listen(net::socket_base::max_listen_connections, ec);
        if (ec) {
            error_code ignored;
            impl->acceptor.close(ignored);
            return false;
        }
        return true;
    };
    if (!bind(tcp::endpoint(tcp::v6(), 0)) && !bind(tcp::endpoint(tcp::v4(), 0))) {
        if (error)
            *error = "cannot listen: " + ec.message();
        return false;
    }
    impl->port = impl->acceptor.local_endpoint(ec).port();
    Impl* raw = impl.get();
    net::co_spawn(raw->io, raw->acceptLoop(), net::detached);
    raw->thread = std::thread([raw] {
        for (;;) {
            try {
                raw->io.run();
                return;
            } catch (const std::exception&) {
                // Keep serving the other connections.
            }
        }
    });
    d = std::move(impl);
    return true;
}

void SyncRelay::stop() {
    if (!d)
        return;
    d->io.stop();
    if (d->thread.joinable())
        d->thread.join();
    d.reset();
}

bool SyncRelay::isRunning() const {
    return d != nullptr;
}

std::uint16_t SyncRelay::port() const {
    return d ? d->port : 0;
}

int SyncRelay::activeConnections() const {
    return d ? d->counts.active.load() : 0;
}

} // namespace trevok
