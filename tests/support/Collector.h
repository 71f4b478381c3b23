#pragma once

#include "TestSupport.h"

#include <nlohmann/json.hpp>

#include <sys/types.h>
#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace lumvex::test {

/// A GET or POST made by the tests themselves: the status (0 when no answer came) and
/// the body.
struct HttpResult {
    long status = 0;
    std::string body;
    std::string nextPage;  // the target of a `Link: <...>; rel="next"` header, "" for none
};
/// `trustedCertificate`, when given, is the one certificate that an https server may
/// present.
HttpResult httpGet(const std::string& url, const std::string& trustedCertificate = "");
/// `headers` are whole header lines, e.g. "Idempotency-Key: k".
HttpResult httpPost(const std::string& url, const std::string& body,
                    const std::string& contentType = "application/json",
                    const std::vector<std::string>& headers = {});

/// A self-signed certificate for 127.0.0.1 and its key, as PEM files, made with the
/// openssl tool.
class SelfSignedCertificate {
public:
    SelfSignedCertificate();
    std::string certificatePath() const { return dir_.file("cert.pem"); }
    std::string keyPath() const { return dir_.file("key.pem"); }

private:
    TempDir dir_;
};

/// A running `lumvex-collector` on 127.0.0.1 at a port that the system chose, with its
/// database in a temporary folder. Ended with the object.
class Collector {
public:
    struct Options {
        std::optional<int> status;                   // answer every upload with this status
        const SelfSignedCertificate* tls = nullptr;  // serve https with it
        std::vector<std::string> arguments = {};     // more of the collector's own options
    };

    Collector();
    explicit Collector(Options options);
    ~Collector();
    Collector(const Collector&) = delete;
    Collector& operator=(const Collector&) = delete;

    int port() const { return port_; }
    pid_t pid() const { return pid_; }
    /// "http://127.0.0.1:<port>/" (or https), the base URL that uploads go below.
    std::string baseUrl() const;

    /// Every upload kept so far (the collector's GET /uploads, page after page), optionally
    /// for one key. Unless the options bound them, its listings show every fix.
    nlohmann::json uploads(const std::string& apiKey = "") const;
    /// How many uploads it kept under each Idempotency-Key ("" for none), any status.
    std::map<std::string, int> keptPerKey() const;
    /// The collector's per-key, per-device summary (GET /summary, page after page).
    nlohmann::json summary() const;

private:
    TempDir dir_;
    pid_t pid_ = -1;
    int output_ = -1;    // the read end of the collector's standard output
    int lifeline_ = -1;  // the write end of its standard input
    int port_ = 0;
    std::string scheme_ = "http";
    std::string trusted_;  // the certificate that its own listings are checked against
};

/// A PostgreSQL server of the test's own: a cluster made with initdb in a temporary folder
/// and started with pg_ctl, listening only on a Unix socket in that folder. Run as
/// "nobody" when the test runs as root, since PostgreSQL refuses to run as root. Stopped
/// and thrown away with the object.
class PostgresServer {
public:
    /// Where Debian's server programs are, "" when PostgreSQL is not installed.
    static std::string programs();

    /// Throws std::runtime_error when the server cannot be started.
    PostgresServer();
    ~PostgresServer();
    PostgresServer(const PostgresServer&) = delete;
    PostgresServer& operator=(const PostgresServer&) = delete;

    /// A connection URI for the collector's --db.
    std::string uri() const;
    /// Sends `signal` to the server and to every process it started: SIGSTOP makes a
    /// server that accepts and never answers, SIGCONT lets it go on.
    void signalAll(int signal) const;
    /// Restarts the server as `pg_ctl restart` does (fast: open connections are ended);
    /// whether it serves again.
    bool restart() const;

private:
    TempDir dir_;
    std::string bin_;
};

