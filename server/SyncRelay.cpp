#include "server/SyncRelay.h"

#include "server/IdentityCache.h"
#include "server/LastSeen.h"
#include "server/ListenerAccess.h"
#include "server/ListenerCertificate.h"
#include "server/RelayHttp.h"

#include <QDateTime>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/v6_only.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/ssl/host_name_verification.hpp>
#include <boost/asio/steady_timer.hpp>

#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <functional>
#include <future>
#include <limits>
#include <optional>
#include <thread>
#include <type_traits>
#include <unordered_map>
#include <vector>

namespace trevok {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = net::ip::tcp;
using beast::error_code;
using namespace listener_limits;
using namespace relay_http;

namespace {

constexpr auto kUnlimitedBody = std::numeric_limits<std::uint64_t>::max();

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

// Connections attributed to one account: from its first request forwarded
// for that account to the end of the connection, or to a request for another.
class AccountSlot {
public:
    explicit AccountSlot(std::unordered_map<std::string, int>& counts)
        : m_counts(&counts) {}
    AccountSlot(const AccountSlot&) = delete;
    AccountSlot& operator=(const AccountSlot&) = delete;
    ~AccountSlot() { release(); }

    // Attributes the connection to `account` unless that account already
    // holds `cap` connections; false then, and the connection keeps its
    // former account.
    bool take(const std::string& account, int cap) {
        if (account == m_account)
            return true;
        int& held = (*m_counts)[account];
        if (held >= cap) {
            if (held == 0)
                m_counts->erase(account);
            return false;
        }
        ++held;
        release();
        m_account = account;
        return true;
    }

private:
    void release() {
        if (m_account.empty())
            return;
        const auto it = m_counts->find(m_account);
        if (it != m_counts->end() && --it->second <= 0)
            m_counts->erase(it);
        m_account.clear();
    }

    std::unordered_map<std::string, int>* m_counts;
    std::string m_account;
};

// A forwarded request whose caller is checked again while it lasts.
struct CredentialWatch {
    explicit CredentialWatch(net::io_context& io)
        : timer(io) {}
    net::steady_timer timer;
    bool active = true;
    ListenerRequest request;
    RequestCredentials credentials;
    QString userName;
    tcp::socket* client = nullptr;
    std::function<void()> closeUpstream;
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
struct UpstreamConnection {
    std::optional<UpstreamStream> stream;
    beast::flat_buffer buffer;

    tcp::socket& socket() { return transport(*stream).socket(); }

    void reset() {
        if (stream) {
            error_code ignored;
            socket().close(ignored);
        }
        stream.reset();
        buffer.clear();
    }

    // The upstream closes idle connections on its own schedule; a connection
    // it has closed (or that holds unexpected bytes) must not carry a request.
    // Over TLS that includes the alert that announces a close.
    bool usable() {
        if (!stream || !socket().is_open())
            return false;
        char c;
        const ssize_t n = ::recv(socket().native_handle(), &c, 1, MSG_PEEK | MSG_DONTWAIT);
        return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
    }
};

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
    // Connections per account, on the listener's thread only.
    std::unordered_map<std::string, int> perAccount;
    // The client sockets of the plain port's connections, closed when that
    // port is; on the listener's thread only.
    std::unordered_map<std::uint64_t, tcp::socket*> plainClients;
    std::uint64_t nextPlainClient = 0;
    IdentityCache identities;
    // Set before the TLS port opens, kept until the relay stops; the TLS
    // connections destroyed with the I/O context still use it.
    std::optional<net::ssl::context> tls;
    net::io_context io{1};
    // The long-lived requests being watched, by a number of their own.
    // Declared after the I/O context: each holds a timer of the context's,
    // which must go while the context's services still exist.
    std::unordered_map<std::uint64_t, std::shared_ptr<CredentialWatch>> watches;
    std::uint64_t nextWatch = 0;
    net::executor_work_guard<net::io_context::executor_type> work{io.get_executor()};
    tcp::acceptor plainAcceptor{io};
    tcp::acceptor tlsAcceptor{io};
    Upstream upstream;
    // For an upstream over TLS: its certificate is checked against the
    // system's trust store and the upstream's name.
    std::optional<net::ssl::context> upstreamTls;
    std::string lastUpstreamFailure;
    std::thread thread;
    std::atomic<std::uint16_t> plainPort{0};
    std::atomic<std::uint16_t> tlsPort{0};

