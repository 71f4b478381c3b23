#include "UploadStore.h"

#include <sqlite3.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <sstream>
#include <stdexcept>

namespace collector {

namespace {

/// A prepared statement that finalises itself.
class Statement {
public:
    Statement(sqlite3* db, const char* sql) {
        if (sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr) != SQLITE_OK) {
            throw std::runtime_error(std::string("sqlite: ") + sqlite3_errmsg(db));
        }
    }
    ~Statement() { sqlite3_finalize(stmt_); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    void bind(int index, const std::string& text) {
        sqlite3_bind_text(stmt_, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
    }
    void bind(int index, long long value) { sqlite3_bind_int64(stmt_, index, value); }
    bool step() {
        const int rc = sqlite3_step(stmt_);
        if (rc == SQLITE_ROW) return true;
        if (rc == SQLITE_DONE) return false;
        throw std::runtime_error(std::string("sqlite: ") + sqlite3_errmsg(sqlite3_db_handle(stmt_)));
    }
    std::string text(int column) const {
        const auto* bytes = sqlite3_column_text(stmt_, column);
        return bytes ? std::string(reinterpret_cast<const char*>(bytes),
                                   static_cast<std::size_t>(sqlite3_column_bytes(stmt_, column)))
                     : std::string();
    }
    long long integer(int column) const { return sqlite3_column_int64(stmt_, column); }

private:
    sqlite3_stmt* stmt_ = nullptr;
};

std::string nowUtc() {
    const auto now = std::chrono::system_clock::now();
    const auto millis =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char text[40];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
    char out[48];
    std::snprintf(out, sizeof out, "%s.%03dZ", text, static_cast<int>(millis));
    return out;
}

}  // namespace

UploadStore::UploadStore(const std::string& path) {
    if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) !=
        SQLITE_OK) {
        const std::string why = db_ ? sqlite3_errmsg(db_) : "out of memory";
        sqlite3_close(db_);
        throw std::runtime_error("cannot open " + path + ": " + why);
    }
    char* error = nullptr;
    const char* schema =
        "CREATE TABLE IF NOT EXISTS uploads ("
        " id INTEGER PRIMARY KEY AUTOINCREMENT,"
        " received_at TEXT NOT NULL,"
        " api_key TEXT NOT NULL,"
        " device TEXT NOT NULL,"
        " status INTEGER NOT NULL,"
        " content_type TEXT NOT NULL,"
        " user_agent TEXT NOT NULL,"
        " location_count INTEGER NOT NULL,"
        " has_device_info INTEGER NOT NULL,"
        " body TEXT NOT NULL);"
        "CREATE INDEX IF NOT EXISTS uploads_by_key ON uploads (api_key, device);";
    if (sqlite3_exec(db_, schema, nullptr, nullptr, &error) != SQLITE_OK) {
        const std::string why = error ? error : "unknown error";
        sqlite3_free(error);
        sqlite3_close(db_);
        throw std::runtime_error("cannot prepare " + path + ": " + why);
    }
}

UploadStore::~UploadStore() {
    sqlite3_close(db_);
}

long long UploadStore::add(const Upload& upload) {
    std::lock_guard<std::mutex> guard(mutex_);
    Statement insert(db_,
                     "INSERT INTO uploads (received_at, api_key, device, status, content_type, user_agent,"
                     " location_count, has_device_info, body) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?)");
    insert.bind(1, nowUtc());
    insert.bind(2, upload.apiKey);
    insert.bind(3, upload.device);
    insert.bind(4, static_cast<long long>(upload.status));
    insert.bind(5, upload.contentType);
    insert.bind(6, upload.userAgent);
    insert.bind(7, static_cast<long long>(upload.body.at("locations").size()));
    insert.bind(8, static_cast<long long>(upload.body.at("devices_infos").empty() ? 0 : 1));
    insert.bind(9, upload.body.dump());
    insert.step();
    return sqlite3_last_insert_rowid(db_);
}

nlohmann::json UploadStore::list(const std::string& apiKey, const std::string& device) const {
    std::lock_guard<std::mutex> guard(mutex_);
    Statement select(db_,
                     "SELECT id, received_at, api_key, device, status, content_type, user_agent,"
                     " location_count, has_device_info, body FROM uploads"
                     " WHERE (?1 = '' OR api_key = ?1) AND (?2 = '' OR device = ?2) ORDER BY id");
    select.bind(1, apiKey);
    select.bind(2, device);
    auto out = nlohmann::json::array();
    while (select.step()) {
        out.push_back({{"id", select.integer(0)},
                       {"received_at", select.text(1)},
                       {"api_key", select.text(2)},
                       {"device", select.text(3)},
                       {"status", select.integer(4)},
                       {"content_type", select.text(5)},
                       {"user_agent", select.text(6)},
                       {"location_count", select.integer(7)},
                       {"has_device_info", select.integer(8) != 0},
                       {"body", nlohmann::json::parse(select.text(9), nullptr, false)}});
    }
    return out;
}

nlohmann::json UploadStore::summary() const {
    std::lock_guard<std::mutex> guard(mutex_);
    Statement select(db_,
                     "SELECT api_key, device, COUNT(*), SUM(location_count), SUM(has_device_info),"
                     " MAX(received_at) FROM uploads GROUP BY api_key, device ORDER BY api_key, device");
    auto out = nlohmann::json::object();
    while (select.step()) {
        out[select.text(0)][select.text(1)] = {{"uploads", select.integer(2)},
                                               {"locations", select.integer(3)},
                                               {"device_infos", select.integer(4)},
                                               {"last_received_at", select.text(5)}};
    }
    return out;
}

std::string formatSummary(const nlohmann::json& summary) {
    std::ostringstream out;
    if (summary.empty()) {
        out << "No uploads received.\n";
        return out.str();
    }
    char line[256];
    std::snprintf(line, sizeof line, "%-24s %-38s %8s %10s %8s  %s\n", "API key", "Device", "Uploads",
                  "Locations", "Devices", "Last received");
    out << line;
    for (const auto& [key, devices] : summary.items()) {
        for (const auto& [device, row] : devices.items()) {
            std::snprintf(line, sizeof line, "%-24s %-38s %8lld %10lld %8lld  %s\n", key.c_str(),
                          device.c_str(), row.at("uploads").get<long long>(),
                          row.at("locations").get<long long>(), row.at("device_infos").get<long long>(),
                          row.at("last_received_at").get<std::string>().c_str());
            out << line;
        }
    }
    return out.str();
}

}  // namespace collector
