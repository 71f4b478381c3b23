#include "HttpServer.h"

#include <boost/asio/dispatch.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>

#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <map>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <thread>

namespace collector {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = net::ip::tcp;
using Clock = std::chrono::steady_clock;
using ErrorCode = boost::system::error_code;

namespace {

constexpr std::size_t MAX_HEAD = 16 * 1024;

std::string lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

std::string trim(const std::string& text) {
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string::npos) {
        return "";
    }
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string formDecode(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '+') {
            out += ' ';
        } else if (text[i] == '%' && i + 2 < text.size() && hexDigit(text[i + 1]) >= 0 &&
                   hexDigit(text[i + 2]) >= 0) {
            out += static_cast<char>(hexDigit(text[i + 1]) * 16 + hexDigit(text[i + 2]));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

using Parser = http::request_parser<http::string_body>;

/// What Beast's parser lets through and we still refuse, all in one place: the status to
/// answer a request with once its head is read, 0 when its body may be read.
///
/// Beast takes a Transfer-Encoding whose last coding is not "chunked" as a body of no
/// bytes, which would leave the real body to be read as the next request; codings other
/// than chunked we do not undo. A target that is not a path has nothing here to name.
int refusalOfHead(const Parser& parser) {
    const auto& message = parser.get();
    if (message.target().empty() || message.target()[0] != '/') {
        return 400;
    }
    const auto encoding = message.find(http::field::transfer_encoding);
    if (encoding == message.end()) {
        return 0;
    }
    std::vector<std::string> codings;
    const std::string value(encoding->value());
    for (std::size_t start = 0; start <= value.size();) {
        auto comma = value.find(',', start);
        if (comma == std::string::npos) comma = value.size();
        const auto coding = lower(trim(value.substr(start, comma - start)));
        if (!coding.empty()) {
            codings.push_back(coding);
        }
        start = comma + 1;
    }
    if (codings.size() == 1 && codings[0] == "chunked") {
        return 0;
    }
    // Chunked last: framed, but with a coding we do not undo. Otherwise the body's end
    // cannot be known at all.
    return !codings.empty() && codings.back() == "chunked" ? 501 : 400;
}

/// The status that answers a request that could not be read, 0 when the client is to be
/// left without one (it went away, or the server is stopping).
int refusalOfReadError(const ErrorCode& ec) {
    if (ec == http::error::body_limit) return 413;
    if (ec == http::error::header_limit) return 431;
    if (ec == http::error::end_of_stream || ec == http::error::partial_message) return 0;
    if (ec.category() == http::make_error_code(http::error::bad_method).category()) return 400;
    return 0;
}

const char* refusalText(int status) {
    switch (status) {
        case 408:
            return "{\"error\":\"the request took too long to arrive\"}";
        case 413:
            return "{\"error\":\"the body is larger than allowed\"}";
        case 431:
            return "{\"error\":\"the request head is larger than allowed\"}";
        case 501:
            return "{\"error\":\"only the chunked transfer coding is understood\"}";
        case 503:
            return "{\"error\":\"too many uploads are arriving at once; try again\"}";
        default:
            return "{\"error\":\"malformed request\"}";
    }
}

HttpRequest requestFrom(http::request<http::string_body>&& message) {
    HttpRequest request;
    request.method = std::string(message.method_string());
    request.target = std::string(message.target());
    const auto question = request.target.find('?');
    request.path = request.target.substr(0, question);
    if (question != std::string::npos) {
        std::size_t start = question + 1;
        while (start <= request.target.size()) {
            auto amp = request.target.find('&', start);
            if (amp == std::string::npos) amp = request.target.size();
            const std::string pair = request.target.substr(start, amp - start);
            if (!pair.empty()) {
                const auto equals = pair.find('=');
                request.query.emplace_back(
                    formDecode(pair.substr(0, equals)),
                    equals == std::string::npos ? "" : formDecode(pair.substr(equals + 1)));
            }
            start = amp + 1;
        }
    }
    for (const auto& field : message) {
        request.headers.emplace_back(lower(std::string(field.name_string())), std::string(field.value()));
    }
    request.body = std::move(message.body());
    return request;
}

class SessionBase {
public:
    virtual ~SessionBase() = default;
    /// On the session's own loop: end what is waiting for the client; a request being
    /// handled is still answered.
    virtual void stopSoon() = 0;
    /// On the session's own loop: ends what waits for the client if its time is up.
    virtual void expireIfDue() = 0;
    virtual net::any_io_executor executor() = 0;

    /// When what the session now waits for (a request, or a client reading an answer)
    /// runs out, as steady-clock ticks; 0 for never. Set on the session's loop, read by
    /// the server's sweep.
    std::atomic<Clock::rep> due{0};
};

}  // namespace

class HttpServer::Impl {
public:
    Impl(HttpLimits limits, Handler handler, const TlsFiles* tls)
        : limits(limits), handler(std::move(handler)) {
        if (tls) {
            this->tls.emplace(net::ssl::context::tls_server);
            try {
                this->tls->set_options(net::ssl::context::default_workarounds | net::ssl::context::no_sslv2 |
                                       net::ssl::context::no_sslv3 | net::ssl::context::no_tlsv1 |
                                       net::ssl::context::no_tlsv1_1);
                this->tls->use_certificate_chain_file(tls->certificateChain);
                this->tls->use_private_key_file(tls->privateKey, net::ssl::context::pem);
            } catch (const boost::system::system_error& e) {
                throw std::runtime_error(std::string("cannot use the certificate or key: ") + e.what());
            }
        }
        const auto threads = std::max<std::size_t>(limits.threads, 1);
        for (std::size_t i = 0; i < threads; ++i) {
            // One thread runs each loop: a loop needs no lock against itself, and what a
            // connection waits for wakes the thread that serves it, with no hand-over.
            loops.push_back(std::make_unique<net::io_context>(1));
            keepRunning.push_back(net::make_work_guard(*loops.back()));
        }
        // Each connection is a descriptor, and each loop three (its epoll, its wake-up and
        // its timer); a few more are kept for the database and the files.
        const auto reserved = 128 + 3 * (threads + 1);
        rlimit files{};
        if (::getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur != RLIM_INFINITY) {
            const auto room =
                files.rlim_cur > reserved + 16 ? static_cast<std::size_t>(files.rlim_cur - reserved) : 16;
            maxConnections = std::min(maxConnections, room);
        }
    }

