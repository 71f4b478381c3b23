// lumvex-collector: the development collection server. It accepts the library's uploads,
// checks their shape, keeps them in SQLite and shows what it received, a page at a time.

#include "HttpServer.h"
#include "Page.h"
#include "UploadCheck.h"
#include "UploadStore.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include <pthread.h>
#include <sys/resource.h>
#include <unistd.h>

namespace {

struct Options {
    std::string host = "127.0.0.1";
    int port = 8710;
    std::string database = "lumvex-collector.sqlite";
    std::optional<int> fixedStatus;
    bool quiet = false;
    bool summaryOnly = false;
    bool untilStdinCloses = false;
    collector::TlsFiles tls;  // both set: serve https
    std::size_t maxBody = std::size_t{1} << 20;
    std::size_t maxBodiesBeingRead = std::size_t{256} << 20;
    long long listedFixes = collector::UploadStore::DEFAULT_LISTED_FIXES;
    int answerDelayMs = 0;
    std::optional<double> retainDays;
    int requestDeadlineMs = 10000;
    int dbTimeoutMs = 5000;
};

constexpr const char* ENDPOINTS =
    "Endpoints: POST /api/v1/<key>/send_locations, GET / (a page of keys and devices,\n"
    "each device's last description and its fixes drawn as a track),\n"
    "GET /uploads[?key=K&device=D], GET /summary, GET /summary.txt. Listings come in\n"
    "pages; a Link header (rel=\"next\") names the next one.\n"
    "\n"
    "An upload whose Idempotency-Key was already accepted for its API key is answered\n"
    "200 again and not kept twice. When the database does not answer within\n"
    "--db-timeout-ms, an upload is answered 503 and may be sent again.";

/// The options, or the exit status when the command line was handled here (help) or
/// refused, with one message on standard error.
std::optional<int> parseArguments(int argc, char** argv, Options& options) {
    CLI::App app("lumvex-collector: the development collection server", "lumvex-collector");
    app.footer(ENDPOINTS);
    // An option given twice takes its last value, so that a wrapper's defaults can be
    // overridden on the same command line.
    app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    app.add_option("--host", options.host, "address to listen on")->capture_default_str();
    app.add_option("--port", options.port, "port to listen on (0 lets the system choose)")
        ->capture_default_str()
        ->check(CLI::Range(0, 65535));
    app.add_option("--db", options.database,
                   "SQLite file that keeps the uploads, or a PostgreSQL URI (postgresql://...) that\n"
                   "several collectors share")
        ->capture_default_str();
    app.add_option("--status", options.fixedStatus, "answer every upload with CODE instead of 200 or 400")
        ->type_name("CODE")
        ->check(CLI::Range(100, 599));
    app.add_flag("--quiet", options.quiet, "print nothing per upload");
    auto* cert =
        app.add_option("--tls-cert", options.tls.certificateChain, "serve https with this PEM certificate");
    auto* key = app.add_option("--tls-key", options.tls.privateKey, "the private key of --tls-cert, as PEM");
    cert->needs(key);
    key->needs(cert);
    app.add_option("--max-body", options.maxBody, "refuse a larger upload body with 413")
        ->capture_default_str()
        ->check(CLI::Range(std::size_t{1}, std::size_t{1} << 30));
    app.add_option("--max-bodies-being-read", options.maxBodiesBeingRead,
                   "answer a request 503 when it would take the bodies being read at once past N\n"
                   "bytes, so that many slow uploads cannot take all the memory")
        ->type_name("N")
        ->capture_default_str()
        ->check(CLI::Range(std::size_t{1}, std::size_t{1} << 40));
    app.add_option("--listed-fixes", options.listedFixes, "list at most the N most recent fixes per device")
        ->capture_default_str()
        ->check(CLI::Range(1LL, 1LL << 30));
    app.add_option("--answer-delay-ms", options.answerDelayMs,
                   "answer each upload N ms after keeping it, as a slow server")
        ->check(CLI::Range(0, 1 << 30));
    app.add_option("--retain-days", options.retainDays,
                   "remove uploads older than N days (a decimal number), in the background and in\n"
                   "small batches (default: keep everything)")
        ->check(CLI::Range(1e-9, 1e6));
    app.add_option("--request-deadline-ms", options.requestDeadlineMs,
                   "the time a client has to send a whole request, head and body, before it is\n"
                   "answered 408 and cut off")
        ->capture_default_str()
        ->check(CLI::Range(1, 1 << 30));
    app.add_option("--db-timeout-ms", options.dbTimeoutMs,
                   "the longest an upload or a listing waits for the database before it is\n"
                   "answered 503; opening the database at start gets twice as long")
        ->capture_default_str()
        ->check(CLI::Range(100, 1 << 30));
    app.add_flag("--until-stdin-closes", options.untilStdinCloses,
                 "stop when standard input reaches its end, e.g. when the process that started\n"
                 "the collector ends");
    app.add_flag("--summary", options.summaryOnly,
                 "print what the database holds, per key and device, and exit");
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        std::fprintf(stderr, "lumvex-collector: %s\nRun lumvex-collector --help to see the options.\n",
                     e.what());
        return 2;
    }
    return std::nullopt;
}