/// What one run of `lumvex-collector` with `args` that ends by itself left: its exit
/// status (-1 when it had to be killed after `timeout`) and its standard error. Standard
/// input is closed, so a collector that does start listening ends with it.
struct CommandResult {
    int status = -1;
    std::string errors;
};
CommandResult runCollectorCommand(const std::vector<std::string>& args,
                                  std::chrono::milliseconds timeout = std::chrono::seconds(20));

/// A TCP port on 127.0.0.1 that is bound but not listening, so connecting is refused.
class RefusingPort {
public:
    RefusingPort();
    ~RefusingPort();
    int port() const { return port_; }
    std::string baseUrl() const;

private:
    int fd_ = -1;
    int port_ = 0;
};

/// A TCP listener on 127.0.0.1 that the system lets clients connect to, and that never
/// answers: what a hung server looks like from the client.
class SilentServer {
public:
    SilentServer();
    ~SilentServer();
    int port() const { return port_; }
    std::string baseUrl() const;

private:
    int fd_ = -1;
    int port_ = 0;
};

/// A TCP listener on 127.0.0.1 whose connections the test answers by hand, one at a
/// time, so that it can act while a client waits for the answer.
class ManualServer {
public:
    ManualServer();
    ~ManualServer();
    int port() const { return port_; }
    std::string baseUrl() const;

    /// Accepts the next connection and reads one whole request from it (headers and the
    /// body that Content-Length announces). Returns whether that came within `timeout`.
    bool acceptRequest(std::chrono::milliseconds timeout = std::chrono::seconds(10));
    /// Whether another client connects within `timeout`, leaving the accepted one as it is.
    bool connectionWaiting(std::chrono::milliseconds timeout) const;
    /// The raw request that `acceptRequest` read.
    const std::string& request() const { return request_; }
    /// Passes the accepted request on to `collector`, with its Idempotency-Key, as a
    /// proxy would; the collector's answer.
    HttpResult forwardTo(const Collector& collector) const;
    /// Answers the accepted request with `status` and a short body, and closes.
    void respond(int status);
    /// Resets the accepted connection instead of answering.
    void reset();
    /// Writes raw bytes to the accepted connection, for answers that the test shapes
    /// itself (slow, huge or cut short). Returns whether all of them went out.
    bool send(const std::string& bytes);
    /// Starts an answer with `status` whose body comes in chunks (`sendChunk`) with no
    /// announced end. Returns whether the head went out.
    bool startChunkedAnswer(int status);
    /// Sends `data` as one chunk of that answer. Returns whether it went out.
    bool sendChunk(const std::string& data);
    /// Ends the accepted connection in an orderly way, whatever was sent so far.
    void close();

private:
    void closeClient(bool hard);

    int fd_ = -1;
    int client_ = -1;
    int port_ = 0;
    std::string request_;
};

/// A proxy on 127.0.0.1 in front of `collector` that answers each upload as `decide`
/// says, on a thread of its own, one connection at a time, until it is destroyed.
class FaultingProxy {
public:
    enum class Answer {
        passedOn,     // the collector's own answer
        clientError,  // 400 without passing it on; a key the collector kept is passed on instead,
                      // since a server does not refuse for good the replay of what it kept
        serverError,  // 503 without passing it on
        nothing,      // a reset without passing it on
        cutOff,       // passed on, then the answer cut off after a few bytes
    };
    FaultingProxy(const Collector& collector, std::function<Answer()> decide);
    ~FaultingProxy();
    FaultingProxy(const FaultingProxy&) = delete;
    FaultingProxy& operator=(const FaultingProxy&) = delete;

    std::string baseUrl() const { return server_.baseUrl(); }
    /// How many uploads got each answer, by name ("passed on", "400", "503", "reset",
    /// "cut off").
    std::map<std::string, int> answers() const;

private:
    void serve();

    const Collector& collector_;
    std::function<Answer()> decide_;
    ManualServer server_;
    std::set<std::string> kept_;  // the Idempotency-Keys that the collector kept; serve() only
    mutable std::mutex mutex_;
    std::map<std::string, int> answers_;
    std::atomic<bool> over_{false};
    std::thread thread_;
};

}  // namespace lumvex::test
