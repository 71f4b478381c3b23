#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

typedef struct ssl_ctx_st SSL_CTX;

namespace collector {

struct HttpRequest {
    std::string method;
    std::string target;                                        // as sent, query included
    std::string path;                                          // the target without its query
    std::vector<std::pair<std::string, std::string>> query;    // decoded
    std::vector<std::pair<std::string, std::string>> headers;  // names in lower case
    std::string body;

    /// The first header named `lowerName`, "" when there is none.
    std::string header(const std::string& lowerName) const;
    /// The first query parameter named `name`, "" when there is none.
    std::string param(const std::string& name) const;
};

struct HttpResponse {
    int status = 200;
    std::string contentType = "text/plain";
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;
    /// When set, the body is sent in chunks as they are made: each call appends the next
    /// part to its argument and returns false once nothing more follows. Large listings
    /// go out this way, so that they never sit in memory whole.
    std::function<bool(std::string&)> stream;
};

struct HttpLimits {
    std::size_t maxBody = std::size_t{1} << 20;
    /// The whole of one request, head and body, must arrive within this time from its
    /// first byte (from the connection's opening, for its first request). A client that
    /// trickles bytes is cut off when it runs out, however steadily it sends.
    std::chrono::milliseconds requestDeadline{10000};
    /// How long a kept-alive connection may wait for its next request.
    std::chrono::milliseconds idleTimeout{5000};
    /// How long one write of an answer may wait for the client to read.
    std::chrono::milliseconds writeTimeout{10000};
    /// Connections served at once, each on a thread of its own; further clients wait in
    /// the listen backlog until one ends. Every connection ends within the deadlines
    /// above, so a waiting client gets its turn.
    std::size_t maxConnections = 1024;
};

/// A small HTTP/1.1 server (optionally over TLS) for the collector: every connection on a
/// thread of its own, keep-alive, bodies framed by Content-Length or chunked, each counted
/// against the limit as it is read.
class HttpServer {
public:
    using Handler = std::function<void(const HttpRequest&, HttpResponse&)>;

    /// `tls`, when given, is used for every connection and stays owned by the caller.
    HttpServer(HttpLimits limits, Handler handler, SSL_CTX* tls);
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    /// Listens on `host`:`port` (0: the system chooses). The port, or -1 with errno set
    /// (0 when the address does not resolve).
    int bind(const std::string& host, int port);
    /// Serves until stop(); then ends every connection and returns once all have ended.
    void run();
    /// Makes run() return. From any thread, not from a signal handler.
    void stop();

private:
    void serve(int fd);

    const HttpLimits limits_;
    const Handler handler_;
    SSL_CTX* const tls_;
    int listenFd_ = -1;
    int wake_[2] = {-1, -1};

    std::mutex mutex_;
    std::condition_variable changed_;
    std::set<int> open_;     // guarded by mutex_: the connections being served
    bool stopping_ = false;  // guarded by mutex_
};

}  // namespace collector