std::mutex outputMutex;

/// One line of the collector's output. What clients sent (keys, devices, reasons that quote
/// them) is escaped, so that one event is one line, whatever bytes came.
void say(const std::string& line, std::FILE* to = stdout) {
    const std::string text = collector::escapedForLog(line);
    std::lock_guard<std::mutex> guard(outputMutex);
    std::fwrite(text.data(), 1, text.size(), to);
    std::fputc('\n', to);
    std::fflush(to);
}

/// A whole number from a query, nothing when it is not one within [low, high].
std::optional<long long> parseNumber(const std::string& text, long long low, long long high) {
    if (text.empty() || text.size() > 19 || text.find_first_not_of("0123456789") != std::string::npos) {
        return std::nullopt;
    }
    const long long value = std::stoll(text);
    if (value < low || value > high) {
        return std::nullopt;
    }
    return value;
}

void answer(collector::HttpResponse& res, int status, const nlohmann::json& body) {
    res.status = status;
    res.contentType = "application/json";
    res.body = collector::dumpJson(body);
}

/// The database did not answer in time or cannot be used: the client may try again.
void unavailable(collector::HttpResponse& res, const collector::Unavailable& e) {
    answer(res, 503, {{"error", e.what()}});
    res.headers.emplace_back("Retry-After", "1");
}

std::string urlEncode(const std::string& text) {
    static const char* HEX = "0123456789ABCDEF";
    std::string out;
    for (const unsigned char c : text) {
        if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~') {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += HEX[c >> 4];
            out += HEX[c & 15];
        }
    }
    return out;
}

/// A page size from the request: `fallback` when absent, never above `most`.
long long pageSize(const collector::HttpRequest& req, long long fallback, long long most) {
    const auto given = parseNumber(req.param("limit"), 1, most);
    return std::min(given.value_or(fallback), most);
}

void linkNext(collector::HttpResponse& res, const std::string& target) {
    res.headers.emplace_back("Link", "<" + target + ">; rel=\"next\"");
}

// Bounds of one page. A listing's memory is bounded by them whatever the database holds.
constexpr long long UPLOADS_PER_PAGE = 500;
constexpr long long UPLOADS_PER_PAGE_MOST = 1000;
constexpr long long UPLOADS_PER_READ = 50;
constexpr long long DEVICES_PER_PAGE = 50;
constexpr long long SUMMARY_PER_PAGE = 1000;

