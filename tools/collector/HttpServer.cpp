#include "HttpServer.h"

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <exception>
#include <thread>

namespace collector {

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t MAX_HEAD = 16 * 1024;
constexpr std::size_t MAX_CHUNK_LINE = 1024;

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

const char* reasonPhrase(int status) {
    switch (status) {
        case 100:
            return "Continue";
        case 200:
            return "OK";
        case 400:
            return "Bad Request";
        case 404:
            return "Not Found";
        case 408:
            return "Request Timeout";
        case 413:
            return "Payload Too Large";
        case 431:
            return "Request Header Fields Too Large";
        case 500:
            return "Internal Server Error";
        case 501:
            return "Not Implemented";
        case 503:
            return "Service Unavailable";
        default:
            return "Status";
    }
}

/// One accepted connection, plain or TLS, non-blocking underneath: every read and write
/// waits at most until the deadline it is given.
class Connection {
public:
    Connection(int fd, SSL* ssl) : fd_(fd), ssl_(ssl) {}
    ~Connection() {
        if (ssl_) {
            SSL_free(ssl_);
        }
    }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    bool handshake(Clock::time_point deadline) {
        if (!ssl_) {
            return true;
        }
        for (;;) {
            ERR_clear_error();
            const int rc = SSL_accept(ssl_);
            if (rc == 1) {
                return true;
            }
            if (!waitFor(SSL_get_error(ssl_, rc), deadline)) {
                return false;
            }
        }
    }

    /// Bytes read (> 0), 0 at the end of the stream, -1 on an error or at the deadline.
    long read(char* into, std::size_t size, Clock::time_point deadline) {
        for (;;) {
            if (ssl_) {
                ERR_clear_error();
                const int n = SSL_read(ssl_, into, static_cast<int>(size));
                if (n > 0) {
                    return n;
                }
                const int error = SSL_get_error(ssl_, n);
                if (error == SSL_ERROR_ZERO_RETURN) {
                    return 0;
                }
                if (!waitFor(error, deadline)) {
                    return -1;
                }
                continue;
            }
            const ssize_t n = ::recv(fd_, into, size, 0);
            if (n >= 0) {
                return static_cast<long>(n);
            }
            if (errno == EINTR) {
                continue;
            }
            if (errno != EAGAIN && errno != EWOULDBLOCK) {
                return -1;
            }
            if (!wait(POLLIN, deadline)) {
                return -1;
            }
        }
    }

    bool write(const char* data, std::size_t size, Clock::time_point deadline) {
        while (size > 0) {
            long n;
            if (ssl_) {
                ERR_clear_error();
                const int rc = SSL_write(ssl_, data, static_cast<int>(std::min<std::size_t>(size, 1 << 30)));
                if (rc <= 0) {
                    if (!waitFor(SSL_get_error(ssl_, rc), deadline)) {
                        return false;
                    }
                    continue;
                }
                n = rc;
            } else {
                const ssize_t rc = ::send(fd_, data, size, MSG_NOSIGNAL);
                if (rc < 0) {
                    if (errno == EINTR) {
                        continue;
                    }
                    if ((errno != EAGAIN && errno != EWOULDBLOCK) || !wait(POLLOUT, deadline)) {
                        return false;
                    }
                    continue;
                }
                n = static_cast<long>(rc);
            }
            data += n;
            size -= static_cast<std::size_t>(n);
        }
        return true;
    }

private:
    bool waitFor(int sslError, Clock::time_point deadline) {
        if (sslError == SSL_ERROR_WANT_READ) {
            return wait(POLLIN, deadline);
        }
        if (sslError == SSL_ERROR_WANT_WRITE) {
            return wait(POLLOUT, deadline);
        }
        return false;
    }