    void accept();
    void ended(SessionBase* session);
    /// Every fifth of a second: the sessions whose time is up are told so. Ends once the
    /// server stops and its last session has ended.
    void sweep();
    /// Asked twice per request by every connection: read without the lock, which would
    /// otherwise be taken by all the loops at once.
    bool isStopping() const { return stopping.load(std::memory_order_acquire); }

    const HttpLimits limits;
    const Handler handler;
    std::optional<net::ssl::context> tls;
    /// Accepts, sweeps and stops, on the thread that calls run(); it handles no request.
    net::io_context io{1};
    tcp::acceptor acceptor{io};
    net::steady_timer acceptRetry{io};
    net::steady_timer sweeper{io};
    std::size_t maxConnections = limits.maxConnections;
    std::atomic<std::size_t> bodyBytes{0};  // of the bodies being read, over all sessions

    std::mutex mutex;
    std::map<SessionBase*, std::weak_ptr<SessionBase>> sessions;  // guarded by mutex
    std::atomic<bool> stopping{false};                            // written under mutex
    bool acceptPaused = false;                                    // guarded by mutex

    // Last, so that a connection that a loop still holds when it is destroyed finds the
    // rest of the server in place.
    /// The loops that serve the connections, each run by a thread of its own. A new
    /// connection goes to the next one in turn and stays there. A handler that waits for the
    /// database holds up the other connections of its loop, not the whole server.
    std::vector<std::unique_ptr<net::io_context>> loops;
    /// Keep the loops running while they have no connection; let go (on `io`) once the
    /// server stops and its last connection has ended.
    std::vector<net::executor_work_guard<net::io_context::executor_type>> keepRunning;
    std::size_t nextLoop = 0;  // on `io`
};

namespace {

// Plain sockets, not Beast's tcp_stream: its timers would go unused (the sweep keeps every
// deadline), and each read or write through it costs a few allocations more.
using PlainStream = tcp::socket;
using TlsStream = beast::ssl_stream<tcp::socket>;

/// One connection, every step of it on the loop it was given. Waiting for the client costs
/// no thread; the handler and each part of a streamed answer run on the loop's thread.
template <class Stream>
class Session final : public SessionBase, public std::enable_shared_from_this<Session<Stream>> {
public:
    Session(HttpServer::Impl& server, tcp::socket&& socket)
        : server_(server), stream_(make(server, std::move(socket))) {}
    ~Session() override {
        releaseBody();
        server_.ended(this);
    }
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    net::any_io_executor executor() override { return stream_.get_executor(); }