void handleUpload(const Options& options, collector::UploadStore& store, const collector::HttpRequest& req,
                  collector::HttpResponse& res) {
    const auto key = collector::apiKeyFromTarget(req.target);
    if (!key) {
        answer(res, 404, {{"error", "uploads go to /api/v1/<key>/send_locations"}});
        return;
    }
    // A key is kept and listed as text; bytes that are not UTF-8 would make every
    // listing that holds them unreadable.
    if (!collector::isValidUtf8(*key)) {
        answer(res, options.fixedStatus.value_or(400), {{"error", "the API key is not UTF-8"}});
        return;
    }
    // PostgreSQL keeps text only up to a NUL, and an Idempotency-Key made text by
    // replacing its stray bytes would match another one: either way two different keys
    // would become one. Such keys are refused on every store alike.
    const std::string idempotencyKey = req.header("idempotency-key");
    std::string reason;
    auto body = collector::checkUpload(req.body, reason);
    if (key->find('\0') != std::string::npos) {
        body.reset();
        reason = "the API key contains a NUL byte";
    } else if (!collector::isValidUtf8(idempotencyKey)) {
        body.reset();
        reason = "the Idempotency-Key is not UTF-8";
    } else if (body && body->at("google_aid").get<std::string>().find('\0') != std::string::npos) {
        body.reset();
        reason = "google_aid contains a NUL byte";
    }
    if (!body) {
        const int status = options.fixedStatus.value_or(400);
        answer(res, status, {{"error", reason}});
        if (!options.quiet) {
            say("rejected upload for key " + *key + ": " + reason + " -> " + std::to_string(status));
        }
        return;
    }
    collector::Upload upload;
    upload.apiKey = *key;
    upload.device = body->at("google_aid").get<std::string>();
    upload.status = options.fixedStatus.value_or(200);
    // Header values are kept as text: bytes that are not UTF-8 are kept as U+FFFD.
    upload.contentType = collector::validUtf8(req.header("content-type"));
    upload.userAgent = collector::validUtf8(req.header("user-agent"));
    upload.idempotencyKey = idempotencyKey;
    upload.body = std::move(*body);
    collector::Added added;
    try {
        added = store.add(upload);
    } catch (const collector::Unavailable& e) {
        unavailable(res, e);
        return;
    } catch (const std::exception& e) {
        answer(res, 500, {{"error", e.what()}});
        return;
    }
    if (options.answerDelayMs > 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(options.answerDelayMs));
    }
    const long long id = added.id;
    if (added.replayed) {
        answer(res, 200, {{"id", id}, {"replayed", true}});
        if (!options.quiet) {
            say("replayed upload #" + std::to_string(id) + " key=" + upload.apiKey + " -> 200");
        }
        return;
    }
    answer(res, upload.status, {{"id", id}});
    if (!options.quiet) {
        say("upload #" + std::to_string(id) + " key=" + upload.apiKey + " device=" + upload.device +
            " locations=" + std::to_string(upload.body.at("locations").size()) +
            " device_info=" + (upload.body.at("devices_infos").empty() ? "no" : "yes") + " -> " +
            std::to_string(upload.status));
    }
}

/// GET /uploads: one window of ids per page, read and sent a few uploads at a time.
void handleUploads(const Options& options, const collector::UploadStore& store,
                   const collector::HttpRequest& req, collector::HttpResponse& res) {
    const std::string key = req.param("key");
    const std::string device = req.param("device");
    const long long after = parseNumber(req.param("after"), 0, LLONG_MAX).value_or(0);
    const long long limit = pageSize(req, UPLOADS_PER_PAGE, UPLOADS_PER_PAGE_MOST);
    const auto window = store.window(after, limit);
    if (window.more) {
        linkNext(res, "/uploads?key=" + urlEncode(key) + "&device=" + urlEncode(device) +
                          "&after=" + std::to_string(window.afterId) + "&limit=" + std::to_string(limit));
    }
    res.contentType = "application/json";
    struct State {
        long long after;
        bool started = false;
        bool first = true;
        bool done = false;
    };
    auto state = std::make_shared<State>(State{after});
    const long long upTo = window.afterId;
    const long long fixes = options.listedFixes;
    res.stream = [&store, state, key, device, upTo, fixes](std::string& out) {
        if (!state->started) {
            state->started = true;
            out += '[';
        }
        collector::Resume resume;
        const auto rows = store.listUploads(key, device, state->after, upTo, UPLOADS_PER_READ, fixes, resume);
        for (const auto& row : rows) {
            out += state->first ? "" : ",";
            state->first = false;
            out += collector::dumpJson(row);
        }
        state->after = resume.afterId;
        if (!resume.more) {
            out += ']';
            return false;
        }
        return true;
    };
}

