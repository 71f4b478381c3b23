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
    std::string userAgent;  // "" when the request carried none
    nlohmann::json body;
};

/// The uploads kept in one SQLite file. Safe to use from several threads.
class UploadStore {
public:
    /// Opens (creating when needed) the database at `path`; throws std::runtime_error.
    explicit UploadStore(const std::string& path);
    ~UploadStore();
    UploadStore(const UploadStore&) = delete;
    UploadStore& operator=(const UploadStore&) = delete;

    /// Keeps `upload`; returns its id.
    long long add(const Upload& upload);

    /// Every upload, oldest first, optionally only those of one key and/or one device
    /// ("" matches all): [{"id", "received_at", "api_key", "device", "status",
    /// "content_type", "user_agent", "location_count", "has_device_info", "body"}].
    nlohmann::json list(const std::string& apiKey = "", const std::string& device = "") const;

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