    bool wait(short events, Clock::time_point deadline) {
        for (;;) {
            // Rounded up, so that a timeout means the deadline has passed.
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (left <= 0) {
                return false;
            }
            pollfd pfd{fd_, events, 0};
            const int rc = ::poll(&pfd, 1, static_cast<int>(std::min<long long>(left, 1 << 30)));
            if (rc > 0) {
                return (pfd.revents & (events | POLLHUP | POLLERR)) != 0;
            }
            if (rc == 0 || errno != EINTR) {
                return false;
            }
        }
    }

    int fd_;
    SSL* ssl_;
};

/// Reads requests off one connection, keeping what arrived beyond the current one.
class RequestReader {
public:
    explicit RequestReader(Connection& connection) : connection_(connection) {}

    enum class Outcome { REQUEST, CLOSED, FAILED };

    /// Waits until `firstByteBy` for a request to begin, then until `deadline` for all
    /// of it. On FAILED, `status` is what to answer (0: nothing, just close).
    /// `deadline`, when not max(), bounds the whole request; otherwise it gets the
    /// request deadline from its first byte.
    Outcome next(HttpRequest& request, const HttpLimits& limits, Clock::time_point firstByteBy,
                 Clock::time_point deadline, int& status, bool& expectContinue) {
        status = 0;
        expectContinue = false;
        if (available() == 0) {
            const long n = fill(firstByteBy);
            if (n <= 0) {
                return n == 0 ? Outcome::CLOSED : Outcome::FAILED;
            }
        }
        deadline_ = deadline != Clock::time_point::max() ? deadline : Clock::now() + limits.requestDeadline;
        std::size_t headEnd;
        while ((headEnd = buffer_.find("\r\n\r\n", position_)) == std::string::npos) {
            if (available() > MAX_HEAD) {
                status = 431;
                return Outcome::FAILED;
            }
            if (fill(deadline_) <= 0) {
                status = Clock::now() >= deadline_ ? 408 : 0;
                return Outcome::FAILED;
            }
        }
        if (headEnd - position_ > MAX_HEAD) {
            status = 431;
            return Outcome::FAILED;
        }
        const std::string head = buffer_.substr(position_, headEnd - position_);
        position_ = headEnd + 4;
        if (!parseHead(head, request)) {
            status = 400;
            return Outcome::FAILED;
        }
        const std::string encoding = lower(request.header("transfer-encoding"));
        const std::string length = request.header("content-length");
        if (!encoding.empty()) {
            if (encoding != "chunked" || !length.empty()) {
                status = encoding == "chunked" ? 400 : 501;
                return Outcome::FAILED;
            }
            expectContinue = lower(request.header("expect")) == "100-continue";
            return Outcome::REQUEST;
        }
        if (!length.empty()) {
            if (length.size() > 18 || length.find_first_not_of("0123456789") != std::string::npos) {
                status = 400;
                return Outcome::FAILED;
            }
            bodyLength_ = std::stoull(length);
            if (bodyLength_ > limits.maxBody) {
                status = 413;
                return Outcome::FAILED;
            }
        } else {
            bodyLength_ = 0;
        }
        expectContinue = bodyLength_ > 0 && lower(request.header("expect")) == "100-continue";
        return Outcome::REQUEST;
    }

