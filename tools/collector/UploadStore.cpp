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
        "CREATE INDEX IF NOT EXISTS uploads_by_key ON uploads (api_key, device);"
        "CREATE TABLE IF NOT EXISTS accepted_keys ("
        " api_key TEXT NOT NULL,"
        " idempotency_key TEXT NOT NULL,"
        " upload_id INTEGER NOT NULL,"
        " PRIMARY KEY (api_key, idempotency_key));";
    if (sqlite3_exec(db_, schema, nullptr, nullptr, &error) != SQLITE_OK) {
        const std::string why = error ? error : "unknown error";
        sqlite3_free(error);
        sqlite3_close(db_);
        throw std::runtime_error("cannot prepare " + path + ": " + why);
    }
    // Databases made before uploads carried keys lack these columns; where they exist
    // already, SQLite refuses to add them again, which is fine.
    sqlite3_exec(db_, "ALTER TABLE uploads ADD COLUMN idempotency_key TEXT NOT NULL DEFAULT ''", nullptr,
                 nullptr, nullptr);
    sqlite3_exec(db_, "ALTER TABLE uploads ADD COLUMN replays INTEGER NOT NULL DEFAULT 0", nullptr, nullptr,
                 nullptr);
}

UploadStore::~UploadStore() {
    sqlite3_close(db_);
}

Added UploadStore::add(const Upload& upload) {
    std::lock_guard<std::mutex> guard(mutex_);
    // The look-up, the insert and the key's record commit together or not at all, so that
    // a key is accepted exactly when its upload is kept.
    sqlite3_exec(db_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
    try {
        Added added;
        if (!upload.idempotencyKey.empty()) {
            Statement find(db_,
                           "SELECT upload_id FROM accepted_keys WHERE api_key = ? AND idempotency_key = ?");
            find.bind(1, upload.apiKey);
            find.bind(2, upload.idempotencyKey);
            if (find.step()) {
                added.id = find.integer(0);
                added.replayed = true;
                Statement count(db_, "UPDATE uploads SET replays = replays + 1 WHERE id = ?");
                count.bind(1, added.id);
                count.step();
            }
        }
        if (!added.replayed) {
            Statement insert(db_,
                             "INSERT INTO uploads (received_at, api_key, device, status, content_type,"
                             " user_agent, location_count, has_device_info, body, idempotency_key)"
                             " VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?)");
            insert.bind(1, nowUtc());
            insert.bind(2, upload.apiKey);
            insert.bind(3, upload.device);
            insert.bind(4, static_cast<long long>(upload.status));
            insert.bind(5, upload.contentType);
            insert.bind(6, upload.userAgent);
            insert.bind(7, static_cast<long long>(upload.body.at("locations").size()));
            insert.bind(8, static_cast<long long>(upload.body.at("devices_infos").empty() ? 0 : 1));
            insert.bind(9, upload.body.dump());
            insert.bind(10, upload.idempotencyKey);
            insert.step();
            added.id = sqlite3_last_insert_rowid(db_);
            if (upload.status == 200 && !upload.idempotencyKey.empty()) {
                Statement accept(
                    db_, "INSERT INTO accepted_keys (api_key, idempotency_key, upload_id) VALUES (?, ?, ?)");
                accept.bind(1, upload.apiKey);
                accept.bind(2, upload.idempotencyKey);
                accept.bind(3, added.id);
                accept.step();
            }
        }
        if (sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK) {
            throw std::runtime_error(std::string("sqlite: ") + sqlite3_errmsg(db_));
        }
        return added;
    } catch (...) {
        sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        throw;
    }
}

nlohmann::json UploadStore::list(const std::string& apiKey, const std::string& device,
                                 long long fixesPerDevice) const {
    std::lock_guard<std::mutex> guard(mutex_);
    // Newest first within each device, each upload weighs its fixes (at least one); an
    // upload is listed while the weight of those newer than it stays under the bound.
    Statement select(db_,
                     "SELECT id, received_at, api_key, device, status, content_type, user_agent,"
                     " location_count, has_device_info, body, idempotency_key, replays, newer FROM"
                     " (SELECT *, SUM(MAX(location_count, 1)) OVER (PARTITION BY api_key, device ORDER BY id"
                     " DESC ROWS BETWEEN UNBOUNDED PRECEDING AND 1 PRECEDING) AS newer FROM uploads"
                     " WHERE (?1 = '' OR api_key = ?1) AND (?2 = '' OR device = ?2))"
                     " WHERE IFNULL(newer, 0) < ?3 ORDER BY id");
    select.bind(1, apiKey);
    select.bind(2, device);
    select.bind(3, fixesPerDevice);
    auto out = nlohmann::json::array();
    while (select.step()) {
        auto body = nlohmann::json::parse(select.text(9), nullptr, false);
        const long long room = fixesPerDevice - select.integer(12);
        bool truncated = false;
        if (body.is_object() && body.contains("locations") && body["locations"].is_array() &&
            static_cast<long long>(body["locations"].size()) > room) {
            auto& locations = body["locations"];
            locations.erase(locations.begin(), locations.end() - room);
            truncated = true;
        }
        nlohmann::json row = {{"id", select.integer(0)},
                              {"received_at", select.text(1)},
                              {"api_key", select.text(2)},
                              {"device", select.text(3)},
                              {"status", select.integer(4)},
                              {"content_type", select.text(5)},
                              {"user_agent", select.text(6)},
                              {"idempotency_key", select.text(10)},
                              {"replays", select.integer(11)},
                              {"location_count", select.integer(7)},
                              {"has_device_info", select.integer(8) != 0},
                              {"body", std::move(body)}};
        if (truncated) {
            row["truncated"] = true;
        }
        out.push_back(std::move(row));
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
