// lumvex-demo: a host application that embeds LumvexSdk the way a real one does. Its own
// Info.plist (beside the executable) holds the API key and the version; it starts the
// library with the debug log on, runs its run loop while the library samples positions
// every 10 seconds, forces an upload, and shows what was stored and what the collector
// received. Around it, the demo starts the development collector and a gpsd that replays
// a recorded track, and ends both before it exits.

#include "Nmea.h"
#include "Services.h"

#include <LumvexSdk/LumvexSdk.h>

#include <curl/curl.h>
#include <plist/plist.h>
#include <nlohmann/json.hpp>

#include <getopt.h>
#include <pthread.h>
#include <signal.h>
#include <sodium.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#ifndef LUMVEX_DEMO_ENDPOINT
#define LUMVEX_DEMO_ENDPOINT "http://127.0.0.1:8710/"
#endif
#ifndef LUMVEX_DEMO_COLLECTOR
#define LUMVEX_DEMO_COLLECTOR "lumvex-collector"
#endif

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

constexpr int TICK_SECONDS = 10;  // the library's sampling period
constexpr int EXIT_FAILED = 1;
constexpr int EXIT_USAGE = 2;
constexpr int EXIT_PORT_BUSY = 75;  // nothing wrong with the demo: try again later

struct Options {
    int ticks = 3;
    std::string track;
    std::string gpsdHost, gpsdPort;  // set: use that gpsd instead of the replay
    bool geoClue = false;            // sample from the system's GeoClue instead of gpsd
    bool useRunningCollector = false;
    std::string workDir;
    bool stay = false;
    bool debugLog = true;
};

/// One command-line option: its long name, the name of its value (none: a switch), its
/// help text (lines separated by "\n") and what it does to the options. `apply` gets the
/// value, or nullptr for a switch, and returns false after printing why it refused it.
struct OptionEntry {
    const char* name;
    const char* valueName;
    const char* help;
    bool (*apply)(Options& options, const char* value);
};

bool refuse(const char* message) {
    std::fprintf(stderr, "lumvex-demo: %s\n", message);
    return false;
}

// Adding an option is adding an entry here; parsing and --help follow from the table.
const OptionEntry OPTIONS[] = {
    {"ticks", "N", "sampling ticks before the forced upload, 1 to 5 (default 3)",
     [](Options& o, const char* v) {
         char* end = nullptr;
         errno = 0;
         const long n = std::strtol(v, &end, 10);
         if (end == v || *end != '\0' || errno != 0 || n < 1 || n > 5) {
             return refuse("--ticks takes a number from 1 to 5");
         }
         o.ticks = static_cast<int>(n);
         return true;
     }},
    {"track", "FILE",
     "NMEA log that gpsd replays, one epoch a second, looping\n(default: track.nmea beside the program)",
     [](Options& o, const char* v) {
         o.track = v;
         return true;
     }},
    {"gpsd", "HOST:PORT", "sample from this running gpsd instead of replaying a track",
     [](Options& o, const char* v) {
         const std::string text = v;
         const auto colon = text.rfind(':');
         if (colon == std::string::npos || colon == 0 || colon + 1 == text.size()) {
             return refuse("--gpsd takes HOST:PORT, e.g. localhost:2947");
         }
         o.gpsdHost = text.substr(0, colon);
         o.gpsdPort = text.substr(colon + 1);
         return true;
     }},
    {"source", "geoclue|gpsd",
     "geoclue: sample from the system's GeoClue (desktop id\nlumvex-demo) instead of gpsd; gpsd is the "
     "default",
     [](Options& o, const char* v) {
         const std::string text = v;
         if (text != "geoclue" && text != "gpsd") {
             return refuse("--source takes geoclue or gpsd");
         }
         o.geoClue = text == "geoclue";
         return true;
     }},
    {"use-running-collector", nullptr,
     "upload to a collector that already listens on the endpoint\ninstead of starting one",
     [](Options& o, const char*) {
         o.useRunningCollector = true;
         return true;
     }},
    {"work-dir", "DIR",
     "keep the library's caches directory and the collector's\ndatabase in DIR (default: a temporary "
     "directory, removed at\nthe end)",
     [](Options& o, const char* v) {
         o.workDir = v;
         return true;
     }},
    {"stay", nullptr, "after the run, keep the collector serving its page at the\nendpoint until Ctrl-C",
     [](Options& o, const char*) {
         o.stay = true;
         return true;
     }},
    {"no-debug-log", nullptr, "start the library with its debug log off",
     [](Options& o, const char*) {
         o.debugLog = false;
         return true;
     }},
    {"help", nullptr, "show this text", nullptr},
};
constexpr int OPTION_COUNT = static_cast<int>(sizeof OPTIONS / sizeof OPTIONS[0]);
// getopt_long's return value for the table's first entry: above every short option's.
constexpr int FIRST_OPTION_VALUE = 1000;

