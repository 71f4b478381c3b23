// Load on the development collector: uploads per second and their latency (p50, p99) at 1,
// 8 and 64 clients on keep-alive connections, on SQLite and on PostgreSQL, with one and
// with two collectors, at an empty and at a pre-filled database; and the time and the
// collector's peak memory of GET /, GET /summary and GET /uploads at each size.
//
// Each upload is a real body of 20 fixes and a device description (about 1.9 KB) with a
// new Idempotency-Key and device. The pre-filled rows are written with SQL directly.
//
//   collector_load_bench [--rows N] [--seconds S] [--no-postgres] [--clients N]
// Prints Markdown table rows. --rows 0 measures the empty database only; --clients N only
// that many clients; --collectors 1 leaves out the runs with two collectors. Each load row
// also gives the collector's CPU time and context switches per upload.
//
//   collector_load_bench --idle N
// One well-formed upload beside N idle connections (each connected, half of them with a
// request begun): the time to its answer.
//
//   collector_load_bench --outage S
// 64 clients upload for S seconds to a collector on PostgreSQL, each upload with a key of
// its own, while the server is stopped (SIGSTOP) for 5 s and later restarted (pg_ctl
// restart). Then: every upload answered 200 must be in the database exactly once; the
// slowest answer beside the collector's bound (--db-timeout-ms 2000).

#include "Collector.h"

#include <sqlite3.h>
#include <nlohmann/json.hpp>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

using lumvex::test::Collector;
using lumvex::test::PostgresServer;
using Clock = std::chrono::steady_clock;

namespace {

int onlyClients = 0;
int mostCollectors = 2;

std::string uploadBody(const std::string& device) {
    nlohmann::json locations = nlohmann::json::array();
    for (int i = 0; i < 20; ++i) {
        locations.push_back({{"timestamp", "2026-06-15T10:00:" + std::to_string(10 + i) + "Z"},
                             {"lat", std::to_string(52.5 + i * 0.001)},
                             {"lng", std::to_string(13.4 + i * 0.001)}});
    }
    return nlohmann::json{{"mac", "020000000000"},
                          {"google_aid", device},
                          {"locations", locations},
                          {"devices_infos",
                           {{"os_version", "12"},
                            {"device_brand", "apple"},
                            {"device_id", "Computer"},
                            {"system_name", "iOS"},
                            {"app_version", "1.0"},
                            {"device_locale", "de"},
                            {"device_country", "DE"},
                            {"timezone", "Europe/Berlin"},
                            {"User-Agent", "ios/1.0.0"},
                            {"device_name", "bench phone"},
                            {"is_tablet", false}}}}
        .dump();
}

/// One keep-alive connection that posts uploads and reads the answers.
class Client {
public:
    explicit Client(int port) : port_(port) { connect(); }
    ~Client() { ::close(fd_); }

    /// Status of one upload, 0 when the connection failed.
    int post(const std::string& idempotencyKey, const std::string& body) {
        const std::string request =
            "POST /api/v1/bench/send_locations HTTP/1.1\r\nHost: 127.0.0.1\r\n"
            "Content-Type: application/json\r\nIdempotency-Key: " +
            idempotencyKey + "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
        if (::send(fd_, request.data(), request.size(), MSG_NOSIGNAL) !=
            static_cast<ssize_t>(request.size())) {
            connect();
            return 0;
        }
        std::string in;
        char buffer[4096];
        std::size_t headEnd;
        while ((headEnd = in.find("\r\n\r\n")) == std::string::npos) {
            const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
            if (n <= 0) {
                connect();
                return 0;
            }
            in.append(buffer, static_cast<std::size_t>(n));
        }
        const auto at = in.find("Content-Length: ");
        const std::size_t length =
            at == std::string::npos ? 0 : std::strtoul(in.c_str() + at + 16, nullptr, 10);
        while (in.size() < headEnd + 4 + length) {
            const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
            if (n <= 0) {
                connect();
                return 0;
            }
            in.append(buffer, static_cast<std::size_t>(n));
        }
        return std::atoi(in.c_str() + 9);
    }

private:
    void connect() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int yes = 1;
        ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(static_cast<uint16_t>(port_));
        ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    }

    int port_;
    int fd_ = -1;
};

struct Load {
    double perSecond = 0;
    double p50Ms = 0;
    double p99Ms = 0;
    long failures = 0;
};