    // Runs `task` on the listener's thread and waits for its result, so that
    // the acceptors are only ever touched there.
    template <class Task> auto onListenerThread(Task task) {
        std::packaged_task<decltype(task())()> packaged(std::move(task));
        auto result = packaged.get_future();
        net::post(io, [&packaged] { packaged(); });
        return result.get();
    }
    // Binds and listens, then accepts on the listener's thread.
    bool open(tcp::acceptor& acceptor, std::atomic<std::uint16_t>& port, bool encrypted,
              std::uint16_t preferredPort, std::string* error);
    void closePlain();

    net::awaitable<void> acceptLoop(tcp::acceptor& acceptor, bool encrypted);
    net::awaitable<void> servePlain(tcp::socket socket, ConnectionSlot slot);
    net::awaitable<void> serveTls(tcp::socket socket, ConnectionSlot slot);
    template <class Client> net::awaitable<void> serve(Client& client);
    template <class Client>
    net::awaitable<bool> forward(Client& client, beast::flat_buffer& clientBuffer,
                                 RequestParser& parser, UpstreamConnection& up,
                                 const std::optional<std::string>& bufferedBody, bool isLogin);
    net::awaitable<std::optional<CallerIdentity>>
    identify(const RequestCredentials& credentials,
             IdentityCache::Clock::duration maxAge = IdentityCache::Clock::duration::max());
    net::awaitable<void> watchCredentials(std::shared_ptr<CredentialWatch> watch);
    void recheck(const QString& name);
    net::awaitable<std::optional<CallerIdentity>> askServer(const RequestCredentials& credentials);
    net::awaitable<bool> connectUpstream(UpstreamConnection& up);
    // Logs why the upstream cannot be reached, once until it can be again, so
    // that a server that is down does not fill the log with every request.
    void upstreamFailed(const std::string& reason);
};

net::awaitable<void> SyncRelay::Impl::acceptLoop(tcp::acceptor& acceptor, bool encrypted) {
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
        ConnectionSlot slot(counts, std::move(address));
        if (encrypted)
            net::co_spawn(io, serveTls(std::move(socket), std::move(slot)), net::detached);
        else
            net::co_spawn(io, servePlain(std::move(socket), std::move(slot)), net::detached);
    }
}

void SyncRelay::Impl::upstreamFailed(const std::string& reason) {
    if (reason == lastUpstreamFailure)
        return;
    lastUpstreamFailure = reason;
    qWarning("Sync listener: cannot reach the database server %s: %s",
             qUtf8Printable(upstream.display()), reason.c_str());
}

// The name is looked up at every connection, not once: a server elsewhere
// may move, and one whose name cannot be found now may be found later.
net::awaitable<bool> SyncRelay::Impl::connectUpstream(UpstreamConnection& up) {
    up.reset();
    error_code ec;
    tcp::resolver resolver(io);
    const auto found =
        co_await resolver.async_resolve(upstream.host, std::to_string(upstream.port), tokenFor(ec));
    if (ec || found.empty()) {
        upstreamFailed("the name " + upstream.host + " cannot be resolved (" + ec.message() + ")");
        co_return false;
    }
    if (upstream.tls)
        up.stream.emplace(io.get_executor(), *upstreamTls);
    else
        up.stream.emplace(io.get_executor());
    beast::tcp_stream& tcpStream = transport(*up.stream);
    tcpStream.expires_after(kUpstreamConnectTimeout);
    co_await tcpStream.async_connect(found, tokenFor(ec));
    if (ec) {
        up.reset();
        upstreamFailed(ec.message());
        co_return false;
    }
    tcpStream.socket().set_option(tcp::no_delay(true), ec);
    if (upstream.tls) {
        auto& tls = up.stream->tls();
        // A name for the server to choose its certificate by; an address is
        // no name.
        error_code notAnAddress;
        net::ip::make_address(upstream.host, notAnAddress);
        if (notAnAddress && !SSL_set_tlsext_host_name(tls.native_handle(), upstream.host.c_str())) {
            up.reset();
            upstreamFailed("the server name cannot be sent");
            co_return false;
        }
        // Why a certificate was refused, in words, for the log.
        auto refusal = std::make_shared<std::string>();
        tls.set_verify_mode(net::ssl::verify_peer);
        tls.set_verify_callback(
            [refusal, check = net::ssl::host_name_verification(upstream.host),
             host = upstream.host](bool preverified, net::ssl::verify_context& context) {
                X509_STORE_CTX* store = context.native_handle();
                if (!preverified) {
                    *refusal = std::string("its certificate is refused: ") +
                               X509_verify_cert_error_string(X509_STORE_CTX_get_error(store));
                    return false;
                }
                if (!check(preverified, context)) {
                    *refusal = "its certificate is not for " + host;
                    return false;
                }
                return true;
            });
        tcpStream.expires_after(kUpstreamConnectTimeout);
        co_await tls.async_handshake(net::ssl::stream_base::client, tokenFor(ec));
        if (ec) {
            up.reset();
            upstreamFailed(refusal->empty() ? "TLS: " + ec.message() : *refusal);
            co_return false;
        }
    }
    lastUpstreamFailure.clear();
    co_return true;
}

// Who the server takes these credentials for, from a recent answer or else
// from the server itself. nullopt when the server cannot tell.
net::awaitable<std::optional<CallerIdentity>>
SyncRelay::Impl::identify(const RequestCredentials& credentials,
                          IdentityCache::Clock::duration maxAge) {
    const std::string key = IdentityCache::keyFor(credentials.authorization, credentials.cookie);
    const auto now = IdentityCache::Clock::now();
    if (auto known = identities.findYoungerThan(key, now, maxAge))
        co_return known;
    auto caller = co_await askServer(credentials);
    if (caller)
        identities.store(key, *caller, now);
    co_return caller;
}

// While a request lasts, its caller is asked about again at the credential
// interval; once the server no longer takes the credentials for the same
// user, the request ends (both its connections are closed). A request that
// ends by itself first ends its watch.
net::awaitable<void> SyncRelay::Impl::watchCredentials(std::shared_ptr<CredentialWatch> watch) {
    // An answer this young was given after anything that could have changed.
    constexpr auto kFresh = std::chrono::seconds(1);
    for (;;) {
        error_code ec;
        watch->timer.expires_after(limits.identityLifetime);
        co_await watch->timer.async_wait(tokenFor(ec));
        if (!watch->active)
            co_return;
        const RequestCredentials credentials = watch->credentials;
        const auto caller = co_await identify(credentials, kFresh);
        if (!watch->active)
            co_return;
        // A server that cannot tell now is not a refusal; the feed's own
        // upstream connection says whether it is still there.
        if (!caller)
            continue;
        const AccessDecision decision = decideAccess(watch->request, caller);
        if (decision.forwarded() && decision.userName == watch->userName)
            continue;
        watch->active = false;
        error_code ignored;
        watch->client->close(ignored);
        watch->closeUpstream();
        co_return;
    }
}

void SyncRelay::Impl::recheck(const QString& name) {
    identities.forgetAccount(name);
    for (auto& [id, watch] : watches) {
        (void)id;
        // A cancelled wait is a check now.
        if (watch->userName == name)
            watch->timer.cancel();
    }
}

// The server's own `GET /_session` with exactly the caller's credential fields.
net::awaitable<std::optional<CallerIdentity>>
SyncRelay::Impl::askServer(const RequestCredentials& credentials) {
    UpstreamConnection up;
    if (!co_await connectUpstream(up))
        co_return std::nullopt;
    http::request<http::empty_body> req{http::verb::get, "/_session", 11};
    req.set(http::field::host, upstream.hostField());
    req.set(http::field::accept, "application/json");
    if (credentials.authorization)
        req.set(http::field::authorization, *credentials.authorization);
    if (credentials.cookie)
        req.set(http::field::cookie, *credentials.cookie);
    req.keep_alive(false);
    error_code ec;
    transport(*up.stream).expires_after(kWriteTimeout);
    co_await http::async_write(*up.stream, req, tokenFor(ec));
    http::response_parser<http::string_body> parser;
    parser.body_limit(kMaxSessionReplyBytes);
    if (!ec) {
        transport(*up.stream).expires_after(kSessionCheckTimeout);
        co_await http::async_read(*up.stream, up.buffer, parser, tokenFor(ec));
    }
    up.reset();
    if (ec)
        co_return std::nullopt;
    const auto& res = parser.get();
    co_return callerIdentityFromSession(res.result_int(), res.body());
}

net::awaitable<void> SyncRelay::Impl::servePlain(tcp::socket socket, ConnectionSlot slot) {
    (void)slot;
    PlainStream client(std::move(socket));
    // Known for as long as the coroutine lives, so that closing the plain
    // port ends it too.
    struct Known {
        std::unordered_map<std::uint64_t, tcp::socket*>& all;
        std::uint64_t id;
        ~Known() { all.erase(id); }
    } known{plainClients, ++nextPlainClient};
    plainClients.emplace(known.id, &client.socket());
    co_await serve(client);
}

// The handshake within the time a request's head may take; a peer that does
// not speak TLS (a plain-HTTP request included) is closed without a word.
net::awaitable<void> SyncRelay::Impl::serveTls(tcp::socket socket, ConnectionSlot slot) {
    (void)slot;
    TlsStream client(std::move(socket), *tls);
    error_code ec;
    transport(client).expires_after(limits.headTimeout);
    co_await client.async_handshake(net::ssl::stream_base::server, tokenFor(ec));
    if (ec) {
        transport(client).socket().close(ec);
        co_return;
    }
    co_await serve(client);
}

// One request after another on a client connection: its head, the decision on
// it (asking the server who is calling where it must), a login's body, and
// then the request relayed upstream with its response.
template <class Client> net::awaitable<void> SyncRelay::Impl::serve(Client& client) {
    beast::flat_buffer clientBuffer;
    UpstreamConnection up;
    AccountSlot account(perAccount);
    try {
        for (;;) {
            RequestParser parser;
            if (!co_await readRequestHead(client, clientBuffer, parser, limits.maxBodyBytes,
                                          limits.headTimeout))
                co_return;
            const ListenerRequest request = listenerRequestOf(parser);

            // Refusals that need no one's answer come before the server is asked.
            AccessDecision decision = screenRequest(request);
            if (decision.forwarded()) {
                std::optional<CallerIdentity> caller;
                if (const auto credentials = credentialsToCheck(request))
                    caller = co_await identify(*credentials);
                decision = decideAccess(request, caller);
            }
            if (!decision.forwarded()) {
                if (co_await refuse(client, parser, decision))
                    continue;
                co_return;
            }
            if (!decision.userName.isEmpty() &&
                !account.take(decision.userName.toStdString(), accountConnectionCap(limits))) {
                co_await fail(client, parser.get().version(), http::status::too_many_requests,
                              "too_many_requests",
                              QStringLiteral("This account has too many connections open at "
                                             "once; close one and try again."));
                co_return;
            }
            if (lastSeen && !decision.userName.isEmpty())
                lastSeen->seen(decision.userName, QDateTime::currentMSecsSinceEpoch());

            // The session a login opens is checked again once the server has
            // answered (in forward()).
            const bool isLogin = isSessionLogin(request);
            std::optional<std::string> loginBody;
            if (isLogin && !parser.is_done()) {
                if (!co_await sendContinueIfExpected(client, parser))
                    co_return;
                loginBody =
                    co_await readSmallBody(client, clientBuffer, parser, kMaxLoginBodyBytes);
                if (!loginBody) {
                    co_await fail(client, parser.get().version(), http::status::payload_too_large,
                                  "too_large", QStringLiteral("The login is too large."));
                    co_return;
                }
                if (const AccessDecision login =
                        decideLogin(sv(parser.get()[http::field::content_type]), *loginBody);
                    !login.forwarded()) {
                    if (co_await refuse(client, parser, login))
                        continue;
                    co_return;
                }
            }

            std::shared_ptr<CredentialWatch> watch;
            const auto credentials = credentialsToCheck(request);
            if (credentials && !decision.userName.isEmpty()) {
                watch = std::make_shared<CredentialWatch>(io);
                watch->request = request;
                watch->credentials = *credentials;
                watch->userName = decision.userName;
                watch->client = &transport(client).socket();
                watch->closeUpstream = [&up] {
                    if (up.stream) {
                        error_code ignored;
                        up.socket().close(ignored);
                    }
                };
                watches.emplace(++nextWatch, watch);
                net::co_spawn(io, watchCredentials(watch), net::detached);
            }
            const std::uint64_t watchId = nextWatch;
            const bool goesOn =
                co_await forward(client, clientBuffer, parser, up, loginBody, isLogin);
            if (watch) {
                watch->active = false;
                watch->timer.cancel();
                watches.erase(watchId);
            }
            if (!goesOn)
                co_return;
        }
    } catch (const std::exception&) {
        // A connection that fails in an unforeseen way is dropped; the others go on.
    }
}

// Relays one request and its response. Returns whether the client connection
// can carry another request.
template <class Client>
net::awaitable<bool> SyncRelay::Impl::forward(Client& client, beast::flat_buffer& clientBuffer,
                                              RequestParser& parser, UpstreamConnection& up,
                                              const std::optional<std::string>& bufferedBody,
                                              bool isLogin) {
    auto& req = parser.get();
    const unsigned version = req.version();
    const bool hasBody = !parser.is_done();
    const bool isHead = req.method() == http::verb::head;

    if (!co_await sendContinueIfExpected(client, parser))
        co_return false;
    // The client's Host names the listener. A server reached by name routes
    // by Host (a proxy in front of it, several sites on one address, a TLS
    // front that refuses a Host other than the name it was reached by), and
    // builds the absolute URLs of its answers from it, which scrubbing
    // recognises then.
    req.set(http::field::host, upstream.hostField());
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
            co_await fail(client, version, http::status::bad_gateway, "bad_gateway",
                          QStringLiteral("The database server cannot be reached."));
            co_return false;
        }
        bool failedOnRead = false;
        if (bufferedBody) {
            http::request<http::string_body> copy{req.base(), *bufferedBody};
            copy.erase(http::field::transfer_encoding);
            copy.prepare_payload();
            transport(*up.stream).expires_after(kWriteTimeout);
            co_await http::async_write(*up.stream, copy, tokenFor(ec));
        } else {
            ec = co_await relayBody(client, clientBuffer, parser, *up.stream, kBodyStallTimeout,
                                    failedOnRead);
        }
        if (ec && failedOnRead) {
            // The client stalled, vanished or went over the size limit inside
            // its body; the upstream never sees the end of it.
            up.reset();
            if (ec == http::error::body_limit)
                co_await fail(client, version, http::status::payload_too_large, "too_large",
                              QStringLiteral("the request entity is too large"));
            co_return false;
        }
        if (!ec) {
            transport(*up.stream).expires_after(kUpstreamSilenceLimit);
            co_await http::async_read_header(*up.stream, up.buffer, *response, tokenFor(ec));
        }
        if (!ec)
            break;
        up.reset();
        if (!(reused && (!hasBody || bufferedBody) && attempt == 0)) {
            co_await fail(client, version, http::status::bad_gateway, "bad_gateway",
                          QStringLiteral("The database server did not answer."));
            co_return false;
        }
        freshResponse();
    }

    scrubUpstreamHeaders(response->get(), upstream, std::is_same_v<Client, TlsStream>);

    // The session a login opens must be a user's own, whatever the login
    // looked like on its way in.
    if (isLogin) {
        for (const auto& field : response->get()) {
            if (field.name() != http::field::set_cookie)
                continue;
            const auto cookie = sessionCookieFromSetCookie(sv(field.value()));
            if (!cookie)
                continue;
            // Named, not a temporary: GCC 12 destroys temporaries inside a
            // co_await expression twice.
            RequestCredentials issued;
            issued.cookie = *cookie;
            const auto owner = co_await identify(issued);
            if (const AccessDecision handout = decideIssuedSession(owner); !handout.forwarded()) {
                up.reset();
                co_await refuse(client, parser, handout);
                co_return false;
            }
        }
    }

    // A client that leaves during a quiet change feed would otherwise hold
    // its connection (and an upstream one) until the upstream next speaks.
    // So does one whose connection the listener closes (its port closed).
    auto watching = std::make_shared<bool>(true);
    tcp::socket& clientSocket = transport(client).socket();
    clientSocket.async_wait(tcp::socket::wait_read, [watching, &up, &clientSocket](error_code e) {
        if (!*watching)
            return;
        bool gone = !clientSocket.is_open();
        if (!e && !gone) {
            char c;
            const ssize_t n = ::recv(clientSocket.native_handle(), &c, 1, MSG_PEEK | MSG_DONTWAIT);
            gone = n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
        }
        if (gone && up.stream) {
            error_code ignored;
            up.socket().close(ignored);
        }
    });
    bool failedOnRead = false;
    ec = co_await relayBody(*up.stream, up.buffer, *response, client, kUpstreamSilenceLimit,
                            failedOnRead);
    *watching = false;
    {
        error_code ignored;
        clientSocket.cancel(ignored);
    }
    const bool upstreamKeepsAlive = !ec && response->keep_alive();
    if (!upstreamKeepsAlive)
        up.reset();
    if (ec) {
        error_code ignored;
        clientSocket.close(ignored);
        co_return false;
    }
    if (!upstreamKeepsAlive || !req.keep_alive()) {
        clientSocket.shutdown(tcp::socket::shutdown_send, ec);
        co_return false;
    }
    co_return true;
}