void usage(std::FILE* to) {
    std::fprintf(to,
                 "usage: lumvex-demo [OPTIONS]\n"
                 "\n"
                 "Runs a host application that embeds LumvexSdk: starts the development collector\n"
                 "on the library's upload endpoint (%s), starts a gpsd that replays a\n"
                 "recorded track, lets the library sample the position every %d seconds, forces an\n"
                 "upload, prints what was stored and what the collector received, ends every process\n"
                 "it started and exits with status 0. Ctrl-C tells the library that the application\n"
                 "leaves the foreground (it uploads what it has) and ends the run early.\n"
                 "\n"
                 "Options (a value goes after a blank or an \"=\"):\n",
                 LUMVEX_DEMO_ENDPOINT, TICK_SECONDS);
    constexpr int HELP_COLUMN = 21;
    for (const auto& entry : OPTIONS) {
        std::string left = std::string("  --") + entry.name;
        if (entry.valueName) {
            left += std::string(" ") + entry.valueName;
        }
        std::string help = entry.help;
        std::string indent(HELP_COLUMN, ' ');
        if (left.size() + 1 > static_cast<std::size_t>(HELP_COLUMN)) {
            left += "\n" + indent;
        } else {
            left.resize(HELP_COLUMN, ' ');
        }
        for (std::size_t at = help.find('\n'); at != std::string::npos; at = help.find('\n', at + 1)) {
            help.insert(at + 1, indent);
        }
        std::fprintf(to, "%s%s\n", left.c_str(), help.c_str());
    }
    std::fprintf(to,
                 "\n"
                 "Exit status: 0 when the stored fixes reached the collector, %d on bad options,\n"
                 "%d when the endpoint's port is taken, %d on any other failure.\n",
                 EXIT_USAGE, EXIT_PORT_BUSY, EXIT_FAILED);
}

std::optional<Options> parseArguments(int argc, char** argv) {
    std::vector<option> longOptions;
    for (int i = 0; i < OPTION_COUNT; ++i) {
        longOptions.push_back({OPTIONS[i].name, OPTIONS[i].valueName ? required_argument : no_argument,
                               nullptr, FIRST_OPTION_VALUE + i});
    }
    longOptions.push_back({nullptr, 0, nullptr, 0});

    Options options;
    opterr = 0;  // one message of our own per mistake
    optind = 1;
    for (;;) {
        const int found = getopt_long(argc, argv, ":h", longOptions.data(), nullptr);
        if (found == -1) {
            break;
        }
        const OptionEntry* entry = found >= FIRST_OPTION_VALUE && found < FIRST_OPTION_VALUE + OPTION_COUNT
                                       ? &OPTIONS[found - FIRST_OPTION_VALUE]
                                       : nullptr;
        if (found == 'h' || (entry && !entry->apply)) {
            usage(stdout);
            std::exit(0);
        }
        if (found == ':') {
            std::fprintf(stderr, "lumvex-demo: %s needs a value\n", argv[optind - 1]);
            return std::nullopt;
        }
        if (found == '?') {
            std::fprintf(stderr, "lumvex-demo: unknown option %s\n", argv[optind - 1]);
            return std::nullopt;
        }
        if (!entry || !entry->apply(options, optarg)) {
            return std::nullopt;
        }
    }
    if (optind < argc) {
        std::fprintf(stderr, "lumvex-demo: unexpected argument %s\n", argv[optind]);
        return std::nullopt;
    }
    return options;
}

// ---- output -----------------------------------------------------------------------------