Load runLoad(const std::vector<const Collector*>& collectors, int clients, std::chrono::seconds duration,
             const std::string& tag) {
    std::vector<std::vector<double>> latencies(static_cast<std::size_t>(clients));
    std::atomic<long> failures{0};
    const auto end = Clock::now() + duration;
    std::vector<std::thread> threads;
    for (int c = 0; c < clients; ++c) {
        threads.emplace_back([&, c] {
            Client client(collectors[static_cast<std::size_t>(c) % collectors.size()]->port());
            auto& mine = latencies[static_cast<std::size_t>(c)];
            for (long n = 0; Clock::now() < end; ++n) {
                const std::string id = tag + "-" + std::to_string(c) + "-" + std::to_string(n);
                const auto body = uploadBody("device-" + id);
                const auto began = Clock::now();
                const int status = client.post(id, body);
                if (status != 200) {
                    ++failures;
                    continue;
                }
                mine.push_back(std::chrono::duration<double, std::milli>(Clock::now() - began).count());
            }
        });
    }
    for (auto& t : threads) {
        t.join();
    }
    std::vector<double> all;
    for (auto& l : latencies) {
        all.insert(all.end(), l.begin(), l.end());
    }
    std::sort(all.begin(), all.end());
    Load out;
    out.failures = failures;
    if (!all.empty()) {
        out.perSecond = static_cast<double>(all.size()) / static_cast<double>(duration.count());
        out.p50Ms = all[all.size() / 2];
        out.p99Ms = all[std::min(all.size() - 1, all.size() * 99 / 100)];
    }
    return out;
}

/// The CPU time the process has used in all its threads, ended ones included, and the
/// context switches of the threads it has now, summed; both grow monotonically while the
/// load runs, so their growth over it is the collector's cost per upload.
struct CpuUse {
    double cpuMs = 0;
    long switches = 0;
};

CpuUse cpuUse(pid_t pid) {
    CpuUse use;
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    // After the command's closing parenthesis: state is field 3, utime and stime 14 and 15.
    const auto close = text.rfind(')');
    if (close != std::string::npos) {
        std::istringstream fields(text.substr(close + 2));
        std::string field;
        double ticks = 0;
        for (int i = 3; i <= 15 && fields >> field; ++i) {
            if (i >= 14) {
                ticks += std::atof(field.c_str());
            }
        }
        use.cpuMs = ticks * 1000.0 / static_cast<double>(::sysconf(_SC_CLK_TCK));
    }
    for (const auto& task : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task")) {
        std::ifstream status(task.path() / "status");
        std::string line;
        while (std::getline(status, line)) {
            if (line.rfind("voluntary_ctxt_switches:", 0) == 0 ||
                line.rfind("nonvoluntary_ctxt_switches:", 0) == 0) {
                use.switches += std::atol(line.c_str() + line.find(':') + 1);
            }
        }
    }
    return use;
}

long peakRssKb(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmHWM:", 0) == 0) {
            return std::atol(line.c_str() + 6);
        }
    }
    return -1;
}

double timedGetMs(const std::string& url, std::size_t& bytes) {
    const auto began = Clock::now();
    const auto result = lumvex::test::httpGet(url);
    bytes = result.status == 200 ? result.body.size() : 0;
    return std::chrono::duration<double, std::milli>(Clock::now() - began).count();
}

/// The SQL that fills `rows` uploads, each of a device of its own, with their counters.
std::string fillSql(long rows, bool postgres) {
    const std::string body = uploadBody("filled");
    std::string quoted;
    for (char c : body) {
        quoted += c == '\'' ? std::string("''") : std::string(1, c);
    }
    const std::string series =
        postgres ? "SELECT i FROM generate_series(1, " + std::to_string(rows) + ") AS i"
                 : "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < " +
                       std::to_string(rows) + ") SELECT i FROM n";
    const std::string concat = "'filled-' || i";
    std::string sql =
        "INSERT INTO uploads (received_at, api_key, device, status, content_type, user_agent,"
        " location_count, has_device_info, body, idempotency_key, cum_weight) SELECT"
        " '2026-01-01T00:00:00.000Z', 'filled', " +
        concat + ", 200, 'application/json', '', 20, 1, '" + quoted + "', " + concat + ", 20 FROM (" +
        series + ") AS s;";
    sql +=
        "INSERT INTO devices SELECT api_key, device, 1, 20, 1, received_at, 20 FROM uploads WHERE api_key ="
        " 'filled';";
    sql +=
        "INSERT INTO accepted_keys SELECT api_key, idempotency_key, id FROM uploads WHERE api_key = "
        "'filled';";
    sql += postgres ? "INSERT INTO api_keys VALUES ('filled', " + std::to_string(rows) +
                          ");UPDATE totals SET uploads = uploads + " + std::to_string(rows) +
                          ", keys = keys + 1, devices = devices + " + std::to_string(rows) +
                          ", locations = locations + " + std::to_string(rows * 20) + " WHERE shard = 0;"
                    : "UPDATE totals SET uploads = uploads + " + std::to_string(rows) +
                          ", keys = keys + 1, devices = devices + " + std::to_string(rows) +
                          ", locations = locations + " + std::to_string(rows * 20) + ";";
    return sql;
}