    void start() {
        // The first request's time runs from the connection's opening, so that a client
        // that connects and sends nothing is cut off like a slow one.
        armDeadline(Clock::now() + server_.limits.requestDeadline);
        if constexpr (std::is_same_v<Stream, TlsStream>) {
            stream_.async_handshake(net::ssl::stream_base::server,
                                    [self = this->shared_from_this()](ErrorCode ec) {
                                        if (ec) {
                                            self->close();
                                            return;
                                        }
                                        self->readRequest(true);
                                    });
        } else {
            readRequest(true);
        }
    }

    void stopSoon() override {
        if (!handling_) {
            ErrorCode ignored;
            lowest().cancel(ignored);
        }
    }

private:
    static Stream make(HttpServer::Impl& server, tcp::socket&& socket) {
        if constexpr (std::is_same_v<Stream, TlsStream>) {
            return Stream(std::move(socket), *server.tls);
        } else {
            (void)server;
            return Stream(std::move(socket));
        }
    }

    tcp::socket& lowest() { return beast::get_lowest_layer(stream_); }

    /// What waits for the client ends at `at`: the server's sweep notices within a
    /// fraction of a second and cancels the socket's operations, and the one that ends
    /// knows why from `timedOut_`. No timer per connection is set or cancelled per
    /// request.
    void armDeadline(Clock::time_point at) {
        timedOut_ = false;
        due = at.time_since_epoch().count();
    }
    void disarm() { due = 0; }

    void expireIfDue() override {
        const auto at = due.load();
        if (at != 0 && Clock::now().time_since_epoch().count() >= at) {
            due = 0;
            timedOut_ = true;
            ErrorCode ignored;
            lowest().cancel(ignored);
        }
    }

    void readRequest(bool first) {
        if (server_.isStopping()) {
            close();
            return;
        }
        parser_.emplace();
        parser_->header_limit(MAX_HEAD);
        parser_->body_limit(server_.limits.maxBody);
        if (first) {
            readMore();
            return;
        }
        if (buffer_.size() > 0) {
            // The next request came with the last one.
            armDeadline(Clock::now() + server_.limits.requestDeadline);
            advance();
            return;
        }
        armDeadline(Clock::now() + server_.limits.idleTimeout);
        stream_.async_read_some(buffer_.prepare(16384),
                                [self = this->shared_from_this()](ErrorCode ec, std::size_t n) {
                                    if (ec || self->server_.isStopping()) {
                                        self->close();  // idle: nothing to answer
                                        return;
                                    }
                                    self->buffer_.commit(n);
                                    self->armDeadline(Clock::now() + self->server_.limits.requestDeadline);
                                    self->advance();
                                });
    }

    void readMore() {
        stream_.async_read_some(buffer_.prepare(16384),
                                [self = this->shared_from_this()](ErrorCode ec, std::size_t n) {
                                    if (ec) {
                                        self->refuse(ec);
                                        return;
                                    }
                                    self->buffer_.commit(n);
                                    self->advance();
                                });
    }

    /// Hands what has arrived to the parser; false with `ec` set when it refused it.
    bool parseArrived(ErrorCode& ec) {
        while (buffer_.size() > 0 && !parser_->is_done()) {
            const auto used = parser_->put(buffer_.data(), ec);
            buffer_.consume(used);
            if (ec == http::error::need_more) {
                ec = {};
                return true;
            }
            if (ec) {
                return false;
            }
            if (used == 0 || (!parser_->eager() && parser_->is_header_done())) {
                return true;
            }
        }
        return true;
    }

    /// Parses what arrived and goes on: the head first, which is checked before any of the
    /// body is read, then the body. Whatever arrived whole is handled at once, without
    /// another trip through the event loop.
    void advance() {
        ErrorCode ec;
        if (!parser_->is_header_done()) {
            if (!parseArrived(ec)) {
                refuse(ec);
                return;
            }
            if (!parser_->is_header_done()) {
                readMore();
                return;
            }
            if (const int status = refusalOfHead(*parser_)) {
                answerAndClose(status);
                return;
            }
            parser_->eager(true);
            if (!parser_->is_done() &&
                lower(std::string(parser_->get()[http::field::expect])) == "100-continue") {
                static const char CONTINUE[] = "HTTP/1.1 100 Continue\r\n\r\n";
                net::async_write(stream_, net::buffer(CONTINUE, sizeof CONTINUE - 1),
                                 [self = this->shared_from_this()](ErrorCode written, std::size_t) {
                                     if (written) {
                                         self->close();
                                         return;
                                     }
                                     self->advance();
                                 });
                return;
            }
        }
        if (!parseArrived(ec)) {
            refuse(ec);
            return;
        }
        if (!holdBody()) {
            answerAndClose(503);
            return;
        }
        if (!parser_->is_done()) {
            readMore();
            return;
        }
        disarm();
        handle();
    }