void say(const char* format, ...) __attribute__((format(printf, 1, 2)));
void say(const char* format, ...) {
    char text[2048];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    // One write per line, so that it never tears a line of the library's log.
    std::printf("demo: %s\n", text);
    std::fflush(stdout);
}

/// Milliseconds since 1970 as the upload writes a fix's time: the local wall-clock time,
/// to the second, with a literal Z.
/// The local time's offset from UTC, taken once before any thread starts (see civilTime).
long utcOffsetSeconds = 0;

std::string uploadTime(const std::string& millis) {
    const auto t = lumvex::harness::civilTime(std::atoll(millis.c_str()) / 1000 + utcOffsetSeconds);
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02dZ", t.year, t.month, t.day, t.hour,
                  t.minute, t.second);
    return text;
}

// ---- the host's own Info.plist ------------------------------------------------------------

std::string executableDirectory() {
    std::error_code error;
    const auto self = fs::read_symlink("/proc/self/exe", error);
    return error ? std::string(".") : self.parent_path().string();
}

/// The string values of the host's Info.plist, read as the host itself would.
std::optional<std::string> infoString(const std::string& plistPath, const char* key) {
    std::ifstream in(plistPath, std::ios::binary);
    const std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (data.empty()) {
        return std::nullopt;
    }
    plist_t root = nullptr;
    plist_from_memory(data.data(), static_cast<uint32_t>(data.size()), &root);
    std::optional<std::string> out;
    if (root && plist_get_node_type(root) == PLIST_DICT) {
        plist_t node = plist_dict_get_item(root, key);
        if (node && plist_get_node_type(node) == PLIST_STRING) {
            char* text = nullptr;
            plist_get_string_val(node, &text);
            if (text) {
                out = text;
                std::free(text);
            }
        }
    }
    if (root) {
        plist_free(root);
    }
    return out;
}

// ---- what the library stored --------------------------------------------------------------

struct Fix {
    std::string timestamp, lat, lng;
    bool operator<(const Fix& o) const {
        return std::tie(timestamp, lat, lng) < std::tie(o.timestamp, o.lat, o.lng);
    }
};

/// Strict Base64 (standard alphabet, padded), as the library writes it.
std::optional<std::string> base64Decode(const std::string& text) {
    std::string out(text.size() / 4 * 3 + 3, '\0');
    std::size_t length = 0;
    const char* end = nullptr;
    if (sodium_base642bin(reinterpret_cast<unsigned char*>(out.data()), out.size(), text.data(), text.size(),
                          nullptr, &length, &end, sodium_base64_VARIANT_ORIGINAL) != 0 ||
        end != text.data() + text.size()) {
        return std::nullopt;
    }
    out.resize(length);
    return out;
}

/// The fixes in the library's trace file: one Base64 line each, "<ms>;<lat>;<lng>" inside.
/// Their times are given as the upload will give them.
std::vector<Fix> storedFixes(const std::string& traceFile) {
    std::ifstream in(traceFile);
    std::vector<Fix> out;
    std::string line;
    while (std::getline(in, line)) {
        const auto text = base64Decode(line);
        if (!text) continue;
        const auto first = text->find(';');
        const auto second = text->find(';', first == std::string::npos ? first : first + 1);
        if (second == std::string::npos) continue;
        out.push_back({uploadTime(text->substr(0, first)), text->substr(first + 1, second - first - 1),
                       text->substr(second + 1)});
    }
    return out;
}

// ---- asking the collector -----------------------------------------------------------------

std::size_t collect(char* bytes, std::size_t size, std::size_t count, void* user) {
    static_cast<std::string*>(user)->append(bytes, size * count);
    return size * count;
}

/// The collector's uploads for `key` (GET /uploads?key=), or nothing when it cannot say.
std::optional<nlohmann::json> collectorUploads(const std::string& endpoint, const std::string& key) {
    CURL* easy = curl_easy_init();
    if (!easy) return std::nullopt;
    char* escaped = curl_easy_escape(easy, key.c_str(), static_cast<int>(key.size()));
    const std::string url = endpoint + "uploads?key=" + (escaped ? escaped : "");
    curl_free(escaped);
    std::string body;
    long status = 0;
    curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_TIMEOUT, 5L);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &collect);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, &body);
    const bool ok = curl_easy_perform(easy) == CURLE_OK &&
                    curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status) == CURLE_OK && status == 200;
    curl_easy_cleanup(easy);
    if (!ok) return std::nullopt;
    auto json = nlohmann::json::parse(body, nullptr, false);
    if (!json.is_array()) return std::nullopt;
    return json;
}

