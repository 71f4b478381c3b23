// lumvex-collector: the development collection server. It accepts the library's uploads,
// checks their shape, keeps them in SQLite and shows what it received.

#include "Page.h"
#include "UploadCheck.h"
#include "UploadStore.h"

#include <httplib.h>

#include <cerrno>
#include <chrono>
#include <csignal>
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
};

void usage(std::FILE* to) {
    std::fprintf(to,
                 "usage: lumvex-collector [--host ADDRESS] [--port N] [--db PATH] [--status CODE] [--quiet]\n"
                 "       lumvex-collector [--db PATH] --summary\n"
                 "\n"
                 "  --host ADDRESS  address to listen on (default 127.0.0.1)\n"
                 "  --port N        port to listen on (default 8710; 0 lets the system choose)\n"
                 "  --db PATH       SQLite file that keeps the uploads (default lumvex-collector.sqlite)\n"
                 "  --status CODE   answer every upload with CODE instead of 200 or 400\n"
                 "  --quiet         print nothing per upload\n"
                 "  --tls-cert PEM --tls-key PEM  serve https with this certificate and key\n"
                 "  --max-body BYTES  refuse a larger upload body with 413 (default 1048576)\n"
                 "  --listed-fixes N  list at most the N most recent fixes per device (default 1000)\n"
                 "  --answer-delay-ms N  answer each upload N ms after keeping it, as a slow server\n"
                 "  --until-stdin-closes  stop when standard input reaches its end, e.g. when the\n"
                 "                  process that started the collector ends\n"
                 "  --summary       print what the database holds, per key and device, and exit\n"
                 "\n"
                 "Endpoints: POST /api/v1/<key>/send_locations, GET / (a page with every key and\n"
                 "device, each device's last description and its fixes drawn as a track),\n"
                 "GET /uploads[?key=K&device=D], GET /summary, GET /summary.txt\n"
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
        ANSWER_DELAY_MS
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
            case MAX_BODY:
            case LISTED_FIXES:
            case ANSWER_DELAY_MS: {
                auto number = parseInt(optarg, found == ANSWER_DELAY_MS ? 0 : 1, 1 << 30);
                if (!number) {
                    const char* name = found == MAX_BODY       ? "--max-body"
                                       : found == LISTED_FIXES ? "--listed-fixes"
                                                               : "--answer-delay-ms";
                    std::fprintf(stderr, "lumvex-collector: %s takes a positive number\n", name);
                    return std::nullopt;
                }
                if (found == MAX_BODY) {
                    options.maxBody = static_cast<std::size_t>(*number);
                } else if (found == LISTED_FIXES) {
                    options.listedFixes = *number;
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

void answer(httplib::Response& res, int status, const nlohmann::json& body) {
    res.status = status;
    res.set_content(body.dump(), "application/json");
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
    if (options->summaryOnly && ::stat(options->database.c_str(), &info) != 0) {
        std::fprintf(stderr, "lumvex-collector: cannot read the database %s: %s\n", options->database.c_str(),
                     std::strerror(errno));
        return 1;
    }
    std::unique_ptr<collector::UploadStore> store;
    try {
        store = std::make_unique<collector::UploadStore>(options->database);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "lumvex-collector: %s\n", e.what());
        return 1;
    }
    if (options->summaryOnly) {
        std::fputs(collector::formatSummary(store->summary()).c_str(), stdout);
        return 0;
    }

    // Signals are taken by one thread of ours, so that the server is stopped outside a
    // signal handler. They are blocked before the server makes its own threads.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    const bool tls = !options->tlsCertificate.empty();
    std::unique_ptr<httplib::Server> serverOwner;
    if (tls) {
        serverOwner =
            std::make_unique<httplib::SSLServer>(options->tlsCertificate.c_str(), options->tlsKey.c_str());
    } else {
        serverOwner = std::make_unique<httplib::Server>();
    }
    if (!serverOwner->is_valid()) {
        std::fprintf(stderr, "lumvex-collector: cannot use the certificate or key\n");
        return 1;
    }
    httplib::Server& server = *serverOwner;
    // Each upload is one request; a client's idle keep-alive connection would otherwise
    // hold one of the server's few workers for seconds.
    server.set_keep_alive_max_count(1);
    // One upload of many megabytes once took the page 20 s and the collector gigabytes;
    // the library's own bodies are a few kilobytes.
    server.set_payload_max_length(options->maxBody);
    // cpp-httplib's default socket options include SO_REUSEPORT, with which a second
    // collector would silently share the port with the first and get half its uploads.
    // SO_REUSEADDR alone still lets it bind over connections lingering in TIME_WAIT.
    server.set_socket_options([](socket_t sock) {
        int yes = 1;
        ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    });
    server.Post(R"(/.*)", [&](const httplib::Request& req, httplib::Response& res) {
        const auto key = collector::apiKeyFromTarget(req.target);
        if (!key) {
            answer(res, 404, {{"error", "uploads go to /api/v1/<key>/send_locations"}});
            return;
        }
        std::string reason;
        auto body = collector::checkUpload(req.body, reason);
        if (!body) {
            const int status = options->fixedStatus.value_or(400);
            answer(res, status, {{"error", reason}});
            if (!options->quiet) {
                say("rejected upload for key " + *key + ": " + reason + " -> " + std::to_string(status));
            }
            return;
        }
        collector::Upload upload;
        upload.apiKey = *key;
        upload.device = body->at("google_aid").get<std::string>();
        upload.status = options->fixedStatus.value_or(200);
        upload.contentType = req.get_header_value("Content-Type");
        upload.userAgent = req.get_header_value("User-Agent");
        upload.idempotencyKey = req.get_header_value("Idempotency-Key");
        upload.body = std::move(*body);
        collector::Added added;
        try {
            added = store->add(upload);
        } catch (const std::exception& e) {
            answer(res, 500, {{"error", e.what()}});
            return;
        }
        if (options->answerDelayMs > 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(options->answerDelayMs));
        }
        const long long id = added.id;
        if (added.replayed) {
            answer(res, 200, {{"id", id}, {"replayed", true}});
            if (!options->quiet) {
                say("replayed upload #" + std::to_string(id) + " key=" + upload.apiKey + " -> 200");
            }
            return;
        }
        answer(res, upload.status, {{"id", id}});
        if (!options->quiet) {
            say("upload #" + std::to_string(id) + " key=" + upload.apiKey + " device=" + upload.device +
                " locations=" + std::to_string(upload.body.at("locations").size()) +
                " device_info=" + (upload.body.at("devices_infos").empty() ? "no" : "yes") + " -> " +
                std::to_string(upload.status));
        }
    });
    server.Get("/", [&](const httplib::Request&, httplib::Response& res) {
        res.set_header("Content-Security-Policy", collector::PAGE_CONTENT_SECURITY_POLICY);
        res.set_content(collector::renderPage(store->list("", "", options->listedFixes)),
                        "text/html; charset=utf-8");
    });
    server.Get("/uploads", [&](const httplib::Request& req, httplib::Response& res) {
        answer(res, 200,
               store->list(req.get_param_value("key"), req.get_param_value("device"), options->listedFixes));
    });
    server.Get("/summary",
               [&](const httplib::Request&, httplib::Response& res) { answer(res, 200, store->summary()); });
    server.Get("/summary.txt", [&](const httplib::Request&, httplib::Response& res) {
        res.set_content(collector::formatSummary(store->summary()), "text/plain");
    });

    int port = options->port;
    errno = 0;
    if (port == 0) {
        port = server.bind_to_any_port(options->host);
    } else if (!server.bind_to_port(options->host, port)) {
        port = -1;
    }
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
    const bool ok = server.listen_after_bind();
    // When the server ended for another reason, wake the signal thread so it can be joined.
    if (stopper.joinable()) {
        pthread_kill(stopper.native_handle(), SIGTERM);
        stopper.join();
    }
    if (!options->quiet) {
        std::fputs(collector::formatSummary(store->summary()).c_str(), stdout);
    }
    return ok ? 0 : 1;
}
