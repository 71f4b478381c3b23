#pragma once

#include <nlohmann/json.hpp>

#include <mutex>
#include <string>

struct sqlite3;

namespace collector {

/// One received upload, as kept.
struct Upload {
    std::string apiKey;
    std::string device;  // the upload's "google_aid"
    int status = 0;      // the status the collector answered with
    std::string contentType;
    std::string userAgent;       // "" when the request carried none
    std::string idempotencyKey;  // the request's Idempotency-Key, "" when it carried none
    nlohmann::json body;
};

/// What `UploadStore::add` did with an upload.
struct Added {
    long long id = 0;       // the upload kept, or the earlier one that the key names
    bool replayed = false;  // whether the key had already been accepted, so nothing was kept
};

/// The uploads kept in one SQLite file. Safe to use from several threads.
class UploadStore {
public:
    /// Opens (creating when needed) the database at `path`; throws std::runtime_error.
    explicit UploadStore(const std::string& path);
    ~UploadStore();
    UploadStore(const UploadStore&) = delete;
    UploadStore& operator=(const UploadStore&) = delete;

    /// Keeps `upload`, unless its idempotency key was already accepted for its API key
    /// with status 200: then only that earlier upload's replay count grows. An upload kept
    /// with status 200 makes its key accepted.
    Added add(const Upload& upload);

    /// The uploads of each device, oldest first, optionally only those of one key and/or
    /// one device ("" matches all): [{"id", "received_at", "api_key", "device", "status",
    /// "content_type", "user_agent", "idempotency_key", "replays", "location_count",
    /// "has_device_info", "body"}]. Only each device's most recent `fixesPerDevice` fixes
    /// are listed, an upload without fixes counting as one: older uploads are left out,
    /// and the oldest one listed may show only its latest fixes ("truncated": true).
    nlohmann::json list(const std::string& apiKey = "", const std::string& device = "",
                        long long fixesPerDevice = DEFAULT_LISTED_FIXES) const;

    static constexpr long long DEFAULT_LISTED_FIXES = 1000;

    /// Per key and per device: {"<key>": {"<device>": {"uploads", "locations",
    /// "device_infos", "last_received_at"}}}.
    nlohmann::json summary() const;

private:
    mutable std::mutex mutex_;
    sqlite3* db_ = nullptr;
};

/// The summary laid out as a table for a terminal.
std::string formatSummary(const nlohmann::json& summary);

}  // namespace collector