/// `json[name]` when it is of the wanted kind, else an empty one of that kind.
nlohmann::json member(const nlohmann::json& json, const char* name, nlohmann::json empty) {
    if (json.is_object()) {
        const auto it = json.find(name);
        if (it != json.end() && it->type() == empty.type()) {
            return *it;
        }
    }
    return empty;
}

long long lastUploadId(const nlohmann::json& uploads) {
    long long id = 0;
    for (const auto& upload : uploads) {
        id = std::max(id, upload.value("id", 0LL));
    }
    return id;
}

// ---- the endpoint -------------------------------------------------------------------------

struct Endpoint {
    std::string url, scheme, host;
    int port = 0;
};

std::optional<Endpoint> parseEndpoint(const std::string& url) {
    Endpoint e;
    e.url = url;
    const auto scheme = url.find("://");
    if (scheme == std::string::npos) return std::nullopt;
    e.scheme = url.substr(0, scheme);
    const auto rest = url.substr(scheme + 3);
    const auto slash = rest.find('/');
    const auto authority = rest.substr(0, slash);
    const auto colon = authority.rfind(':');
    e.host = authority.substr(0, colon);
    e.port = colon == std::string::npos ? (e.scheme == "https" ? 443 : 80)
                                        : std::atoi(authority.c_str() + colon + 1);
    if (e.host == "localhost") e.host = "127.0.0.1";
    return e;
}

// ---- signals ------------------------------------------------------------------------------

/// Takes SIGINT and SIGTERM on a thread of its own and hands them to the host's run loop;
/// a second one while the first is being handled asks to give up waiting.
class Interrupts {
public:
    explicit Interrupts(lumvex::RunLoop& loop) : loop_(loop) {
        thread_ = std::thread([this] { run(); });
    }
    ~Interrupts() {
        stopping_ = true;
        pthread_kill(thread_.native_handle(), SIGUSR1);
        thread_.join();
    }
    static void blockInThisThread() {
        sigset_t set = signals();
        pthread_sigmask(SIG_BLOCK, &set, nullptr);
    }
    int count() const { return count_; }

private:
    static sigset_t signals() {
        sigset_t set;
        sigemptyset(&set);
        sigaddset(&set, SIGINT);
        sigaddset(&set, SIGTERM);
        sigaddset(&set, SIGUSR1);
        return set;
    }
    void run() {
        const sigset_t set = signals();
        while (true) {
            int received = 0;
            if (sigwait(&set, &received) != 0 || stopping_) {
                return;
            }
            if (received == SIGUSR1) {
                continue;
            }
            ++count_;
            loop_.stop();
        }
    }

    lumvex::RunLoop& loop_;
    std::atomic<int> count_{0};
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};

/// Runs the host's run loop until `done` holds, `deadline` passes or an interrupt beyond
/// `interruptsSeen` comes. `done` is checked at least every `step`.
template <typename Done>
void runUntil(lumvex::RunLoop& loop, const Interrupts& interrupts, int interruptsSeen,
              std::chrono::steady_clock::time_point deadline, Done done,
              std::chrono::milliseconds step = 250ms) {
    while (!done() && interrupts.count() == interruptsSeen) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left <= 0ms) {
            return;
        }
        loop.runFor(std::min(left, step));
    }
}

/// The host's bundle: its Info.plist sits beside the executable, where the library looks.
struct HostBundle {
    std::string directory, plist, apiKey, identifier;
};

/// Removes a temporary work directory on the way out, however the run ends.
struct WorkDirectory {
    std::string path;
    bool temporary = false;
    ~WorkDirectory() {
        if (temporary) {
            std::error_code ignored;
            fs::remove_all(path, ignored);
        }
    }
};

/// What the forced upload's callback reports. The callback may in theory come after the
/// demo stopped waiting, so it is shared with it and locked.
struct PushOutcome {
    std::mutex mutex;
    bool came = false;
    std::optional<lumvex::LumvexException> error;
};