    void refuse(const ErrorCode& ec) {
        disarm();
        if (timedOut_) {
            // Nothing of a request yet: an idle client, closed without a word.
            if (parser_->got_some() || buffer_.size() > 0) {
                answerAndClose(408);
            } else {
                close();
            }
            return;
        }
        const int status = server_.isStopping() ? 0 : refusalOfReadError(ec);
        if (status == 0) {
            close();
            return;
        }
        answerAndClose(status);
    }

    void answerAndClose(int status) {
        // What was read of a refused body is read no further: it stops counting against the
        // bound now, not when the connection has finished closing.
        releaseBody();
        auto refusal = std::make_shared<HttpResponse>();
        refusal->status = status;
        refusal->contentType = "application/json";
        refusal->body = refusalText(status);
        keepAlive_ = false;
        respond(refusal);
    }

    /// Counts the body read so far in the server's total; false once the total of all the
    /// bodies being read is over its bound, so that many slow uploads at once cannot take
    /// all the memory.
    bool holdBody() {
        const auto size = parser_->get().body().size();
        if (size <= held_) {
            return true;
        }
        const auto total = server_.bodyBytes.fetch_add(size - held_) + (size - held_);
        held_ = size;
        return total <= server_.limits.maxBodiesBeingRead;
    }

    void releaseBody() {
        server_.bodyBytes.fetch_sub(held_);
        held_ = 0;
    }

    void handle() {
        releaseBody();
        auto message = parser_->release();
        keepAlive_ = message.keep_alive();
        handling_ = true;
        // Run here, on this connection's loop: a handler that waits for the database holds
        // this loop's thread, and the other loops go on serving.
        auto response = std::make_shared<HttpResponse>();
        try {
            server_.handler(requestFrom(std::move(message)), *response);
        } catch (const std::exception&) {
            *response = HttpResponse{};
            response->status = 500;
            response->contentType = "application/json";
            response->body = "{\"error\":\"internal error\"}";
        }
        respond(response);
    }

    template <class Message>
    void describe(Message& message, const HttpResponse& response, bool keep) {
        message.set(http::field::content_type, response.contentType);
        for (const auto& [name, value] : response.headers) {
            message.insert(name, value);
        }
        message.keep_alive(keep);
        message.set(http::field::connection, keep ? "keep-alive" : "close");
    }

    void respond(const std::shared_ptr<HttpResponse>& response) {
        const bool keep = keepAlive_ && !server_.isStopping();
        armDeadline(Clock::now() + server_.limits.writeTimeout);
        if (!response->stream) {
            auto message = std::make_shared<http::response<http::string_body>>(
                static_cast<http::status>(response->status), 11);
            describe(*message, *response, keep);
            // 1xx, 204 and 304 answers carry no body, whatever the handler wrote.
            const int status = response->status;
            if (status >= 200 && status != 204 && status != 304) {
                message->body() = std::move(response->body);
            }
            message->prepare_payload();
            auto serializer = std::make_shared<http::response_serializer<http::string_body>>(*message);
            if constexpr (std::is_same_v<Stream, PlainStream>) {
                // An answer nearly always fits in the socket's buffer: written here at once, it
                // saves a trip through the loop. What does not fit is written as the client reads.
                ErrorCode ec;
                http::write(stream_, *serializer, ec);
                if (!ec) {
                    if (buffer_.size() == 0) {
                        answered(ec, keep);
                    } else {
                        // The next request is already here: served from the loop, so that a
                        // client that sends many at once cannot nest them on this stack.
                        net::post(stream_.get_executor(),
                                  [self = this->shared_from_this(), keep] { self->answered({}, keep); });
                    }
                    return;
                }
                if (ec != net::error::would_block && ec != net::error::try_again) {
                    close();
                    return;
                }
            }
            http::async_write(stream_, *serializer,
                              [self = this->shared_from_this(), message, serializer, keep](
                                  ErrorCode ec, std::size_t) { self->answered(ec, keep); });
            return;
        }
        auto head = std::make_shared<http::response<http::empty_body>>(
            static_cast<http::status>(response->status), 11);
        describe(*head, *response, keep);
        head->chunked(true);
        auto serializer = std::make_shared<http::response_serializer<http::empty_body>>(*head);
        http::async_write_header(
            stream_, *serializer,
            [self = this->shared_from_this(), head, serializer, response, keep](ErrorCode ec, std::size_t) {
                if (ec) {
                    self->close();
                    return;
                }
                self->nextPart(response, keep);
            });
    }

