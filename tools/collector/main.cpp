// lumvex-collector: the development collection server. It accepts the library's uploads,
// checks their shape, keeps them in SQLite and shows what it received, a page at a time.

#include "HttpServer.h"
#include "Page.h"
#include "UploadCheck.h"
#include "UploadStore.h"

#include <openssl/ssl.h>

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

#include <getopt.h>
#include <pthread.h>
#include <sys/stat.h>
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
    std::string tlsCertificate;  // both set: serve https
    std::string tlsKey;
    std::size_t maxBody = std::size_t{1} << 20;
    long long listedFixes = collector::UploadStore::DEFAULT_LISTED_FIXES;
    int answerDelayMs = 0;
    std::optional<double> retainDays;
    int requestDeadlineMs = 10000;
};

void usage(std::FILE* to) {
    std::fprintf(to,
                 "usage: lumvex-collector [--host ADDRESS] [--port N] [--db PATH] [--status CODE] [--quiet]\n"
                 "       lumvex-collector [--db PATH|URI] --summary\n"
                 "\n"
                 "  --host ADDRESS  address to listen on (default 127.0.0.1)\n"
                 "  --port N        port to listen on (default 8710; 0 lets the system choose)\n"
                 "  --db PATH       SQLite file that keeps the uploads (default lumvex-collector.sqlite),\n"
                 "                  or a PostgreSQL URI (postgresql://...) that several collectors share\n"
                 "  --status CODE   answer every upload with CODE instead of 200 or 400\n"
                 "  --quiet         print nothing per upload\n"
                 "  --tls-cert PEM --tls-key PEM  serve https with this certificate and key\n"
                 "  --max-body BYTES  refuse a larger upload body with 413 (default 1048576)\n"
                 "  --listed-fixes N  list at most the N most recent fixes per device (default 1000)\n"
                 "  --answer-delay-ms N  answer each upload N ms after keeping it, as a slow server\n"
                 "  --retain-days N  remove uploads older than N days (a decimal number), in the\n"
                 "                  background and in small batches (default: keep everything)\n"
                 "  --request-deadline-ms N  the time a client has to send a whole request, head and\n"
                 "                  body, before it is cut off (default 10000)\n"
                 "  --until-stdin-closes  stop when standard input reaches its end, e.g. when the\n"
                 "                  process that started the collector ends\n"
                 "  --summary       print what the database holds, per key and device, and exit\n"
                 "\n"
                 "Endpoints: POST /api/v1/<key>/send_locations, GET / (a page of keys and devices,\n"
                 "each device's last description and its fixes drawn as a track),\n"
                 "GET /uploads[?key=K&device=D], GET /summary, GET /summary.txt. Listings come in\n"
                 "pages; a Link header (rel=\"next\") names the next one.\n"
                 "\n"
                 "An upload whose Idempotency-Key was already accepted for its API key is answered\n"
                 "200 again and not kept twice.\n");
}

std::optional<int> parseInt(const std::string& text, int low, int high) {
    try {
        std::size_t used = 0;
        const int value = std::stoi(text, &used);
        if (used == text.size() && value >= low && value <= high) {
            return value;
        }
    } catch (const std::exception&) {
    }
    return std::nullopt;
}