    /// Reads the body of the request that next() returned, counting it against `maxBody`
    /// as it arrives. False with `status` set when it cannot be had.
    bool body(HttpRequest& request, std::size_t maxBody, int& status) {
        status = 0;
        if (lower(request.header("transfer-encoding")) != "chunked") {
            while (available() < bodyLength_) {
                if (fill(deadline_) <= 0) {
                    status = Clock::now() >= deadline_ ? 408 : 0;
                    return false;
                }
            }
            request.body.assign(buffer_, position_, bodyLength_);
            position_ += bodyLength_;
            return true;
        }
        for (;;) {
            std::string line;
            if (!readLine(line, status)) {
                return false;
            }
            const auto end = line.find(';');
            const std::string size = trim(line.substr(0, end));
            if (size.empty() || size.size() > 15 ||
                size.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) {
                status = 400;
                return false;
            }
            const std::size_t chunk = std::stoull(size, nullptr, 16);
            if (chunk == 0) {
                // Trailers, if any, end with an empty line; they are read and dropped.
                for (;;) {
                    if (!readLine(line, status)) {
                        return false;
                    }
                    if (line.empty()) {
                        return true;
                    }
                }
            }
            if (request.body.size() + chunk > maxBody) {
                status = 413;
                return false;
            }
            // The chunk was checked against the limit before any of it is read, so the
            // buffer never holds more than the limit and one read beyond it.
            while (available() < chunk + 2) {
                if (fill(deadline_) <= 0) {
                    status = Clock::now() >= deadline_ ? 408 : 0;
                    return false;
                }
            }
            request.body.append(buffer_, position_, chunk);
            position_ += chunk;
            if (buffer_.compare(position_, 2, "\r\n") != 0) {
                status = 400;
                return false;
            }
            position_ += 2;
        }
    }

private:
    std::size_t available() const { return buffer_.size() - position_; }

    long fill(Clock::time_point deadline) {
        if (position_ > 0 && position_ >= buffer_.size() / 2) {
            buffer_.erase(0, position_);
            position_ = 0;
        }
        char chunk[16384];
        const long n = connection_.read(chunk, sizeof chunk, deadline);
        if (n > 0) {
            buffer_.append(chunk, static_cast<std::size_t>(n));
        }
        return n;
    }

    bool readLine(std::string& line, int& status) {
        std::size_t end;
        while ((end = buffer_.find("\r\n", position_)) == std::string::npos) {
            if (available() > MAX_CHUNK_LINE) {
                status = 400;
                return false;
            }
            if (fill(deadline_) <= 0) {
                status = Clock::now() >= deadline_ ? 408 : 0;
                return false;
            }
        }
        if (end - position_ > MAX_CHUNK_LINE) {
            status = 400;
            return false;
        }
        line = buffer_.substr(position_, end - position_);
        position_ = end + 2;
        return true;
    }

    static bool parseHead(const std::string& head, HttpRequest& request) {
        std::size_t lineEnd = head.find("\r\n");
        const std::string first = head.substr(0, lineEnd);
        const auto space1 = first.find(' ');
        const auto space2 = first.rfind(' ');
        if (space1 == std::string::npos || space2 == space1) {
            return false;
        }
        request.method = first.substr(0, space1);
        request.target = first.substr(space1 + 1, space2 - space1 - 1);
        const std::string version = first.substr(space2 + 1);
        if ((version != "HTTP/1.1" && version != "HTTP/1.0") || request.target.empty() ||
            request.target[0] != '/') {
            return false;
        }
        if (version == "HTTP/1.0") {
            request.headers.emplace_back(":version", "1.0");
        }
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
        while (lineEnd != std::string::npos) {
            const std::size_t start = lineEnd + 2;
            lineEnd = head.find("\r\n", start);
            const std::string line =
                head.substr(start, lineEnd == std::string::npos ? std::string::npos : lineEnd - start);
            const auto colon = line.find(':');
            if (colon == std::string::npos || colon == 0 || line[0] == ' ' || line[0] == '\t') {
                return false;
            }
            request.headers.emplace_back(lower(line.substr(0, colon)), trim(line.substr(colon + 1)));
        }
        return true;
    }