/// One run of the demo, in the order of its steps. A step that cannot go on returns the
/// exit status to end with; whatever the steps started ends with the object, in reverse.
class DemoRun {
public:
    explicit DemoRun(const Options& options)
        : options_(options), loop_(lumvex::RunLoop::current()), interrupts_(loop_) {}

    /// The build's endpoint, the host's bundle and the work directory.
    std::optional<int> prepare();
    /// The collector on the endpoint (unless one runs already), and what it held before.
    std::optional<int> startCollector();
    /// gpsd replaying the track, unless positions come from elsewhere.
    std::optional<int> startGpsd();
    /// The host application proper: the library, started on the chosen source.
    std::optional<int> startLibrary();
    /// Runs the run loop through the sampling ticks, showing each fix as it is stored.
    void sample();
    /// The forced upload, or after Ctrl-C the one of leaving the foreground; then the
    /// library stops.
    void upload();
    /// Shows what reached the collector. Returns whether every stored fix did.
    bool report();
    /// Ends gpsd and the collector (after --stay, when asked) and gives the exit status.
    int finish(bool ok);

private:
    /// The fixes of this run's uploads among those the collector last said it holds.
    std::set<Fix> receivedFixes() const;

    const Options& options_;
    lumvex::RunLoop& loop_;
    Interrupts interrupts_;
    Endpoint endpoint_;
    HostBundle bundle_;
    WorkDirectory work_;
    std::string traceFile_;
    std::unique_ptr<demo::CollectorService> collector_;
    long long firstNewId_ = 0;
    std::unique_ptr<demo::GpsReplay> replay_;
    std::string gpsdHost_, gpsdPort_;
    std::vector<Fix> stored_;
    bool interrupted_ = false;
    std::optional<nlohmann::json> received_;
};

std::optional<int> DemoRun::prepare() {
    const auto endpoint = parseEndpoint(LUMVEX_DEMO_ENDPOINT);
    if (!endpoint) {
        std::fprintf(stderr, "lumvex-demo: cannot read this build's endpoint %s\n", LUMVEX_DEMO_ENDPOINT);
        return EXIT_FAILED;
    }
    endpoint_ = *endpoint;

    bundle_.directory = executableDirectory();
    bundle_.plist = bundle_.directory + "/Info.plist";
    const auto apiKey = infoString(bundle_.plist, "lumvex_api_key");
    const auto bundleId = infoString(bundle_.plist, "CFBundleIdentifier");
    if (!apiKey || !bundleId) {
        std::fprintf(stderr, "lumvex-demo: %s is missing or lacks lumvex_api_key / CFBundleIdentifier\n",
                     bundle_.plist.c_str());
        return EXIT_FAILED;
    }
    bundle_.apiKey = *apiKey;
    bundle_.identifier = *bundleId;

    // Where the library's files and the collector's database go.
    if (options_.workDir.empty()) {
        std::string pattern = (fs::temp_directory_path() / "lumvex-demo-XXXXXX").string();
        if (!::mkdtemp(pattern.data())) {
            std::fprintf(stderr, "lumvex-demo: cannot make a temporary directory: %s\n",
                         std::strerror(errno));
            return EXIT_FAILED;
        }
        work_.path = pattern;
        work_.temporary = true;
    } else {
        std::error_code error;
        fs::create_directories(options_.workDir, error);
        work_.path = fs::absolute(options_.workDir).string();
    }
    // The library keeps its files in $XDG_CACHE_HOME/<CFBundleIdentifier>.
    const std::string cacheHome = work_.path + "/cache";
    ::setenv("XDG_CACHE_HOME", cacheHome.c_str(), 1);
    const std::string caches = cacheHome + "/" + bundle_.identifier;
    traceFile_ = caches + "/backup.lmx";

    say("LumvexSdk %s, host bundle %s (Info.plist: API key \"%s\", version %s)", lumvex::versionString(),
        bundle_.directory.c_str(), bundle_.apiKey.c_str(),
        infoString(bundle_.plist, "CFBundleShortVersionString").value_or("?").c_str());
    say("the library's files: %s", caches.c_str());
    return std::nullopt;
}