SyncRelay::SyncRelay(Upstream upstream, ListenerLimits limits,
                     std::shared_ptr<LastSeenRecorder> lastSeen)
    : m_upstream(std::move(upstream))
    , m_limits(limits)
    , m_lastSeen(std::move(lastSeen)) {}

SyncRelay::~SyncRelay() {
    stop();
}

bool SyncRelay::Impl::open(tcp::acceptor& acceptor, std::atomic<std::uint16_t>& port,
                           bool encrypted, std::uint16_t preferredPort, std::string* error) {
    return onListenerThread([&] {
        if (acceptor.is_open())
            return true;
        error_code ec;
        // All interfaces: IPv6 with IPv4 mapped where the system has IPv6, else IPv4.
        auto bind = [&](const tcp::endpoint& endpoint) {
            acceptor.open(endpoint.protocol(), ec);
            if (ec)
                return false;
            acceptor.set_option(tcp::acceptor::reuse_address(true), ec);
            if (endpoint.protocol() == tcp::v6())
                acceptor.set_option(net::ip::v6_only(false), ec);
            acceptor.bind(endpoint, ec);
            if (!ec)
                acceptor.listen(net::socket_base::max_listen_connections, ec);
            if (ec) {
                error_code ignored;
                acceptor.close(ignored);
                return false;
            }
            return true;
        };
        const auto onPort = [&](std::uint16_t number) {
            return bind(tcp::endpoint(tcp::v6(), number)) || bind(tcp::endpoint(tcp::v4(), number));
        };
        // A port that was just closed is taken again, so that clients which
        // remember it find the listener where it was.
        if (!(preferredPort && onPort(preferredPort)) && !onPort(0)) {
            if (error)
                *error = "cannot listen: " + ec.message();
            return false;
        }
        port = acceptor.local_endpoint(ec).port();
        net::co_spawn(io, acceptLoop(acceptor, encrypted), net::detached);
        return true;
    });
}

