#include "server/SyncRelay.h"

#include "server/ListenerAccess.h"

#include <QJsonArray>
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

// Counts a connection from its accept to the end of its coroutine.
class ConnectionSlot {
public:
    explicit ConnectionSlot(std::atomic<int>& count)
        : m_count(&count) {
        ++*m_count;
    }
    ConnectionSlot(ConnectionSlot&& other) noexcept
        : m_count(std::exchange(other.m_count, nullptr)) {}
    ConnectionSlot(const ConnectionSlot&) = delete;
    ConnectionSlot& operator=(const ConnectionSlot&) = delete;
    ConnectionSlot& operator=(ConnectionSlot&&) = delete;
    ~ConnectionSlot() {
        if (m_count)
            --*m_count;
    }

private:
    std::atomic<int>* m_count;
};

struct SessionInfo {
    bool valid = false; // the upstream answered
    std::optional<QString> name;
    bool admin = false;
    std::chrono::steady_clock::time_point checkedAt;
};

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
    net::io_context io{1};
    net::executor_work_guard<net::io_context::executor_type> work{io.get_executor()};
    tcp::acceptor acceptor{io};
    tcp::endpoint upstream;
    std::thread thread;
    std::atomic<int> active{0};
    std::uint16_t port = 0;
    std::unordered_map<std::string, SessionInfo> sessions;

    net::awaitable<void> acceptLoop();
    net::awaitable<void> serve(tcp::socket socket, ConnectionSlot slot);
    net::awaitable<bool> forward(beast::tcp_stream& client, beast::flat_buffer& clientBuffer,
                                 http::request_parser<http::buffer_body>& request, Upstream& up,
                                 const std::optional<std::string>& bufferedBody);
    net::awaitable<bool> sendContinueIfExpected(beast::tcp_stream& client,
                                                http::request_parser<http::buffer_body>& parser);
    net::awaitable<std::optional<std::string>>
    readSmallBody(beast::tcp_stream& client, beast::flat_buffer& clientBuffer,
                  http::request_parser<http::buffer_body>& parser, std::size_t limit);
    net::awaitable<SessionInfo> checkSession(const std::string& cookie);
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
        if (active.load() >= kMaxConnections) {
            socket.close(ec);
            continue;
        }
        socket.set_option(tcp::no_delay(true), ec);
        net::co_spawn(io, serve(std::move(socket), ConnectionSlot(active)), net::detached);
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