std::optional<int> DemoRun::startCollector() {
    if (!options_.useRunningCollector) {
        if (endpoint_.scheme != "http" || endpoint_.host != "127.0.0.1") {
            std::fprintf(stderr,
                         "lumvex-demo: this build uploads to %s; the demo can only start its collector for "
                         "an http endpoint on 127.0.0.1. Start a collector there yourself and pass "
                         "--use-running-collector, or configure with -DLUMVEX_DEFAULT_ENDPOINT=http://"
                         "127.0.0.1:<port>/\n",
                         endpoint_.url.c_str());
            return EXIT_FAILED;
        }
        if (demo::portInUse(endpoint_.host, endpoint_.port)) {
            std::fprintf(stderr,
                         "lumvex-demo: port %d on %s is already in use, so the demo cannot start its "
                         "collector there, where the library uploads (%s).\n"
                         "  See what listens there with: ss -ltnp 'sport = :%d'\n"
                         "  Then stop it, or, if it is a lumvex-collector, run the demo with "
                         "--use-running-collector.\n",
                         endpoint_.port, endpoint_.host.c_str(), endpoint_.url.c_str(), endpoint_.port);
            return EXIT_PORT_BUSY;
        }
        collector_ = std::make_unique<demo::CollectorService>(
            LUMVEX_DEMO_COLLECTOR, endpoint_.host, endpoint_.port, work_.path + "/collector.sqlite");
        std::string error;
        if (!collector_->start(error)) {
            std::fprintf(stderr, "lumvex-demo: cannot start the collector: %s\n", error.c_str());
            return error.find("cannot listen") != std::string::npos ? EXIT_PORT_BUSY : EXIT_FAILED;
        }
        say("collector listening on %s (database %s/collector.sqlite)", endpoint_.url.c_str(),
            work_.path.c_str());
    }
    // Uploads already there, from earlier runs against the same collector, are not this run's.
    const auto before = collectorUploads(endpoint_.url, bundle_.apiKey);
    if (!before) {
        std::fprintf(stderr, "lumvex-demo: no collector answers at %s\n", endpoint_.url.c_str());
        return EXIT_FAILED;
    }
    firstNewId_ = lastUploadId(*before) + 1;
    return std::nullopt;
}

std::optional<int> DemoRun::startGpsd() {
    gpsdHost_ = options_.gpsdHost;
    gpsdPort_ = options_.gpsdPort;
    if (options_.geoClue || !gpsdHost_.empty()) {
        return std::nullopt;
    }
    const std::string track = options_.track.empty() ? bundle_.directory + "/track.nmea" : options_.track;
    if (::access(track.c_str(), R_OK) != 0) {
        std::fprintf(stderr, "lumvex-demo: cannot read the track %s: %s\n", track.c_str(),
                     std::strerror(errno));
        return EXIT_FAILED;
    }
    auto epochs = lumvex::harness::readNmeaEpochs(track);
    const bool positioned = std::any_of(epochs.begin(), epochs.end(), [](const std::string& epoch) {
        return !std::isnan(lumvex::harness::positionOf(epoch).first);
    });
    if (!positioned) {
        std::fprintf(stderr, "lumvex-demo: %s holds no NMEA positions\n", track.c_str());
        return EXIT_FAILED;
    }
    replay_ = std::make_unique<demo::GpsReplay>(std::move(epochs));
    std::string error;
    if (!replay_->start(error)) {
        std::fprintf(stderr, "lumvex-demo: cannot start gpsd: %s\n", error.c_str());
        return EXIT_FAILED;
    }
    gpsdHost_ = "127.0.0.1";
    gpsdPort_ = replay_->port();
    say("gpsd on 127.0.0.1:%s replays %s, one epoch a second", gpsdPort_.c_str(), track.c_str());
    return std::nullopt;
}

std::optional<int> DemoRun::startLibrary() {
    if (options_.geoClue) {
        lumvex::platform::useGeoClue("lumvex-demo");
        say("positions come from the system's GeoClue, as \"lumvex-demo\"");
    } else {
        lumvex::platform::useGpsd(gpsdHost_, gpsdPort_);
    }
    auto configuration =
        lumvex::LumvexConfiguration::Builder().pushFrequency(60).enableDebugLog(options_.debugLog).build();
    if (auto refused = lumvex::Lumvex::shared().start(configuration)) {
        std::fprintf(stderr, "lumvex-demo: the library refused to start: %s\n",
                     lumvex::to_string(*refused).c_str());
        return EXIT_FAILED;
    }
    return std::nullopt;
}