std::optional<Options> parseArguments(int argc, char** argv) {
    enum {
        HOST = 1000,
        PORT,
        DB,
        STATUS,
        QUIET,
        TLS_CERT,
        TLS_KEY,
        UNTIL_STDIN_CLOSES,
        SUMMARY,
        HELP,
        MAX_BODY,
        LISTED_FIXES,
        ANSWER_DELAY_MS,
        RETAIN_DAYS,
        REQUEST_DEADLINE_MS
    };
    static const option longOptions[] = {
        {"host", required_argument, nullptr, HOST},
        {"port", required_argument, nullptr, PORT},
        {"db", required_argument, nullptr, DB},
        {"status", required_argument, nullptr, STATUS},
        {"quiet", no_argument, nullptr, QUIET},
        {"tls-cert", required_argument, nullptr, TLS_CERT},
        {"tls-key", required_argument, nullptr, TLS_KEY},
        {"until-stdin-closes", no_argument, nullptr, UNTIL_STDIN_CLOSES},
        {"summary", no_argument, nullptr, SUMMARY},
        {"help", no_argument, nullptr, HELP},
        {"max-body", required_argument, nullptr, MAX_BODY},
        {"listed-fixes", required_argument, nullptr, LISTED_FIXES},
        {"answer-delay-ms", required_argument, nullptr, ANSWER_DELAY_MS},
        {"retain-days", required_argument, nullptr, RETAIN_DAYS},
        {"request-deadline-ms", required_argument, nullptr, REQUEST_DEADLINE_MS},
        {nullptr, 0, nullptr, 0},
    };
    Options options;
    opterr = 0;  // one message of our own per mistake
    for (;;) {
        const int found = getopt_long(argc, argv, ":h", longOptions, nullptr);
        if (found == -1) {
            break;
        }
        switch (found) {
            case HOST:
                options.host = optarg;
                break;
            case PORT: {
                auto port = parseInt(optarg, 0, 65535);
                if (!port) {
                    std::fprintf(stderr, "lumvex-collector: --port takes a number from 0 to 65535\n");
                    return std::nullopt;
                }
                options.port = *port;
                break;
            }
            case DB:
                options.database = optarg;
                break;
            case STATUS: {
                auto status = parseInt(optarg, 100, 599);
                if (!status) {
                    std::fprintf(stderr, "lumvex-collector: --status takes an HTTP status from 100 to 599\n");
                    return std::nullopt;
                }
                options.fixedStatus = *status;
                break;
            }
            case RETAIN_DAYS: {
                char* end = nullptr;
                const double days = std::strtod(optarg, &end);
                if (end == optarg || *end != '\0' || !(days > 0) || days > 1e6) {
                    std::fprintf(stderr, "lumvex-collector: --retain-days takes a positive number\n");
                    return std::nullopt;
                }
                options.retainDays = days;
                break;
            }
            case MAX_BODY:
            case LISTED_FIXES:
            case ANSWER_DELAY_MS:
            case REQUEST_DEADLINE_MS: {
                auto number = parseInt(optarg, found == ANSWER_DELAY_MS ? 0 : 1, 1 << 30);
                if (!number) {
                    const char* name = found == MAX_BODY              ? "--max-body"
                                       : found == LISTED_FIXES        ? "--listed-fixes"
                                       : found == REQUEST_DEADLINE_MS ? "--request-deadline-ms"
                                                                      : "--answer-delay-ms";
                    std::fprintf(stderr, "lumvex-collector: %s takes a positive number\n", name);
                    return std::nullopt;
                }
                if (found == MAX_BODY) {
                    options.maxBody = static_cast<std::size_t>(*number);
                } else if (found == LISTED_FIXES) {
                    options.listedFixes = *number;
                } else if (found == REQUEST_DEADLINE_MS) {
                    options.requestDeadlineMs = *number;
                } else {
                    options.answerDelayMs = *number;
                }
                break;
            }
            case QUIET:
                options.quiet = true;
                break;
            case TLS_CERT:
                options.tlsCertificate = optarg;
                break;
            case TLS_KEY:
                options.tlsKey = optarg;
                break;
            case UNTIL_STDIN_CLOSES:
                options.untilStdinCloses = true;
                break;
            case SUMMARY:
                options.summaryOnly = true;
                break;
            case HELP:
            case 'h':
                usage(stdout);
                std::exit(0);
            case ':':
                std::fprintf(stderr, "lumvex-collector: %s needs a value\n", argv[optind - 1]);
                return std::nullopt;
            default:
                std::fprintf(stderr, "lumvex-collector: unknown option %s\n", argv[optind - 1]);
                return std::nullopt;
        }
    }
    if (optind < argc) {
        std::fprintf(stderr, "lumvex-collector: unexpected argument %s\n", argv[optind]);
        return std::nullopt;
    }
    if (options.tlsCertificate.empty() != options.tlsKey.empty()) {
        std::fprintf(stderr, "lumvex-collector: --tls-cert and --tls-key go together\n");
        return std::nullopt;
    }
    return options;
}

std::mutex outputMutex;