net::awaitable<SessionInfo> SyncRelay::Impl::checkSession(const std::string& cookie) {
    const auto now = std::chrono::steady_clock::now();
    if (const auto it = sessions.find(cookie);
        it != sessions.end() && now - it->second.checkedAt < kSessionCacheLifetime)
        co_return it->second;

    SessionInfo info;
    info.checkedAt = now;
    Upstream up;
    if (!co_await connectUpstream(up))
        co_return info;
    http::request<http::empty_body> req{http::verb::get, "/_session", 11};
    req.set(http::field::host, upstream.address().to_string());
    req.set(http::field::accept, "application/json");
    req.set(http::field::cookie, "AuthSession=" + cookie);
    req.keep_alive(false);
    error_code ec;
    up.stream->expires_after(kWriteTimeout);
    co_await http::async_write(*up.stream, req, tokenFor(ec));
    http::response_parser<http::string_body> parser;
    parser.body_limit(kMaxSessionReplyBytes);
    if (!ec) {
        up.stream->expires_after(kIdleTimeout);
        co_await http::async_read(*up.stream, up.buffer, parser, tokenFor(ec));
    }
    up.reset();
    if (ec || parser.get().result() != http::status::ok)
        co_return info;
    const std::string& body = parser.get().body();
    const QJsonObject userCtx =
        QJsonDocument::fromJson(QByteArray(body.data(), qsizetype(body.size())))
            .object()
            .value(QStringLiteral("userCtx"))
            .toObject();
    info.valid = true;
    if (userCtx.value(QStringLiteral("name")).isString())
        info.name = userCtx.value(QStringLiteral("name")).toString();
    info.admin =
        userCtx.value(QStringLiteral("roles")).toArray().contains(QStringLiteral("_admin"));
    if (sessions.size() >= kMaxCachedSessions)
        sessions.clear();
    sessions[cookie] = info;
    co_return info;
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
            parser.body_limit(kUnlimitedBody);
            error_code ec;
            client.expires_after(kIdleTimeout);
            co_await http::async_read_header(client, clientBuffer, parser, tokenFor(ec));
            if (ec == http::error::header_limit) {
                co_await sendError(client, http::status::request_header_fields_too_large, 11, false,
                                   "bad_request",
                                   QStringLiteral("The request header is too large."));
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
                co_return; // closed, idle or gone

            auto& req = parser.get();
            const unsigned version = req.version();
            const bool hasBody = !parser.is_done();
            const bool keepAliveAfterRefusal = req.keep_alive() && !hasBody;

            const ListenerTarget target = classifyListenerTarget(sv(req.target()));
            auto refuse = [&](http::status status, std::string_view error,
                              const QString& reason) -> net::awaitable<bool> {
                co_await sendError(client, status, version, keepAliveAfterRefusal, error, reason);
                if (!keepAliveAfterRefusal)
                    co_await closeGracefully(client);
                co_return keepAliveAfterRefusal;
            };
            if (target.route == ListenerRoute::Malformed) {
                co_await sendError(client, http::status::bad_request, version, false, "bad_request",
                                   target.reason);
                co_await closeGracefully(client);
                co_return;
            }
            if (target.route == ListenerRoute::Forbidden) {
                if (co_await refuse(http::status::forbidden, "forbidden", target.reason))
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
            // Where a field comes twice, the upstream may read the other copy
            // than the one checked here.
            if (req.count(http::field::authorization) > 1 || req.count(http::field::cookie) > 1) {
                co_await sendError(client, http::status::bad_request, version, false, "bad_request",
                                   QStringLiteral("Credentials may be given only once."));
                co_await closeGracefully(client);
                co_return;
            }
            const std::vector<std::string> cookies =
                authSessionCookies(sv(req[http::field::cookie]));
            if (cookies.size() > 1) {
                co_await sendError(client, http::status::bad_request, version, false, "bad_request",
                                   QStringLiteral("Only one session cookie is accepted."));
                co_await closeGracefully(client);
                co_return;
            }
            const auto basicUser = basicAuthUser(sv(req[http::field::authorization]));
            const QString adminName =
                QString::fromLatin1(kServerAdminName.data(), qsizetype(kServerAdminName.size()));
            if (basicUser && *basicUser == adminName) {
                if (co_await refuse(http::status::forbidden, "forbidden",
                                    QStringLiteral("The server administrator cannot sign in "
                                                   "through the sync listener.")))
                    continue;
                co_return;
            }
            std::optional<QString> cookieUser;
            if (!cookies.empty()) {
                const SessionInfo session = co_await checkSession(cookies.front());
                if (!session.valid) {
                    co_await sendError(client, http::status::bad_gateway, version, false,
                                       "bad_gateway",
                                       QStringLiteral("The database server cannot be reached."));
                    co_await closeGracefully(client);
                    co_return;
                }
                if (session.admin || session.name == adminName) {
                    if (co_await refuse(http::status::forbidden, "forbidden",
                                        QStringLiteral("The server administrator cannot sign in "
                                                       "through the sync listener.")))
                        continue;
                    co_return;
                }
                cookieUser = session.name;
            }
            if (target.route == ListenerRoute::UsersDocument) {
                // Every identity the request carries must be the document's owner.
                const bool own = (basicUser || cookieUser) &&
                                 (!basicUser || *basicUser == target.userName) &&
                                 (!cookieUser || *cookieUser == target.userName);
                if (!own) {
                    if (co_await refuse(http::status::forbidden, "forbidden",
                                        QStringLiteral("Only your own user document is served "
                                                       "here.")))
                        continue;
                    co_return;
                }
            }

            // A login names its account in the body: the administrator's
            // password is not to be tried from the network either.
            std::optional<std::string> loginBody;
            if (target.route == ListenerRoute::Session && req.method() == http::verb::post &&
                hasBody) {
                if (!co_await sendContinueIfExpected(client, parser))
                    co_return;
                loginBody =
                    co_await readSmallBody(client, clientBuffer, parser, kMaxLoginBodyBytes);
                if (!loginBody) {
                    co_await sendError(client, http::status::payload_too_large, version, false,
                                       "bad_request", QStringLiteral("The login is too large."));
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

            if (!co_await forward(client, clientBuffer, parser, up, loginBody))
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
        client.expires_after(kIdleTimeout);
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
net::awaitable<bool> SyncRelay::Impl::forward(beast::tcp_stream& client,
                                              beast::flat_buffer& clientBuffer,
                                              http::request_parser<http::buffer_body>& parser,
                                              Upstream& up,
                                              const std::optional<std::string>& bufferedBody) {
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
            ec = co_await relayBody(client, clientBuffer, parser, *up.stream, kIdleTimeout,
                                    failedOnRead);
        }
        if (ec && failedOnRead) {
            // The client stalled or vanished inside its body.
            up.reset();
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

SyncRelay::SyncRelay(std::string upstreamHost, std::uint16_t upstreamPort)
    : m_upstreamHost(std::move(upstreamHost))
    , m_upstreamPort(upstreamPort) {}

SyncRelay::~SyncRelay() {
    stop();
}

bool SyncRelay::start(std::string* error) {
    if (d)
        return true;
    auto impl = std::make_unique<Impl>();
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
    return d ? d->active.load() : 0;
}

} // namespace trevok