/// GET /: a page of devices, each read and drawn in turn.
void handlePage(const Options& options, const collector::UploadStore& store,
                const collector::HttpRequest& req, collector::HttpResponse& res) {
    collector::Resume resume;
    auto devices = std::make_shared<std::vector<collector::DeviceCounts>>(
        store.listDevices(req.param("after_key"), req.param("after_device"), DEVICES_PER_PAGE, resume));
    const std::string next = resume.more ? "/?after_key=" + urlEncode(resume.afterKey) +
                                               "&after_device=" + urlEncode(resume.afterDevice)
                                         : "";
    const auto totals = store.totals();
    res.headers.emplace_back("Content-Security-Policy", collector::PAGE_CONTENT_SECURITY_POLICY);
    res.contentType = "text/html; charset=utf-8";
    auto index = std::make_shared<long long>(-1);
    const long long fixes = options.listedFixes;
    res.stream = [&store, devices, index, next, totals, fixes](std::string& out) {
        const auto at = static_cast<std::size_t>((*index)++);
        if (*index == 0) {
            out += collector::renderPageStart(totals);
            return true;
        }
        if (at >= devices->size()) {
            if (!devices->empty()) {
                out += collector::renderKeyEnd();
            }
            out += collector::renderPageEnd(next);
            return false;
        }
        const auto& counts = (*devices)[at];
        if (at == 0 || (*devices)[at - 1].apiKey != counts.apiKey) {
            if (at != 0) {
                out += collector::renderKeyEnd();
            }
            out += collector::renderKeyStart(counts.apiKey);
        }
        collector::DeviceView view;
        view.counts = counts;
        store.deviceUploads(counts, fixes, [&](const std::string& receivedAt, nlohmann::json&& body) {
            view.add(receivedAt, body);
        });
        out += collector::renderDevice(view);
        return true;
    };
}

void handleSummary(const collector::UploadStore& store, const collector::HttpRequest& req,
                   collector::HttpResponse& res, bool text) {
    collector::Resume resume;
    const long long limit = pageSize(req, SUMMARY_PER_PAGE, SUMMARY_PER_PAGE);
    const auto devices = store.listDevices(req.param("after_key"), req.param("after_device"), limit, resume);
    if (resume.more) {
        linkNext(res, std::string(text ? "/summary.txt" : "/summary") + "?after_key=" +
                          urlEncode(resume.afterKey) + "&after_device=" + urlEncode(resume.afterDevice) +
                          "&limit=" + std::to_string(limit));
    }
    if (!text) {
        answer(res, 200, collector::summaryJson(devices));
        return;
    }
    res.contentType = "text/plain; charset=utf-8";
    const bool first = req.param("after_key").empty() && req.param("after_device").empty();
    if (first && devices.empty()) {
        res.body = "No uploads received.\n";
        return;
    }
    if (first) {
        const auto totals = store.totals();
        res.body = std::to_string(totals.uploads) + " upload(s) from " + std::to_string(totals.keys) +
                   " key(s) and " + std::to_string(totals.devices) + " device(s).\n";
    }
    res.body += collector::formatSummary(devices, first);
    if (resume.more) {
        res.body += "More: GET /summary.txt?after_key=" + urlEncode(resume.afterKey) +
                    "&after_device=" + urlEncode(resume.afterDevice) + "\n";
    }
}

/// The whole summary on standard output, a page at a time.
void printSummary(const collector::UploadStore& store) {
    collector::Resume resume;
    bool first = true;
    do {
        const auto devices = store.listDevices(resume.afterKey, resume.afterDevice, SUMMARY_PER_PAGE, resume);
        if (first && devices.empty()) {
            std::fputs("No uploads received.\n", stdout);
            return;
        }
        std::fputs(collector::formatSummary(devices, first).c_str(), stdout);
        first = false;
    } while (resume.more);
}

void route(const Options& options, collector::UploadStore& store, const collector::HttpRequest& req,
           collector::HttpResponse& res) {
    // Filters are compared as text, which ends at a NUL on PostgreSQL.
    if (req.param("key").find('\0') != std::string::npos ||
        req.param("device").find('\0') != std::string::npos) {
        answer(res, 400, {{"error", "a filter contains a NUL byte"}});
        return;
    }
    try {
        if (req.method == "POST") {
            handleUpload(options, store, req, res);
        } else if (req.method != "GET") {
            answer(res, 405, {{"error", "only GET and POST are served"}});
        } else if (req.path == "/") {
            handlePage(options, store, req, res);
        } else if (req.path == "/uploads") {
            handleUploads(options, store, req, res);
        } else if (req.path == "/summary" || req.path == "/summary.txt") {
            handleSummary(store, req, res, req.path == "/summary.txt");
        } else {
            answer(res, 404, {{"error", "no such page"}});
        }
    } catch (const collector::Unavailable& e) {
        res = collector::HttpResponse{};
        unavailable(res, e);
    }
}