void SyncRelay::Impl::closePlain() {
    error_code ignored;
    plainAcceptor.close(ignored);
    plainPort = 0;
    // Their coroutines end on the failed operations and leave the map then.
    for (auto& [id, socket] : plainClients) {
        (void)id;
        socket->close(ignored);
    }
}

bool SyncRelay::prepare(std::string* error) {
    if (d)
        return true;
    auto impl = std::make_unique<Impl>(m_limits, m_lastSeen);
    impl->upstream = m_upstream;
    if (m_upstream.tls) {
        net::ssl::context context(net::ssl::context::tls_client);
        error_code ec;
        // The system's store, or the one SSL_CERT_FILE and SSL_CERT_DIR name.
        context.set_default_verify_paths(ec);
        if (ec) {
            if (error)
                *error = "cannot read the system's trusted certificates: " + ec.message();
            return false;
        }
        SSL_CTX_set_min_proto_version(context.native_handle(), TLS1_2_VERSION);
        impl->upstreamTls.emplace(std::move(context));
    }
    Impl* raw = impl.get();
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

bool SyncRelay::start(std::string* error, std::uint16_t preferredPort) {
    return prepare(error) && d->open(d->plainAcceptor, d->plainPort, false, preferredPort, error);
}

bool SyncRelay::startTls(const CertificateAndKey& identity, std::string* error,
                         std::uint16_t preferredPort) {
    if (!prepare(error))
        return false;
    if (!d->tls) {
        net::ssl::context context(net::ssl::context::tls_server);
        QString problem;
        if (!configureTlsServer(context.native_handle(), identity, &problem)) {
            if (error)
                *error = problem.toStdString();
            return false;
        }
        // Only the listener's thread reads it, once the port is open.
        d->tls.emplace(std::move(context));
    }
    return d->open(d->tlsAcceptor, d->tlsPort, true, preferredPort, error);
}

void SyncRelay::stopPlain() {
    if (d)
        d->onListenerThread([impl = d.get()] { impl->closePlain(); });
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
    return d && (d->plainPort != 0 || d->tlsPort != 0);
}

std::uint16_t SyncRelay::port() const {
    return d ? d->plainPort.load() : 0;
}

std::uint16_t SyncRelay::tlsPort() const {
    return d ? d->tlsPort.load() : 0;
}

int SyncRelay::activeConnections() const {
    return d ? d->counts.active.load() : 0;
}

void SyncRelay::recheckAccount(const QString& name) {
    if (!d)
        return;
    Impl* impl = d.get();
    net::post(impl->io, [impl, name] { impl->recheck(name); });
}

int accountConnectionCap(const ListenerLimits& limits) {
    const int reserve = std::max(1, limits.maxConnections / 8);
    return std::max(1, std::min(limits.maxConnectionsPerAccount, limits.maxConnections - reserve));
}

} // namespace trevok
