#pragma once

#include <nlohmann/json.hpp>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

struct sqlite3;

namespace collector {

/// The database cannot be used now: it did not answer within the store's timeout, the
/// connection to it broke, or its file is no longer the one the collector opened. The
/// upload was not kept, unless the message says that its outcome is unknown; either way
/// the client may send it again (with its Idempotency-Key, it is then kept once).
class Unavailable : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

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

/// What the store holds in all, kept up to date as uploads come and go.
struct Totals {
    long long uploads = 0;
    long long keys = 0;
    long long devices = 0;
    long long locations = 0;
};

/// One device's counters.
struct DeviceCounts {
    std::string apiKey;
    std::string device;
    long long uploads = 0;
    long long locations = 0;
    long long deviceInfos = 0;
    std::string lastReceivedAt;
    long long weight = 0;  // fixes received in all, an upload without fixes counting as one
};

/// A page of a listing: where the next one starts, when there is one.
struct Resume {
    bool more = false;
    long long afterId = 0;
    std::string afterKey;
    std::string afterDevice;
};

/// Where uploads are kept. Safe to use from several threads.
class UploadStore {
public:
    struct Options {
        /// Uploads older than this are removed in the background; none when absent.
        std::optional<std::chrono::duration<double>> retainFor;
        /// Most uploads removed in one transaction.
        int retentionBatch = 500;
        /// The longest that one call waits for the database (for a connection, a lock, a
        /// statement or a commit) before it throws Unavailable. Opening gets twice as long.
        std::chrono::milliseconds timeout{5000};
        /// Refuse to open a database that is not there yet, instead of making one.
        bool mustExist = false;
    };

    /// The store at `location`: a PostgreSQL connection URI ("postgresql://..." or
    /// "postgres://..."), else the path of a SQLite file (created when needed). Throws
    /// std::runtime_error.
    static std::unique_ptr<UploadStore> open(const std::string& location, Options options);

    virtual ~UploadStore() = default;

    /// Keeps `upload`, unless its idempotency key was already accepted for its API key
    /// with status 200: then only that earlier upload's replay count grows. An upload kept
    /// with status 200 makes its key accepted. Returns once the outcome is durable;
    /// throws Unavailable (see there) or std::runtime_error when it could not be stored.
    virtual Added add(const Upload& upload) = 0;

    /// Up to `limit` uploads with ids above `afterId` and at most `upToId`, oldest first,
    /// optionally only those of one key and/or one device ("" matches all), each as {"id",
    /// "received_at", "api_key", "device", "status", "content_type", "user_agent",
    /// "idempotency_key", "replays", "location_count", "has_device_info", "body"}. Only
    /// each device's most recent `fixesPerDevice` fixes are listed, an upload without
    /// fixes counting as one: older uploads are left out, and the oldest one listed may
    /// show only its latest fixes ("truncated": true). At most `limit` uploads are looked
    /// at, so a page may hold fewer than `limit` and still have a next one.
    virtual std::vector<nlohmann::json> listUploads(const std::string& apiKey, const std::string& device,
                                                    long long afterId, long long upToId, long long limit,
                                                    long long fixesPerDevice, Resume& resume) const = 0;

    /// The window of ids that a page of `limit` uploads after `afterId` looks at: ids up to
    /// resume.afterId, and whether any follow.
    virtual Resume window(long long afterId, long long limit) const = 0;

    /// Up to `limit` devices after (`afterKey`, `afterDevice`) in key and device order.
    virtual std::vector<DeviceCounts> listDevices(const std::string& afterKey, const std::string& afterDevice,
                                                  long long limit, Resume& resume) const = 0;

    /// The uploads of one device that its listing shows (see listUploads), oldest first,
    /// each passed to `each` with its time of receipt and its body.
    virtual void deviceUploads(
        const DeviceCounts& device, long long fixesPerDevice,
        const std::function<void(const std::string&, nlohmann::json&&)>& each) const = 0;

    virtual Totals totals() const = 0;

