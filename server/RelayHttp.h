#pragma once

#include "server/ListenerAccess.h"
#include "server/Upstream.h"

#include <boost/asio/async_result.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// The HTTP side of the sync listener's relay: reading requests within the
// listener's limits, streaming bodies in bounded pieces, and the error
// replies. It knows nothing of who may do what; that is ListenerAccess's.
namespace trevok::relay_http {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using beast::error_code;
using RequestParser = http::request_parser<http::buffer_body>;

// The two kinds of client connection, served alike: plain HTTP, and HTTP
// inside TLS. What works on the connection itself (its timeouts, its
// socket) is reached through transport(). The functions below that take a
// client connection are there for both kinds.
using PlainStream = beast::tcp_stream;
using TlsStream = beast::ssl_stream<beast::tcp_stream>;
template <class Stream> beast::tcp_stream& transport(Stream& stream) {
    return beast::get_lowest_layer(stream);
}

// The connection to the upstream: plain or inside TLS, chosen when it is
// made, and read and written alike either way, so that the relay has one
// kind of upstream connection to stream through whatever the server's
// scheme. transport() reaches the TCP stream under it.
class UpstreamStream {
public:
    using executor_type = beast::tcp_stream::executor_type;

    // Plain.
    explicit UpstreamStream(const executor_type& executor)
        : m_plain(std::in_place, executor) {}
    // Inside TLS, once handshake() has succeeded.
    UpstreamStream(const executor_type& executor, net::ssl::context& context)
        : m_tls(std::in_place, executor, context) {}

    bool encrypted() const { return m_tls.has_value(); }
    beast::ssl_stream<beast::tcp_stream>& tls() { return *m_tls; }
    executor_type get_executor() { return next_layer().get_executor(); }
    beast::tcp_stream& next_layer() { return m_tls ? m_tls->next_layer() : *m_plain; }

    template <class MutableBuffers, class Token>
    auto async_read_some(const MutableBuffers& buffers, Token&& token) {
        return net::async_initiate<Token, void(error_code, std::size_t)>(
            [this](auto handler, const MutableBuffers& b) {
                if (m_tls)
                    m_tls->async_read_some(b, std::move(handler));
                else
                    m_plain->async_read_some(b, std::move(handler));
            },
            token, buffers);
    }
    template <class ConstBuffers, class Token>
    auto async_write_some(const ConstBuffers& buffers, Token&& token) {
        return net::async_initiate<Token, void(error_code, std::size_t)>(
            [this](auto handler, const ConstBuffers& b) {
                if (m_tls)
                    m_tls->async_write_some(b, std::move(handler));
                else
                    m_plain->async_write_some(b, std::move(handler));
            },
            token, buffers);
    }

private:
    std::optional<beast::tcp_stream> m_plain;
    std::optional<beast::ssl_stream<beast::tcp_stream>> m_tls;
};

inline auto tokenFor(error_code& ec) {
    return net::redirect_error(net::use_awaitable, ec);
}

inline std::string_view sv(beast::string_view s) {
    return {s.data(), s.size()};
}

// The product token of every answer that leaves the listener, its own and the
// upstream's: no versions, nothing about what serves behind it.
inline constexpr const char kProductToken[] = "TrevokServer";

// An upstream response head made fit to leave the listener: no X-Powered-By,
// the product token as Server, and a Location or Content-Location that names
// the upstream reduced to its path (see upstreamPath()). A client that came
// in plain HTTP gets the upstream's cookies without their Secure attribute:
// the upstream marks them so because it was reached over TLS, and the client
// would otherwise never send them back to the listener.
void scrubUpstreamHeaders(http::fields& fields, const Upstream& upstream, bool clientEncrypted);

// The JSON body of an error reply, as the server writes its own.
std::string errorBody(std::string_view error, const QString& reason);

// Reads the next request's head into `parser`, which it sets up with the
// header and body limits. A request that breaks a limit or is not HTTP is
// answered and the connection closed. False when there is no request to
// serve: the peer left, was too slow, or was answered so.
template <class Stream>
net::awaitable<bool> readRequestHead(Stream& client, beast::flat_buffer& buffer,
                                     RequestParser& parser, std::uint64_t maxBodyBytes,
                                     std::chrono::steady_clock::duration headTimeout);

// What the access decision needs of a request head.
ListenerRequest listenerRequestOf(const RequestParser& parser);

template <class Stream>
net::awaitable<void> sendError(Stream& stream, http::status status, unsigned version,
                               bool keepAlive, std::string_view error, const QString& reason);

// After an error reply on a request we did not read to its end: stop sending,
// then take what the peer still sends for a moment, so that closing does not
// reset the connection before the peer has read the reply.
template <class Stream> net::awaitable<void> closeGracefully(Stream& stream);

// An error reply after which the connection is closed.
template <class Stream>
net::awaitable<void> fail(Stream& client, unsigned version, http::status status,
                          std::string_view error, const QString& reason);

// Answers the request in `parser` with the refusal `decision`. The connection
// stays open when the decision allows it, the client asked for it and the
// request has been read to its end. Returns whether it stays open.
template <class Stream>
net::awaitable<bool> refuse(Stream& client, const RequestParser& parser,
                            const AccessDecision& decision);

// The body goes upstream right behind the header (or is read here first), so
// the interim reply is ours to give and the upstream must not wait for it.
// False when the client could not be written to.
template <class Stream>
net::awaitable<bool> sendContinueIfExpected(Stream& client, RequestParser& parser);

// The rest of the request's body, read whole; nullopt when it is larger than
// `limit` or the client stalls or leaves inside it.
template <class Stream>
net::awaitable<std::optional<std::string>> readSmallBody(Stream& client, beast::flat_buffer& buffer,
                                                         RequestParser& parser, std::size_t limit);

// Streams the body behind the head in `parser` from `from` to `to` (the head
// first, as the serializer writes it), in pieces of a bounded size. Sets
// `failedOnRead` when the error, if any, came from `from`.
template <bool isRequest, class From, class To>
net::awaitable<error_code> relayBody(From& from, beast::flat_buffer& fromBuffer,
                                     http::parser<isRequest, http::buffer_body>& parser, To& to,
                                     std::chrono::steady_clock::duration readTimeout,
                                     bool& failedOnRead);

} // namespace trevok::relay_http