void DemoRun::sample() {
    const auto storedAtStart = storedFixes(traceFile_).size();
    say("started; the library samples every %d s, %d %s to go (Ctrl-C uploads early and ends)", TICK_SECONDS,
        options_.ticks, options_.ticks == 1 ? "tick" : "ticks");

    // Watch the trace file while the run loop runs the library's timers.
    std::size_t shown = storedAtStart;
    const auto sampleDeadline =
        std::chrono::steady_clock::now() + std::chrono::seconds(options_.ticks * TICK_SECONDS + 3);
    runUntil(loop_, interrupts_, 0, sampleDeadline, [&] {
        const auto fixes = storedFixes(traceFile_);
        for (; shown < fixes.size(); ++shown) {
            say("stored fix %zu: %s  lat %s  lng %s", shown - storedAtStart + 1,
                fixes[shown].timestamp.c_str(), fixes[shown].lat.c_str(), fixes[shown].lng.c_str());
        }
        return shown - storedAtStart >= static_cast<std::size_t>(options_.ticks);
    });
    interrupted_ = interrupts_.count() > 0;
    stored_ = storedFixes(traceFile_);
    say("the trace file %s holds %zu fix(es)", traceFile_.c_str(), stored_.size());
}

void DemoRun::upload() {
    auto outcome = std::make_shared<PushOutcome>();
    auto pushed = [outcome] {
        std::lock_guard<std::mutex> guard(outcome->mutex);
        return outcome->came;
    };
    if (interrupted_) {
        say("interrupted: telling the library the application leaves the foreground");
        lumvex::Lumvex::shared().applicationWillResignActive();
    } else {
        say("forcing an upload");
        lumvex::Lumvex::shared().forcePush(
            [outcome, loop = &loop_](std::optional<lumvex::LumvexException> error) {
                {
                    std::lock_guard<std::mutex> guard(outcome->mutex);
                    outcome->came = true;
                    outcome->error = error;
                }
                // The host's run loop lives as long as the main thread, that is the process.
                loop->stop();
            });
    }
    // Done once the collector holds what was stored (or, forced, once the callback came).
    runUntil(loop_, interrupts_, interrupts_.count(), std::chrono::steady_clock::now() + 15s, [&] {
        if (!interrupted_) return pushed();
        received_ = collectorUploads(endpoint_.url, bundle_.apiKey);
        const auto got = receivedFixes();
        if (stored_.empty()) {
            // Nothing sampled yet: only the device description can have gone.
            return received_ && lastUploadId(*received_) >= firstNewId_;
        }
        return std::all_of(stored_.begin(), stored_.end(),
                           [&](const Fix& fix) { return got.count(fix) > 0; });
    });
    lumvex::Lumvex::shared().stop();
    if (!interrupted_) {
        std::lock_guard<std::mutex> guard(outcome->mutex);
        say("upload finished: %s",
            outcome->came ? lumvex::to_string(outcome->error).c_str() : "no answer within 15 s");
    }
}

std::set<Fix> DemoRun::receivedFixes() const {
    std::set<Fix> fixes;
    const nlohmann::json uploads = received_.value_or(nlohmann::json::array());
    for (const auto& upload : uploads) {
        if (upload.value("id", 0LL) < firstNewId_) continue;
        const nlohmann::json locations =
            member(member(upload, "body", nlohmann::json::object()), "locations", nlohmann::json::array());
        for (const auto& l : locations) {
            fixes.insert({l.value("timestamp", ""), l.value("lat", ""), l.value("lng", "")});
        }
    }
    return fixes;
}