/// SIGINT and SIGTERM, taken by one thread of ours so that the server is stopped outside a
/// signal handler. Before the server runs (the database may still be opening) a signal
/// ends the process at once: there is nothing yet to finish.
class Stopper {
public:
    Stopper() {
        sigemptyset(&signals_);
        sigaddset(&signals_, SIGINT);
        sigaddset(&signals_, SIGTERM);
        // Blocked before any other thread starts, so that every thread inherits the mask.
        pthread_sigmask(SIG_BLOCK, &signals_, nullptr);
        thread_ = std::thread([this] {
            int received = 0;
            sigwait(&signals_, &received);
            std::lock_guard<std::mutex> lock(mutex_);
            if (leaving_) {
                return;
            }
            if (!server_) {
                std::_Exit(128 + received);
            }
            server_->stop();
        });
    }
    ~Stopper() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            leaving_ = true;
        }
        // Wake the signal thread when no signal came.
        pthread_kill(thread_.native_handle(), SIGTERM);
        thread_.join();
    }
    void serving(collector::HttpServer* server) {
        std::lock_guard<std::mutex> lock(mutex_);
        server_ = server;
    }

private:
    sigset_t signals_;
    std::mutex mutex_;
    collector::HttpServer* server_ = nullptr;  // guarded by mutex_
    bool leaving_ = false;                     // guarded by mutex_
    std::thread thread_;
};

/// Many idle clients each hold a descriptor: take all the descriptors the system allows.
void raiseDescriptorLimit() {
    rlimit files{};
    if (::getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
        files.rlim_cur = files.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &files);
    }
}

std::unique_ptr<collector::UploadStore> openStore(const Options& options) {
    collector::UploadStore::Options storeOptions;
    if (options.retainDays) {
        storeOptions.retainFor = std::chrono::duration<double>(*options.retainDays * 86400.0);
    }
    storeOptions.timeout = std::chrono::milliseconds(options.dbTimeoutMs);
    // A summary reads what is there; it must not leave an empty database behind.
    storeOptions.mustExist = options.summaryOnly;
    return collector::UploadStore::open(options.database, storeOptions);
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (const auto status = parseArguments(argc, argv, options)) {
        return *status;
    }
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGXFSZ, SIG_IGN);  // a file size limit gives a write error, not an end
    raiseDescriptorLimit();
    Stopper stopper;
    try {
        const auto store = openStore(options);
        if (options.summaryOnly) {
            printSummary(*store);
            return 0;
        }
        collector::HttpLimits limits;
        // One upload of many megabytes once took the page 20 s and the collector gigabytes;
        // the library's own bodies are a few kilobytes.
        limits.maxBody = options.maxBody;
        limits.maxBodiesBeingRead = options.maxBodiesBeingRead;
        limits.requestDeadline = std::chrono::milliseconds(options.requestDeadlineMs);
        collector::HttpServer server(
            limits, [&](const auto& req, auto& res) { route(options, *store, req, res); },
            options.tls.certificateChain.empty() ? nullptr : &options.tls);
        const int port = server.bind(options.host, options.port);
        if (port <= 0) {
            // The socket calls that failed left their reason in errno; an address that does
            // not resolve leaves none.
            const int reason = errno;
            throw std::runtime_error("cannot listen on " + options.host + ":" + std::to_string(options.port) +
                                     ": " +
                                     (reason != 0 ? std::strerror(reason) : "the address does not resolve"));
        }
        // Tests read this first line to learn the port.
        say(std::string("lumvex-collector listening on ") +
            (options.tls.certificateChain.empty() ? "http" : "https") + "://" + options.host + ":" +
            std::to_string(port) + "/");
        if (options.untilStdinCloses) {
            // Left running on purpose: it ends with the process.
            std::thread([] {
                char buffer[256];
                while (::read(STDIN_FILENO, buffer, sizeof buffer) > 0) {
                }
                ::kill(::getpid(), SIGTERM);
            }).detach();
        }
        stopper.serving(&server);
        server.run();
        stopper.serving(nullptr);
        if (!options.quiet) {
            printSummary(*store);
        }
    } catch (const std::exception& e) {
        say(std::string("lumvex-collector: ") + e.what(), stderr);
        return 1;
    }
    return 0;
}