    Connection& connection_;
    std::string buffer_;
    std::size_t position_ = 0;
    std::size_t bodyLength_ = 0;
    Clock::time_point deadline_{};
};

bool writeResponse(Connection& connection, const HttpResponse& response, bool keepAlive,
                   std::chrono::milliseconds writeTimeout) {
    std::string head = "HTTP/1.1 " + std::to_string(response.status) + " " + reasonPhrase(response.status) +
                       "\r\nContent-Type: " + response.contentType + "\r\n";
    for (const auto& [name, value] : response.headers) {
        head += name + ": " + value + "\r\n";
    }
    head += keepAlive ? "Connection: keep-alive\r\n" : "Connection: close\r\n";
    if (!response.stream) {
        head += "Content-Length: " + std::to_string(response.body.size()) + "\r\n\r\n";
        head += response.body;
        return connection.write(head.data(), head.size(), Clock::now() + writeTimeout);
    }
    head += "Transfer-Encoding: chunked\r\n\r\n";
    if (!connection.write(head.data(), head.size(), Clock::now() + writeTimeout)) {
        return false;
    }
    std::string part;
    bool more = true;
    while (more) {
        part.clear();
        more = response.stream(part);
        if (part.empty()) {
            continue;
        }
        char size[32];
        std::snprintf(size, sizeof size, "%zx\r\n", part.size());
        part.insert(0, size);
        part += "\r\n";
        if (!connection.write(part.data(), part.size(), Clock::now() + writeTimeout)) {
            return false;
        }
    }
    return connection.write("0\r\n\r\n", 5, Clock::now() + writeTimeout);
}

}  // namespace

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

HttpServer::HttpServer(HttpLimits limits, Handler handler, SSL_CTX* tls)
    : limits_(limits), handler_(std::move(handler)), tls_(tls) {
    if (::pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) {
        throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
    }
}

HttpServer::~HttpServer() {
    if (listenFd_ >= 0) {
        ::close(listenFd_);
    }
    ::close(wake_[0]);
    ::close(wake_[1]);
}

int HttpServer::bind(const std::string& host, int port) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    errno = 0;
    if (::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0 || !found) {
        errno = 0;
        return -1;
    }
    int fd = -1;
    int failure = 0;
    for (addrinfo* at = found; at; at = at->ai_next) {
        fd = ::socket(at->ai_family, at->ai_socktype | SOCK_CLOEXEC, at->ai_protocol);
        if (fd < 0) {
            failure = errno;
            continue;
        }
        // SO_REUSEADDR only: it lets a restarted collector bind over connections lingering
        // in TIME_WAIT. SO_REUSEPORT would let a second collector silently share the port.
        int yes = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
        if (::bind(fd, at->ai_addr, at->ai_addrlen) == 0 && ::listen(fd, 1024) == 0) {
            break;
        }
        failure = errno;
        ::close(fd);
        fd = -1;
    }
    ::freeaddrinfo(found);
    if (fd < 0) {
        errno = failure;
        return -1;
    }
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    listenFd_ = fd;
    if (address.ss_family == AF_INET6) {
        return ntohs(reinterpret_cast<sockaddr_in6*>(&address)->sin6_port);
    }
    return ntohs(reinterpret_cast<sockaddr_in*>(&address)->sin_port);
}

void HttpServer::run() {
    for (;;) {
        {
            // At the bound, new clients wait in the backlog until a connection ends.
            std::unique_lock<std::mutex> lock(mutex_);
            changed_.wait(lock, [&] { return stopping_ || open_.size() < limits_.maxConnections; });
            if (stopping_) {
                break;
            }
        }
        pollfd fds[2] = {{listenFd_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            break;
        }
        if (fds[1].revents) {
            break;
        }
        const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0) {
            if (errno == EMFILE || errno == ENFILE) {
                // Out of descriptors: give the open connections a moment to end instead of
                // spinning on the same pending client.
                std::unique_lock<std::mutex> lock(mutex_);
                changed_.wait_for(lock, std::chrono::milliseconds(100));
            }
            continue;
        }
        int yes = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            open_.insert(fd);
        }
        try {
            std::thread([this, fd] { serve(fd); }).detach();
        } catch (const std::system_error&) {
            std::lock_guard<std::mutex> lock(mutex_);
            open_.erase(fd);
            ::close(fd);
        }
    }
    // End the connections still open and wait for their threads, which use this object.
    std::unique_lock<std::mutex> lock(mutex_);
    stopping_ = true;
    for (const int fd : open_) {
        ::shutdown(fd, SHUT_RDWR);
    }
    changed_.wait(lock, [&] { return open_.empty(); });
}