bool fillSqlite(const std::string& path, long rows) {
    sqlite3* db = nullptr;
    if (sqlite3_open(path.c_str(), &db) != SQLITE_OK) {
        return false;
    }
    char* error = nullptr;
    const std::string sql = "BEGIN;" + fillSql(rows, false) + "COMMIT;";
    const bool ok = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error) == SQLITE_OK;
    if (!ok) {
        std::fprintf(stderr, "fill: %s\n", error ? error : "?");
    }
    sqlite3_free(error);
    sqlite3_close(db);
    return ok;
}

bool fillPostgres(const std::string& uri, long rows) {
    const std::string sql = "BEGIN;" + fillSql(rows, true) + "COMMIT;";
    const std::string file = "/tmp/collector-bench-fill.sql";
    std::ofstream(file) << sql;
    const std::string command = "psql -q -v ON_ERROR_STOP=1 '" + uri + "' -f " + file + " >/dev/null";
    const bool ok = std::system(command.c_str()) == 0;
    std::remove(file.c_str());
    return ok;
}

void measure(const std::string& store, const std::vector<const Collector*>& collectors, long rows,
             std::chrono::seconds duration, const std::string& tag) {
    // Reads first, on a fresh collector, so that its peak memory is theirs.
    std::size_t bytes = 0;
    for (const char* target : {"", "summary", "uploads"}) {
        double best = 1e12;
        for (int i = 0; i < 3; ++i) {
            best = std::min(best, timedGetMs(collectors[0]->baseUrl() + target, bytes));
        }
        std::printf("| %s | %ld rows | GET /%s | %.1f ms | %zu bytes | peak RSS %ld MB |\n", store.c_str(),
                    rows, target, best, bytes, peakRssKb(collectors[0]->pid()) / 1024);
    }
    std::fflush(stdout);
    for (int clients : {1, 8, 64}) {
        if (onlyClients != 0 && clients != onlyClients) {
            continue;
        }
        CpuUse before;
        for (const auto* collector : collectors) {
            const auto use = cpuUse(collector->pid());
            before.cpuMs += use.cpuMs;
            before.switches += use.switches;
        }
        const auto load = runLoad(collectors, clients, duration, tag + "-" + std::to_string(clients));
        CpuUse after;
        for (const auto* collector : collectors) {
            const auto use = cpuUse(collector->pid());
            after.cpuMs += use.cpuMs;
            after.switches += use.switches;
        }
        // What one upload costs the collector, which the machine's other load does not change
        // much, beside the rates, which it does.
        const double uploads = std::max(1.0, load.perSecond * static_cast<double>(duration.count()));
        std::printf(
            "| %s | %zu collector(s) | %ld rows | %d clients | %.0f uploads/s | p50 %.1f ms | p99 %.1f ms |"
            " %ld failed | collector CPU %.0f us and %.1f context switches per upload |\n",
            store.c_str(), collectors.size(), rows, clients, load.perSecond, load.p50Ms, load.p99Ms,
            load.failures, (after.cpuMs - before.cpuMs) * 1000.0 / uploads,
            static_cast<double>(after.switches - before.switches) / uploads);
        std::fflush(stdout);
    }
}

}  // namespace

