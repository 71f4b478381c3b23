#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

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
    /// trickles bytes is answered 408 and cut off when it runs out, however steadily it
    /// sends.
    std::chrono::milliseconds requestDeadline{10000};
    /// How long a kept-alive connection may wait for its next request to begin.
    std::chrono::milliseconds idleTimeout{5000};
    /// How long one write of an answer may wait for the client to read.
    std::chrono::milliseconds writeTimeout{10000};
    /// Connections open at once; beyond them, new clients wait in the listen backlog until
    /// one ends. An open connection costs a socket and a few kilobytes, not a thread, and
    /// the process's descriptor limit lowers this bound when it is smaller.
    std::size_t maxConnections = 10000;
    /// The bytes of all the request bodies being read at once; a request whose body would
    /// pass it is answered 503 and its connection closed.
    std::size_t maxBodiesBeingRead = std::size_t{256} << 20;
    /// Threads that serve, each with an event loop of its own: a new connection goes to the
    /// next loop in turn, which reads, parses and writes for it and runs its handler.
    /// Waiting for a client never holds a thread; a handler that waits for the database
    /// holds its thread, and the other connections of its loop, until the database
    /// answers or the store's timeout ends its wait. Also the requests handled at once.
    std::size_t threads = 64;
};

/// PEM files that make the server speak https.
struct TlsFiles {
    std::string certificateChain;
    std::string privateKey;
};

/// The collector's HTTP/1.1 server (optionally https): Boost.Beast parses and frames every
/// request; each of a pool of threads waits on its share of the connections at once (epoll),
/// so a connection that sends nothing costs no thread. Keep-alive, bodies by Content-Length or chunked,
/// each counted against the limit as it is read.
class HttpServer {
public:
    using Handler = std::function<void(const HttpRequest&, HttpResponse&)>;

    /// Throws std::runtime_error when `tls` is given and its files cannot be used.
    HttpServer(HttpLimits limits, Handler handler, const TlsFiles* tls);
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    /// Listens on `host`:`port` (0: the system chooses). The port, or -1 with errno set
    /// (0 when the address does not resolve).
    int bind(const std::string& host, int port);
    /// Serves until stop(). Then it stops reading, lets the requests being handled be
    /// answered (with Connection: close), and returns once every connection has ended.
    void run();
    /// Makes run() return. From any thread, not from a signal handler.
    void stop();

    class Impl;

private:
    std::shared_ptr<Impl> impl_;
};

}  // namespace collector