void HttpServer::stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    const char byte = 1;
    (void)!::write(wake_[1], &byte, 1);
}

void HttpServer::serve(int fd) {
    const auto opened = Clock::now();
    {
        SSL* ssl = nullptr;
        if (tls_) {
            ssl = SSL_new(tls_);
            if (ssl) {
                SSL_set_fd(ssl, fd);
            }
        }
        Connection connection(fd, ssl);
        RequestReader reader(connection);
        bool first = true;
        if (!tls_ || (ssl && connection.handshake(opened + limits_.requestDeadline))) {
            for (;;) {
                HttpRequest request;
                int status = 0;
                bool expectContinue = false;
                // The first request's time runs from the connection's opening, so that a
                // client that connects and sends nothing is cut off like a slow one.
                const auto firstByteBy =
                    first ? opened + limits_.requestDeadline : Clock::now() + limits_.idleTimeout;
                const auto outcome =
                    reader.next(request, limits_, firstByteBy, first ? firstByteBy : Clock::time_point::max(),
                                status, expectContinue);
                first = false;
                if (outcome == RequestReader::Outcome::REQUEST && expectContinue) {
                    const char* goOn = "HTTP/1.1 100 Continue\r\n\r\n";
                    if (!connection.write(goOn, std::strlen(goOn), Clock::now() + limits_.writeTimeout)) {
                        break;
                    }
                }
                const bool complete = outcome == RequestReader::Outcome::REQUEST &&
                                      reader.body(request, limits_.maxBody, status);
                if (!complete) {
                    // The stream can no longer be read in step: answer what went wrong, when
                    // there is anything to say, and close.
                    if (status != 0) {
                        HttpResponse refusal;
                        refusal.status = status;
                        refusal.contentType = "application/json";
                        refusal.body = status == 413   ? "{\"error\":\"the body is larger than allowed\"}"
                                       : status == 408 ? "{\"error\":\"the request took too long to arrive\"}"
                                                       : "{\"error\":\"malformed request\"}";
                        writeResponse(connection, refusal, false, limits_.writeTimeout);
                        if (!tls_) {
                            // Closing with unread bytes would reset the connection, and the
                            // client could lose the answer: end the sending side and drop a
                            // bounded amount of what still comes first.
                            ::shutdown(fd, SHUT_WR);
                            const auto until = Clock::now() + std::chrono::milliseconds(500);
                            char sink[16384];
                            for (int reads = 0;
                                 reads < 64 && connection.read(sink, sizeof sink, until) > 0;) {
                                ++reads;
                            }
                        }
                    }
                    break;
                }
                HttpResponse response;
                try {
                    handler_(request, response);
                } catch (const std::exception&) {
                    response = HttpResponse{};
                    response.status = 500;
                    response.contentType = "application/json";
                    response.body = "{\"error\":\"internal error\"}";
                }
                const std::string connectionHeader = lower(request.header("connection"));
                const bool keepAlive = request.header(":version") == "1.0" ? connectionHeader == "keep-alive"
                                                                           : connectionHeader != "close";
                bool stopping;
                {
                    std::lock_guard<std::mutex> lock(mutex_);
                    stopping = stopping_;
                }
                if (!writeResponse(connection, response, keepAlive && !stopping, limits_.writeTimeout) ||
                    !keepAlive || stopping) {
                    break;
                }
            }
        }
        if (ssl) {
            SSL_shutdown(ssl);
        }
    }
    ::shutdown(fd, SHUT_RDWR);
    {
        // Closed under the lock, so that run() never shuts down a number already reused.
        std::lock_guard<std::mutex> lock(mutex_);
        open_.erase(fd);
        ::close(fd);
    }
    changed_.notify_all();
}

}  // namespace collector