void say(const std::string& line) {
    std::lock_guard<std::mutex> guard(outputMutex);
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

void answer(collector::HttpResponse& res, int status, const nlohmann::json& body) {
    res.status = status;
    res.contentType = "application/json";
    res.body = collector::dumpJson(body);
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
    const auto given = parseInt(req.param("limit"), 1, 1 << 30);
    return std::min<long long>(given.value_or(static_cast<int>(fallback)), most);
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
    std::string reason;
    auto body = collector::checkUpload(req.body, reason);
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
    upload.idempotencyKey = collector::validUtf8(req.header("idempotency-key"));
    upload.body = std::move(*body);
    collector::Added added;
    try {
        added = store.add(upload);
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
    const long long after = std::max<long long>(0, parseInt(req.param("after"), 0, INT32_MAX).value_or(0));
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

SSL_CTX* tlsContext(const Options& options) {
    SSL_CTX* context = SSL_CTX_new(TLS_server_method());
    if (!context || SSL_CTX_use_certificate_chain_file(context, options.tlsCertificate.c_str()) != 1 ||
        SSL_CTX_use_PrivateKey_file(context, options.tlsKey.c_str(), SSL_FILETYPE_PEM) != 1 ||
        SSL_CTX_check_private_key(context) != 1) {
        SSL_CTX_free(context);
        return nullptr;
    }
    SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
    return context;
}

}  // namespace

int main(int argc, char** argv) {
    const auto options = parseArguments(argc, argv);
    if (!options) {
        usage(stderr);
        return 2;
    }

    // A summary reads what is there; it must not leave an empty database behind.
    struct stat info {};
    const bool postgres =
        options->database.rfind("postgresql://", 0) == 0 || options->database.rfind("postgres://", 0) == 0;
    if (options->summaryOnly && !postgres && ::stat(options->database.c_str(), &info) != 0) {
        std::fprintf(stderr, "lumvex-collector: cannot read the database %s: %s\n", options->database.c_str(),
                     std::strerror(errno));
        return 1;
    }
    // Signals are taken by one thread of ours, so that the server is stopped outside a
    // signal handler. They are blocked before the store and the server make their threads.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    std::unique_ptr<collector::UploadStore> store;
    try {
        collector::UploadStore::Options storeOptions;
        if (options->retainDays) {
            storeOptions.retainFor = std::chrono::duration<double>(*options->retainDays * 86400.0);
        }
        store = collector::UploadStore::open(options->database, storeOptions);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "lumvex-collector: %s\n", e.what());
        return 1;
    }
    if (options->summaryOnly) {
        pthread_sigmask(SIG_UNBLOCK, &signals, nullptr);
        try {
            printSummary(*store);
        } catch (const std::exception& e) {
            std::fprintf(stderr, "lumvex-collector: %s\n", e.what());
            return 1;
        }
        return 0;
    }

    const bool tls = !options->tlsCertificate.empty();
    std::unique_ptr<SSL_CTX, void (*)(SSL_CTX*)> context(nullptr, SSL_CTX_free);
    if (tls) {
        context.reset(tlsContext(*options));
        if (!context) {
            std::fprintf(stderr, "lumvex-collector: cannot use the certificate or key\n");
            return 1;
        }
    }
    collector::HttpLimits limits;
    // One upload of many megabytes once took the page 20 s and the collector gigabytes;
    // the library's own bodies are a few kilobytes.
    limits.maxBody = options->maxBody;
    limits.requestDeadline = std::chrono::milliseconds(options->requestDeadlineMs);
    auto& keep = *store;
    const Options& opts = *options;
    collector::HttpServer server(
        limits,
        [&](const collector::HttpRequest& req, collector::HttpResponse& res) {
            if (req.method == "POST") {
                handleUpload(opts, keep, req, res);
            } else if (req.method != "GET") {
                answer(res, 405, {{"error", "only GET and POST are served"}});
            } else if (req.path == "/") {
                handlePage(opts, keep, req, res);
            } else if (req.path == "/uploads") {
                handleUploads(opts, keep, req, res);
            } else if (req.path == "/summary" || req.path == "/summary.txt") {
                handleSummary(keep, req, res, req.path == "/summary.txt");
            } else {
                answer(res, 404, {{"error", "no such page"}});
            }
        },
        context.get());

    int port = server.bind(options->host, options->port);
    if (port <= 0) {
        // The socket calls that failed left their reason in errno; an address that does not
        // resolve leaves none.
        const int reason = errno;
        std::fprintf(stderr, "lumvex-collector: cannot listen on %s:%d: %s\n", options->host.c_str(),
                     options->port, reason != 0 ? std::strerror(reason) : "the address does not resolve");
        return 1;
    }
    // Tests read this first line to learn the port.
    say(std::string("lumvex-collector listening on ") + (tls ? "https" : "http") + "://" + options->host +
        ":" + std::to_string(port) + "/");

    std::thread stopper([&] {
        int received = 0;
        sigwait(&signals, &received);
        server.stop();
    });
    if (options->untilStdinCloses) {
        // Left running on purpose: it ends with the process.
        std::thread([] {
            char buffer[256];
            while (::read(STDIN_FILENO, buffer, sizeof buffer) > 0) {
            }
            ::kill(::getpid(), SIGTERM);
        }).detach();
    }
    server.run();
    // When the server ended for another reason, wake the signal thread so it can be joined.
    if (stopper.joinable()) {
        pthread_kill(stopper.native_handle(), SIGTERM);
        stopper.join();
    }
    if (!options->quiet) {
        printSummary(*store);
    }
    return 0;
}