    /// Makes the next part of a streamed answer, then writes it.
    void nextPart(const std::shared_ptr<HttpResponse>& response, bool keep) {
        auto part = std::make_shared<std::string>();
        bool more = false;
        try {
            more = response->stream(*part);
        } catch (const std::exception&) {
            close();  // the answer is cut short: the client sees no last chunk
            return;
        }
        armDeadline(Clock::now() + server_.limits.writeTimeout);
        auto then = [self = this->shared_from_this(), response, keep, more](ErrorCode ec, std::size_t) {
            if (ec) {
                self->close();
            } else if (more) {
                self->nextPart(response, keep);
            } else {
                net::async_write(self->stream_, http::make_chunk_last(),
                                 [self, keep](ErrorCode ec2, std::size_t) { self->answered(ec2, keep); });
            }
        };
        if (part->empty()) {
            then(ErrorCode{}, 0);
        } else {
            net::async_write(stream_, http::make_chunk(net::buffer(*part)),
                             [part, then](ErrorCode ec, std::size_t n) { then(ec, n); });
        }
    }

    void answered(const ErrorCode& ec, bool keep) {
        handling_ = false;
        disarm();
        if (ec) {
            close();
        } else if (keep) {
            readRequest(false);
        } else {
            linger();
        }
    }

    /// After the last answer: closing with unread bytes would reset the connection, and the
    /// client could lose the answer. End the sending side and drop a bounded amount of what
    /// still comes first.
    void linger() {
        if constexpr (std::is_same_v<Stream, TlsStream>) {
            close();
        } else {
            ErrorCode ignored;
            lowest().shutdown(tcp::socket::shutdown_send, ignored);
            armDeadline(Clock::now() + std::chrono::milliseconds(500));
            drain(64);
        }
    }

    void drain(int reads) {
        if (reads == 0) {
            close();
            return;
        }
        buffer_.clear();
        stream_.async_read_some(buffer_.prepare(16384),
                                [self = this->shared_from_this(), reads](ErrorCode ec, std::size_t) {
                                    if (ec) {
                                        self->close();
                                    } else {
                                        self->drain(reads - 1);
                                    }
                                });
    }

    void close() {
        releaseBody();
        disarm();
        ErrorCode ignored;
        lowest().shutdown(tcp::socket::shutdown_both, ignored);
        lowest().close();
    }

    HttpServer::Impl& server_;
    Stream stream_;
    beast::flat_buffer buffer_;
    std::optional<Parser> parser_;
    bool timedOut_ = false;
    bool keepAlive_ = false;
    bool handling_ = false;
    std::size_t held_ = 0;  // body bytes of the request being read, counted in the server's total
};

}  // namespace

void HttpServer::Impl::accept() {
    const net::any_io_executor loop = loops[nextLoop]->get_executor();
    nextLoop = (nextLoop + 1) % loops.size();
    acceptor.async_accept(loop, [this](ErrorCode ec, tcp::socket socket) {
        if (ec == net::error::operation_aborted || !acceptor.is_open()) {
            return;
        }
        if (ec) {
            // Out of descriptors: give the open connections a moment to end instead of
            // spinning on the same pending client.
            acceptRetry.expires_after(std::chrono::milliseconds(100));
            acceptRetry.async_wait([this](ErrorCode waited) {
                if (!waited) {
                    accept();
                }
            });
            return;
        }
        ErrorCode ignored;
        socket.set_option(tcp::no_delay(true), ignored);
        // Answers on plain connections are written at once where they fit (see respond()): a
        // write that would wait must come back instead.
        if (!tls) {
            socket.non_blocking(true, ignored);
        }
        std::shared_ptr<SessionBase> session;
        std::function<void()> start;
        if (tls) {
            auto s = std::make_shared<Session<TlsStream>>(*this, std::move(socket));
            start = [s] { s->start(); };
            session = s;
        } else {
            auto s = std::make_shared<Session<PlainStream>>(*this, std::move(socket));
            start = [s] { s->start(); };
            session = s;
        }
        bool more;
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (stopping) {
                return;
            }
            sessions[session.get()] = session;
            more = sessions.size() < maxConnections;
            acceptPaused = !more;
        }
        net::dispatch(session->executor(), std::move(start));
        if (more) {
            accept();
        }
    });
}

void HttpServer::Impl::sweep() {
    sweeper.expires_after(std::chrono::milliseconds(200));
    sweeper.async_wait([this](ErrorCode ec) {
        if (ec) {
            return;
        }
        const auto now = Clock::now().time_since_epoch().count();
        std::vector<std::shared_ptr<SessionBase>> due;
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (stopping && sessions.empty()) {
                // Nothing is left to serve: the loops end once they run out of work.
                keepRunning.clear();
                return;
            }
            // A session being destroyed waits in ended() for this lock, so `raw` is alive.
            for (const auto& [raw, weak] : sessions) {
                const auto at = raw->due.load();
                if (at != 0 && at <= now) {
                    if (auto session = weak.lock()) {
                        due.push_back(std::move(session));
                    }
                }
            }
        }
        for (auto& session : due) {
            net::post(session->executor(), [session] { session->expireIfDue(); });
        }
        sweep();
    });
}