int idleRun(int idle) {
    lumvex::test::TempDir dir;
    Collector collector(Collector::Options{std::nullopt, nullptr, {"--db", dir.file("idle.sqlite")}});
    std::vector<int> open;
    for (int i = 0; i < idle; ++i) {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(static_cast<uint16_t>(collector.port()));
        if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            std::fprintf(stderr, "connection %d: %s\n", i, std::strerror(errno));
            ::close(fd);
            break;
        }
        if (i % 2 == 1) {
            ::send(fd, "POST /api/v1/k/send_locations HTTP/1.1\r\nHo", 43, MSG_NOSIGNAL);
        }
        open.push_back(fd);
    }
    const auto began = Clock::now();
    const auto result =
        lumvex::test::httpPost(collector.baseUrl() + "api/v1/k/send_locations", uploadBody("idle"));
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - began).count();
    std::printf("| %zu idle connections | one upload answered %ld in %.1f ms | peak RSS %ld MB |\n",
                open.size(), result.status, ms, peakRssKb(collector.pid()) / 1024);
    for (const int fd : open) {
        ::close(fd);
    }
    return result.status == 200 ? 0 : 1;
}

int outageRun(int seconds) {
    PostgresServer server;
    Collector collector(
        Collector::Options{std::nullopt, nullptr, {"--db", server.uri(), "--db-timeout-ms", "2000"}});
    const auto began = Clock::now();
    const auto end = began + std::chrono::seconds(seconds);
    std::atomic<bool> done{false};
    std::thread chaos([&] {
        auto at = [&](int s) {
            while (!done && Clock::now() < began + std::chrono::seconds(s)) {
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
        };
        at(5);
        server.signalAll(SIGSTOP);
        std::printf("t=%.1f s: PostgreSQL stopped (SIGSTOP)\n",
                    std::chrono::duration<double>(Clock::now() - began).count());
        at(10);
        server.signalAll(SIGCONT);
        std::printf("t=%.1f s: PostgreSQL continued (SIGCONT)\n",
                    std::chrono::duration<double>(Clock::now() - began).count());
        at(18);
        const auto restarting = Clock::now();
        const bool ok = server.restart();
        std::printf("t=%.1f s: pg_ctl restart %s after %.1f s\n",
                    std::chrono::duration<double>(Clock::now() - began).count(), ok ? "done" : "FAILED",
                    std::chrono::duration<double>(Clock::now() - restarting).count());
        std::fflush(stdout);
    });
    constexpr int CLIENTS = 64;
    std::vector<std::map<std::string, int>> answers(CLIENTS);
    std::vector<double> slowest(CLIENTS, 0);
    std::vector<double> lastFailureAt(CLIENTS, 0);
    std::vector<std::thread> threads;
    for (int c = 0; c < CLIENTS; ++c) {
        threads.emplace_back([&, c] {
            Client client(collector.port());
            for (long n = 0; Clock::now() < end; ++n) {
                const std::string id = "o-" + std::to_string(c) + "-" + std::to_string(n);
                const auto start = Clock::now();
                const int status = client.post(id, uploadBody("device-" + std::to_string(c)));
                const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
                answers[c][id] = status;
                slowest[c] = std::max(slowest[c], ms);
                if (status != 200) {
                    lastFailureAt[c] = std::chrono::duration<double>(Clock::now() - began).count();
                }
            }
        });
    }
    for (auto& t : threads) {
        t.join();
    }
    done = true;
    chaos.join();
    // What the database holds, per key.
    std::map<std::string, int> stored;
    const std::string command = "psql -qAt -F ' ' '" + server.uri() +
                                "' -c 'SELECT idempotency_key, count(*) FROM uploads GROUP BY 1'";
    if (FILE* p = ::popen(command.c_str(), "r")) {
        char line[256];
        while (std::fgets(line, sizeof line, p)) {
            char key[200];
            int count = 0;
            if (std::sscanf(line, "%199s %d", key, &count) == 2) {
                stored[key] = count;
            }
        }
        ::pclose(p);
    }
    std::map<int, long> byStatus;
    long okStoredOnce = 0, okMissing = 0, okTwice = 0, failedButStored = 0;
    for (const auto& mine : answers) {
        for (const auto& [key, status] : mine) {
            ++byStatus[status];
            const int count = stored.count(key) ? stored[key] : 0;
            if (status == 200) {
                (count == 1 ? okStoredOnce : count == 0 ? okMissing : okTwice)++;
            } else if (count > 0) {
                ++failedButStored;
            }
        }
    }
    for (const auto& [status, count] : byStatus) {
        std::printf("| answered %d | %ld uploads |\n", status, count);
    }
    std::printf(
        "| answered 200 and stored once | %ld |\n| answered 200 and missing | %ld |\n"
        "| answered 200 and stored twice | %ld |\n| not 200 but stored (outcome was unknown) | %ld |\n",
        okStoredOnce, okMissing, okTwice, failedButStored);
    std::printf(
        "| slowest answer | %.0f ms (bound: --db-timeout-ms 2000) |\n| last failure at | t=%.1f s |\n",
        *std::max_element(slowest.begin(), slowest.end()),
        *std::max_element(lastFailureAt.begin(), lastFailureAt.end()));
    return okMissing == 0 && okTwice == 0 ? 0 : 1;
}

int main(int argc, char** argv) {
    long rows = 100000;
    int seconds = 5;
    bool postgres = true;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--rows" && i + 1 < argc) {
            rows = std::atol(argv[++i]);
        } else if (arg == "--seconds" && i + 1 < argc) {
            seconds = std::atoi(argv[++i]);
        } else if (arg == "--no-postgres") {
            postgres = false;
        } else if (arg == "--collectors" && i + 1 < argc) {
            mostCollectors = std::atoi(argv[++i]);
        } else if (arg == "--clients" && i + 1 < argc) {
            onlyClients = std::atoi(argv[++i]);
        } else if (arg == "--idle" && i + 1 < argc) {
            return idleRun(std::atoi(argv[++i]));
        } else if (arg == "--outage" && i + 1 < argc) {
            return outageRun(std::atoi(argv[++i]));
        }
    }
    const auto duration = std::chrono::seconds(seconds);
    lumvex::test::TempDir dir;
    std::printf("load average at start: ");
    std::fflush(stdout);
    std::system("cut -d' ' -f1-3 /proc/loadavg");

    const std::vector<long> sizes = rows > 0 ? std::vector<long>{0L, rows} : std::vector<long>{0L};
    for (const long size : sizes) {
        const auto path = dir.file("bench-" + std::to_string(size) + ".sqlite");
        {
            // The first start makes the schema; the fill goes in while no collector runs.
            Collector maker(Collector::Options{std::nullopt, nullptr, {"--db", path}});
        }
        const auto began = Clock::now();
        if (size > 0 && !fillSqlite(path, size)) {
            return 1;
        }
        std::printf("sqlite fill of %ld rows: %.0f s\n", size,
                    std::chrono::duration<double>(Clock::now() - began).count());
        Collector collector(
            Collector::Options{std::nullopt, nullptr, {"--db", path, "--listed-fixes", "1000"}});
        measure("SQLite", {&collector}, size, duration, "s1-" + std::to_string(size));
        if (mostCollectors < 2) {
            continue;
        }
        // A second collector on the same file: SQLite lets one of them write at a time.
        Collector two(Collector::Options{std::nullopt, nullptr, {"--db", path, "--listed-fixes", "1000"}});
        measure("SQLite", {&collector, &two}, size, duration, "s2-" + std::to_string(size));
    }
    if (!postgres || PostgresServer::programs().empty()) {
        return 0;
    }
    PostgresServer server;
    for (const long size : sizes) {
        { Collector maker(Collector::Options{std::nullopt, nullptr, {"--db", server.uri()}}); }
        const auto began = Clock::now();
        if (size > 0 && !fillPostgres(server.uri(), size)) {
            return 1;
        }
        std::printf("postgresql fill of %ld rows: %.0f s\n", size,
                    std::chrono::duration<double>(Clock::now() - began).count());
        Collector one(
            Collector::Options{std::nullopt, nullptr, {"--db", server.uri(), "--listed-fixes", "1000"}});
        measure("PostgreSQL", {&one}, size, duration, "p1-" + std::to_string(size));
        if (mostCollectors >= 2) {
            Collector two(
                Collector::Options{std::nullopt, nullptr, {"--db", server.uri(), "--listed-fixes", "1000"}});
            measure("PostgreSQL", {&one, &two}, size, duration, "p2-" + std::to_string(size));
        }
        if (size == 0) {
            // The filled run starts from the same server: clear what the empty run left.
            std::system(
                ("psql -q '" + server.uri() +
                 "' -c 'TRUNCATE uploads, accepted_keys, devices, api_keys; UPDATE totals SET uploads = 0,"
                 " keys = 0, devices = 0, locations = 0' >/dev/null")
                    .c_str());
        }
    }
    return 0;
}