bool DemoRun::report() {
    received_ = collectorUploads(endpoint_.url, bundle_.apiKey);
    const auto got = receivedFixes();
    std::size_t uploads = 0;
    const nlohmann::json all = received_.value_or(nlohmann::json::array());
    for (const auto& upload : all) {
        if (upload.value("id", 0LL) < firstNewId_) continue;
        ++uploads;
        const nlohmann::json body = member(upload, "body", nlohmann::json::object());
        const nlohmann::json locations = member(body, "locations", nlohmann::json::array());
        const nlohmann::json description = member(body, "devices_infos", nlohmann::json::object());
        say("collector received upload #%lld (answered %lld): %zu fix(es), device "
            "description %s",
            upload.value("id", 0LL), upload.value("status", 0LL), locations.size(),
            description.empty() ? "unchanged, not sent" : "sent");
        for (const auto& l : locations) {
            say("  fix %s  lat %s  lng %s", l.value("timestamp", "").c_str(), l.value("lat", "").c_str(),
                l.value("lng", "").c_str());
        }
        for (const auto& [name, value] : description.items()) {
            say("  %-22s %s", name.c_str(),
                value.is_string() ? value.get<std::string>().c_str() : value.dump().c_str());
        }
    }
    std::size_t matched = 0;
    for (const auto& fix : stored_) {
        matched += got.count(fix);
    }
    const bool traceFileCleared = storedFixes(traceFile_).empty();
    // Ctrl-C before the first tick leaves nothing to send but the device description.
    const bool ok = stored_.empty() ? interrupted_ && uploads > 0 : matched == stored_.size();
    say("%zu of %zu stored fix(es) reached the collector in %zu upload(s); the trace file is %s", matched,
        stored_.size(), uploads, traceFileCleared ? "now empty" : "still holding fixes");
    return ok;
}

int DemoRun::finish(bool ok) {
    if (options_.stay && collector_ && ok) {
        say("the collector's page is at %s ; Ctrl-C ends it", endpoint_.url.c_str());
        runUntil(
            loop_, interrupts_, interrupts_.count(), std::chrono::steady_clock::time_point::max(),
            [] { return false; }, 1000ms);
    }

    if (replay_) {
        replay_->stop();
    }
    if (collector_) {
        const auto summary = collector_->stop();
        say("the collector's database holds:");
        for (const auto& line : summary) {
            std::printf("  %s\n", line.c_str());
        }
    }
    if (!options_.workDir.empty()) {
        say("kept %s", work_.path.c_str());
    }
    if (!ok) {
        if (!stored_.empty()) {
            std::fprintf(stderr, "lumvex-demo: not every stored fix reached the collector\n");
        } else if (options_.geoClue) {
            std::fprintf(stderr,
                         "lumvex-demo: the library stored no fix: is GeoClue giving \"lumvex-demo\" a "
                         "position (location switched on, the desktop's agent allowing it)?\n");
        } else if (replay_) {
            std::fprintf(stderr,
                         "lumvex-demo: the library stored no fix: is the gpsd on 127.0.0.1:%s that "
                         "replays the track reporting a position?\n",
                         gpsdPort_.c_str());
        } else {
            std::fprintf(stderr,
                         "lumvex-demo: the library stored no fix: is the gpsd at %s:%s reporting a "
                         "position (gpspipe -w -n 5 %s:%s)?\n",
                         gpsdHost_.c_str(), gpsdPort_.c_str(), gpsdHost_.c_str(), gpsdPort_.c_str());
        }
        return EXIT_FAILED;
    }
    say("done");
    return 0;
}

int run(const Options& options) {
    DemoRun demo(options);
    for (const auto step :
         {&DemoRun::prepare, &DemoRun::startCollector, &DemoRun::startGpsd, &DemoRun::startLibrary}) {
        if (const auto failed = (demo.*step)()) {
            return *failed;
        }
    }
    demo.sample();
    demo.upload();
    return demo.finish(demo.report());
}

}  // namespace

int main(int argc, char** argv) {
    const auto options = parseArguments(argc, argv);
    if (!options) {
        std::fprintf(stderr, "Try lumvex-demo --help\n");
        return EXIT_USAGE;
    }
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    if (::localtime_r(&now, &local)) {
        utcOffsetSeconds = local.tm_gmtoff;
    }
    // Before any thread exists, so every thread inherits the mask and only the signal
    // thread takes them.
    Interrupts::blockInThisThread();
    std::signal(SIGPIPE, SIG_IGN);
    curl_global_init(CURL_GLOBAL_DEFAULT);
    const int status = run(*options);
    curl_global_cleanup();
    return status;
}