void HttpServer::Impl::ended(SessionBase* session) {
    std::lock_guard<std::mutex> lock(mutex);
    sessions.erase(session);
    if (acceptPaused && !stopping && sessions.size() < maxConnections) {
        acceptPaused = false;
        net::post(acceptor.get_executor(), [this] { accept(); });
    }
}

std::string HttpRequest::header(const std::string& lowerName) const {
    for (const auto& [name, value] : headers) {
        if (name == lowerName) {
            return value;
        }
    }
    return "";
}

std::string HttpRequest::param(const std::string& name) const {
    for (const auto& [key, value] : query) {
        if (key == name) {
            return value;
        }
    }
    return "";
}

HttpServer::HttpServer(HttpLimits limits, Handler handler, const TlsFiles* tls)
    : impl_(std::make_shared<Impl>(limits, std::move(handler), tls)) {}

HttpServer::~HttpServer() = default;

int HttpServer::bind(const std::string& host, int port) {
    ErrorCode ec;
    tcp::resolver resolver(impl_->io);
    const auto found = resolver.resolve(host, std::to_string(port),
                                        tcp::resolver::passive | tcp::resolver::numeric_service, ec);
    if (ec || found.empty()) {
        errno = 0;
        return -1;
    }
    ErrorCode failure;
    auto& acceptor = impl_->acceptor;
    for (const auto& entry : found) {
        ErrorCode step;
        acceptor.open(entry.endpoint().protocol(), step);
        // SO_REUSEADDR only: it lets a restarted collector bind over connections lingering
        // in TIME_WAIT. SO_REUSEPORT would let a second collector silently share the port.
        if (!step) acceptor.set_option(tcp::acceptor::reuse_address(true), step);
        if (!step) acceptor.bind(entry.endpoint(), step);
        if (!step) acceptor.listen(1024, step);
        if (!step) {
            return acceptor.local_endpoint().port();
        }
        failure = step;
        ErrorCode ignored;
        acceptor.close(ignored);
    }
    errno = failure.value();
    return -1;
}

void HttpServer::run() {
    impl_->accept();
    net::post(impl_->io, [impl = impl_.get()] { impl->sweep(); });
    std::vector<std::thread> threads;
    for (auto& loop : impl_->loops) {
        threads.emplace_back([&loop] { loop->run(); });
    }
    impl_->io.run();
    for (auto& thread : threads) {
        thread.join();
    }
}

void HttpServer::stop() {
    std::vector<std::shared_ptr<SessionBase>> open;
    {
        std::lock_guard<std::mutex> lock(impl_->mutex);
        impl_->stopping = true;
        for (const auto& [raw, weak] : impl_->sessions) {
            if (auto session = weak.lock()) {
                open.push_back(std::move(session));
            }
        }
    }
    auto* impl = impl_.get();
    net::post(impl->acceptor.get_executor(), [impl] {
        ErrorCode ignored;
        impl->acceptor.close(ignored);
        impl->acceptRetry.cancel();
    });
    for (auto& session : open) {
        net::post(session->executor(), [session] { session->stopSoon(); });
    }
}

}  // namespace collector
