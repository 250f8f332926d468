#include "server/RelayHttp.h"

#include "server/SyncRelay.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <boost/asio/write.hpp>

#include <algorithm>
#include <array>
#include <cctype>
#include <vector>

namespace trevok::relay_http {

using namespace listener_limits;
using tcp = net::ip::tcp;

namespace {

bool isProtocolError(const error_code& ec) {
    return ec.category() == http::make_error_code(http::error::bad_method).category() &&
           ec != http::error::end_of_stream && ec != http::error::partial_message;
}

} // namespace

void scrubUpstreamHeaders(http::fields& fields, const Upstream& upstream, bool clientEncrypted) {
    fields.erase("X-Powered-By");
    fields.set(http::field::server, kProductToken);
    for (const http::field name : {http::field::location, http::field::content_location}) {
        const auto it = fields.find(name);
        if (it == fields.end())
            continue;
        if (auto path = upstreamPath(sv(it->value()), upstream))
            fields.set(name, beast::string_view(path->data(), path->size()));
    }
    if (clientEncrypted || !upstream.tls)
        return;
    std::vector<std::string> cookies;
    for (const auto& field : fields) {
        if (field.name() == http::field::set_cookie)
            cookies.push_back(withoutSecureAttribute(sv(field.value())));
    }
    if (cookies.empty())
        return;
    fields.erase(http::field::set_cookie);
    for (const std::string& cookie : cookies)
        fields.insert(http::field::set_cookie, beast::string_view(cookie.data(), cookie.size()));
}

std::string errorBody(std::string_view error, const QString& reason) {
    QJsonObject object;
    object.insert(QStringLiteral("error"),
                  QString::fromUtf8(error.data(), qsizetype(error.size())));
    object.insert(QStringLiteral("reason"), reason);
    return QJsonDocument(object).toJson(QJsonDocument::Compact).toStdString() + "\n";
}

template <class Stream>
net::awaitable<bool> readRequestHead(Stream& client, beast::flat_buffer& buffer,
                                     RequestParser& parser, std::uint64_t maxBodyBytes,
                                     std::chrono::steady_clock::duration headTimeout) {
    parser.header_limit(kMaxHeaderBytes);
    parser.body_limit(maxBodyBytes);
    error_code ec;
    transport(client).expires_after(headTimeout);
    co_await http::async_read_header(client, buffer, parser, tokenFor(ec));
    if (ec == http::error::header_limit) {
        co_await fail(client, 11, http::status::request_header_fields_too_large, "bad_request",
                      QStringLiteral("The request header is too large."));
        co_return false;
    }
    if (ec == http::error::body_limit) {
        co_await fail(client, 11, http::status::payload_too_large, "too_large",
                      QStringLiteral("the request entity is too large"));
        co_return false;
    }
    if (ec && isProtocolError(ec)) {
        co_await fail(client, 11, http::status::bad_request, "bad_request",
                      QStringLiteral("The request is not valid HTTP."));
        co_return false;
    }
    co_return !ec; // otherwise closed, too slow or gone
}

ListenerRequest listenerRequestOf(const RequestParser& parser) {
    const auto& req = parser.get();
    ListenerRequest request;
    request.method = std::string(sv(req.method_string()));
    request.target = std::string(sv(req.target()));
    for (const auto& field : req) {
        if (field.name() == http::field::authorization)
            request.authorizations.emplace_back(sv(field.value()));
        else if (field.name() == http::field::cookie)
            request.cookies.emplace_back(sv(field.value()));
    }
    request.unsupportedFraming = (req.count(http::field::transfer_encoding) && !parser.chunked()) ||
                                 req.count(http::field::upgrade);
    return request;
}

template <class Stream>
net::awaitable<void> sendError(Stream& stream, http::status status, unsigned version,
                               bool keepAlive, std::string_view error, const QString& reason) {
    http::response<http::string_body> res{status, version};
    res.set(http::field::server, kProductToken);
    res.set(http::field::content_type, "application/json");
    res.set(http::field::cache_control, "must-revalidate");
    res.keep_alive(keepAlive);
    res.body() = errorBody(error, reason);
    res.prepare_payload();
    error_code ec;
    transport(stream).expires_after(kWriteTimeout);
    co_await http::async_write(stream, res, tokenFor(ec));
}

template <class Stream> net::awaitable<void> closeGracefully(Stream& stream) {
    error_code ec;
    transport(stream).socket().shutdown(tcp::socket::shutdown_send, ec);
    std::array<char, 4096> sink;
    std::size_t drained = 0;
    transport(stream).expires_after(std::chrono::seconds(1));
    while (!ec && drained < 1024 * 1024) {
        drained += co_await transport(stream).async_read_some(net::buffer(sink), tokenFor(ec));
    }
    transport(stream).socket().close(ec);
}

template <class Stream>
net::awaitable<void> fail(Stream& client, unsigned version, http::status status,
                          std::string_view error, const QString& reason) {
    co_await sendError(client, status, version, false, error, reason);
    co_await closeGracefully(client);
}

template <class Stream>
net::awaitable<bool> refuse(Stream& client, const RequestParser& parser,
                            const AccessDecision& decision) {
    const auto& req = parser.get();
    // Unread body bytes would be taken for the next request.
    const bool keepAlive = !decision.closesConnection && req.keep_alive() && parser.is_done();
    co_await sendError(client, http::int_to_status(unsigned(decision.status)), req.version(),
                       keepAlive, decision.error, decision.reason);
    if (!keepAlive)
        co_await closeGracefully(client);
    co_return keepAlive;
}

template <class Stream>
net::awaitable<bool> sendContinueIfExpected(Stream& client, RequestParser& parser) {
    auto& req = parser.get();
    const bool expectsContinue = beast::iequals(req[http::field::expect], "100-continue");
    req.erase(http::field::expect);
    if (!expectsContinue || parser.is_done())
        co_return true;
    static constexpr std::string_view kContinue = "HTTP/1.1 100 Continue\r\n\r\n";
    error_code ec;
    transport(client).expires_after(kWriteTimeout);
    co_await net::async_write(client, net::buffer(kContinue.data(), kContinue.size()),
                              tokenFor(ec));
    co_return !ec;
}

template <class Stream>
net::awaitable<std::optional<std::string>> readSmallBody(Stream& client, beast::flat_buffer& buffer,
                                                         RequestParser& parser, std::size_t limit) {
    std::string body;
    std::array<char, 4096> chunk;
    while (!parser.is_done()) {
        auto& b = parser.get().body();
        b.data = chunk.data();
        b.size = chunk.size();
        error_code ec;
        transport(client).expires_after(kBodyStallTimeout);
        co_await http::async_read_some(client, buffer, parser, tokenFor(ec));
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

template <bool isRequest, class From, class To>
net::awaitable<error_code> relayBody(From& from, beast::flat_buffer& fromBuffer,
                                     http::parser<isRequest, http::buffer_body>& parser, To& to,
                                     std::chrono::steady_clock::duration readTimeout,
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
            transport(from).expires_after(readTimeout);
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
        transport(to).expires_after(kWriteTimeout);
        co_await http::async_write(to, serializer, tokenFor(ec));
        if (ec == http::error::need_buffer)
            ec = {};
        if (ec)
            co_return ec;
    } while (!parser.is_done() || !serializer.is_done());
    co_return ec;
}

// Both kinds of client connection, and the upstream's, which is either.
#define TREVOK_RELAY_HTTP_FOR(Stream)                                                              \
    template net::awaitable<bool> readRequestHead(Stream&, beast::flat_buffer&, RequestParser&,    \
                                                  std::uint64_t,                                   \
                                                  std::chrono::steady_clock::duration);            \
    template net::awaitable<void> sendError(Stream&, http::status, unsigned, bool,                 \
                                            std::string_view, const QString&);                     \
    template net::awaitable<void> closeGracefully(Stream&);                                        \
    template net::awaitable<void> fail(Stream&, unsigned, http::status, std::string_view,          \
                                       const QString&);                                            \
    template net::awaitable<bool> refuse(Stream&, const RequestParser&, const AccessDecision&);    \
    template net::awaitable<bool> sendContinueIfExpected(Stream&, RequestParser&);                 \
    template net::awaitable<std::optional<std::string>> readSmallBody(                             \
        Stream&, beast::flat_buffer&, RequestParser&, std::size_t);                                \
    template net::awaitable<error_code> relayBody(                                                 \
        Stream&, beast::flat_buffer&, http::parser<true, http::buffer_body>&, UpstreamStream&,     \
        std::chrono::steady_clock::duration, bool&);                                               \
    template net::awaitable<error_code> relayBody(                                                 \
        UpstreamStream&, beast::flat_buffer&, http::parser<false, http::buffer_body>&, Stream&,    \
        std::chrono::steady_clock::duration, bool&);

TREVOK_RELAY_HTTP_FOR(PlainStream)
TREVOK_RELAY_HTTP_FOR(TlsStream)
#undef TREVOK_RELAY_HTTP_FOR

} // namespace trevok::relay_http