    static constexpr long long DEFAULT_LISTED_FIXES = 1000;
};

/// The PostgreSQL store behind UploadStore::open.
std::unique_ptr<UploadStore> openPostgres(const std::string& uri, UploadStore::Options options);

/// Cuts the oldest fixes of an upload's `body` so that at most `room` are left; whether
/// any were cut.
bool keepLatestFixes(nlohmann::json& body, long long room);

/// The time `at` as the stores keep it: ISO 8601 UTC with milliseconds.
std::string isoUtc(std::chrono::system_clock::time_point at);

/// The uploads kept in one SQLite file, in WAL mode. One writer thread owns the writing
/// connection and commits the uploads that wait together in one transaction; readers use
/// connections of their own, so no read waits for a write or holds one up.
class SqliteStore final : public UploadStore {
public:
    SqliteStore(const std::string& path, Options options);
    ~SqliteStore() override;
    SqliteStore(const SqliteStore&) = delete;
    SqliteStore& operator=(const SqliteStore&) = delete;

    Added add(const Upload& upload) override;
    std::vector<nlohmann::json> listUploads(const std::string& apiKey, const std::string& device,
                                            long long afterId, long long upToId, long long limit,
                                            long long fixesPerDevice, Resume& resume) const override;
    Resume window(long long afterId, long long limit) const override;
    std::vector<DeviceCounts> listDevices(const std::string& afterKey, const std::string& afterDevice,
                                          long long limit, Resume& resume) const override;
    void deviceUploads(const DeviceCounts& device, long long fixesPerDevice,
                       const std::function<void(const std::string&, nlohmann::json&&)>& each) const override;
    Totals totals() const override;

    /// Removes the uploads received before `cutoff` (as isoUtc), at most one batch;
    /// returns how many went.
    long long removeBatchBefore(const std::string& cutoff);

private:
    /// What the writer answers one upload. A failure travels as text and is thrown on the
    /// caller's thread: an exception object handed to many threads at once is shared through
    /// a count inside the C++ runtime, out of the sight of ThreadSanitizer.
    struct Outcome {
        enum class Kind { Stored, Unavailable, Failed };
        Kind kind = Kind::Stored;
        Added added;          // when Stored
        std::string message;  // otherwise: the text of the Unavailable or runtime_error thrown
    };
    /// One upload waiting for the writer. Shared with the caller, who may stop waiting
    /// for it at its timeout.
    struct Pending {
        Upload upload;         // without its body, which bodyText holds
        long long locations;   // fixes in the body
        long long deviceInfo;  // 1 when the body holds a device description
        std::string bodyText;  // made on the caller's thread, not the writer's
        std::promise<Outcome> done;
    };
    struct ReaderLease;
    struct Writes;

    void writeLoop();
    /// Stores `batch` in one transaction and answers each of its uploads. `writes` is the
    /// writer's, made on first use.
    void commit(std::vector<std::shared_ptr<Pending>>& batch, std::unique_ptr<Writes>& writes);
    ReaderLease lease() const;
    /// Throws Unavailable when the file at path_ is gone or is another one than we opened;
    /// says so once on standard error.
    void checkFile() const;

    std::string path_;
    Options options_;
    sqlite3* db_ = nullptr;                      // owned by the writer thread once it runs
    unsigned long long device_ = 0, inode_ = 0;  // the file opened, set before any thread runs
    mutable std::once_flag fileGone_;

    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::shared_ptr<Pending>> queue_;  // guarded by mutex_
    bool closing_ = false;                        // guarded by mutex_

    mutable std::mutex readersMutex_;
    mutable std::condition_variable readerFree_;
    mutable std::vector<sqlite3*> idleReaders_;  // guarded by readersMutex_
    mutable int openReaders_ = 0;                // guarded by readersMutex_

    std::thread writer_;
};

/// The summary as JSON: per key and per device, {"<key>": {"<device>": {"uploads",
/// "locations", "device_infos", "last_received_at"}}}.
nlohmann::json summaryJson(const std::vector<DeviceCounts>& devices);

/// The summary laid out as a table for a terminal.
std::string formatSummary(const std::vector<DeviceCounts>& devices, bool header = true);

/// `value` as JSON text that is always valid UTF-8: bytes stored before they were checked
/// come out as U+FFFD instead of breaking the listing.
std::string dumpJson(const nlohmann::json& value);

}  // namespace collector
