#include "UploadStore.h"

#include "UploadCheck.h"

#include <sqlite3.h>
#include <sys/stat.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <limits>
#include <map>
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
    /// Runs a statement that returns no rows, and makes it ready to run again.
    void run() {
        step();
        reset();
    }
    void reset() {
        sqlite3_reset(stmt_);
        sqlite3_clear_bindings(stmt_);
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

void exec(sqlite3* db, const char* sql) {
    char* error = nullptr;
    if (sqlite3_exec(db, sql, nullptr, nullptr, &error) != SQLITE_OK) {
        const std::string why = error ? error : sqlite3_errmsg(db);
        sqlite3_free(error);
        throw std::runtime_error("sqlite: " + why);
    }
}

}  // namespace

std::string isoUtc(std::chrono::system_clock::time_point at) {
    const auto millis =
        std::chrono::duration_cast<std::chrono::milliseconds>(at.time_since_epoch()).count() % 1000;
    const std::time_t seconds = std::chrono::system_clock::to_time_t(at);
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char text[40];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
    char out[48];
    std::snprintf(out, sizeof out, "%s.%03dZ", text, static_cast<int>(millis));
    return out;
}

namespace {

sqlite3* openDatabase(const std::string& path, int flags, std::chrono::milliseconds busy) {
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db, flags | SQLITE_OPEN_NOMUTEX, nullptr) != SQLITE_OK) {
        const std::string why = db ? sqlite3_errmsg(db) : "out of memory";
        sqlite3_close(db);
        throw std::runtime_error("cannot open " + path + ": " + why);
    }
    // Another collector on the same file may hold the write lock for a moment.
    sqlite3_busy_timeout(db, static_cast<int>(busy.count()));
    return db;
}

constexpr const char* SCHEMA =
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
    "CREATE TABLE IF NOT EXISTS accepted_keys ("
    " api_key TEXT NOT NULL,"
    " idempotency_key TEXT NOT NULL,"
    " upload_id INTEGER NOT NULL,"
    " PRIMARY KEY (api_key, idempotency_key));";

// Counters kept with every upload, so that the summary and the page's totals cost the same
// at any size. `weight` is the device's fixes so far (an upload without fixes counting as
// one) and each upload's `cum_weight` the device's weight once it was stored: an upload's
// newer fixes are the difference, which bounds a device's listing without a scan.
constexpr const char* COUNTERS =
    "CREATE TABLE devices ("
    " api_key TEXT NOT NULL,"
    " device TEXT NOT NULL,"
    " uploads INTEGER NOT NULL,"
    " locations INTEGER NOT NULL,"
    " device_infos INTEGER NOT NULL,"
    " last_received_at TEXT NOT NULL,"
    " weight INTEGER NOT NULL,"
    " PRIMARY KEY (api_key, device));"
    "CREATE TABLE totals (one INTEGER PRIMARY KEY CHECK (one = 1), uploads INTEGER NOT NULL,"
    " keys INTEGER NOT NULL, devices INTEGER NOT NULL, locations INTEGER NOT NULL);"
    "UPDATE uploads SET cum_weight = w.c FROM (SELECT id, SUM(MAX(location_count, 1)) OVER"
    " (PARTITION BY api_key, device ORDER BY id) AS c FROM uploads) AS w WHERE uploads.id = w.id;"
    "INSERT INTO devices SELECT api_key, device, COUNT(*), SUM(location_count), SUM(has_device_info),"
    " MAX(received_at), SUM(MAX(location_count, 1)) FROM uploads GROUP BY api_key, device;"
    "INSERT INTO totals SELECT 1, (SELECT COUNT(*) FROM uploads), (SELECT COUNT(DISTINCT api_key) FROM"
    " devices), (SELECT COUNT(*) FROM devices), (SELECT IFNULL(SUM(locations), 0) FROM devices);";

DeviceCounts deviceFrom(const Statement& row) {
    DeviceCounts out;
    out.apiKey = row.text(0);
    out.device = row.text(1);
    out.uploads = row.integer(2);
    out.locations = row.integer(3);
    out.deviceInfos = row.integer(4);
    out.lastReceivedAt = row.text(5);
    out.weight = row.integer(6);
    return out;
}

}  // namespace

bool keepLatestFixes(nlohmann::json& body, long long room) {
    if (body.is_object() && body.contains("locations") && body["locations"].is_array() &&
        static_cast<long long>(body["locations"].size()) > room) {
        auto& locations = body["locations"];
        locations.erase(locations.begin(), locations.end() - std::max(room, 0LL));
        return true;
    }
    return false;
}

/// A reading connection lent to one caller at a time.
struct SqliteStore::ReaderLease {
    const SqliteStore* store;
    sqlite3* db;
    ReaderLease(const SqliteStore* s, sqlite3* d) : store(s), db(d) {}
    ReaderLease(ReaderLease&& other) noexcept : store(other.store), db(other.db) { other.db = nullptr; }
    ReaderLease(const ReaderLease&) = delete;
    ReaderLease& operator=(const ReaderLease&) = delete;
    ReaderLease& operator=(ReaderLease&&) = delete;
    ~ReaderLease() {
        if (db) {
            {
                std::lock_guard<std::mutex> guard(store->readersMutex_);
                store->idleReaders_.push_back(db);
            }
            store->readerFree_.notify_one();
        }
    }
};

SqliteStore::SqliteStore(const std::string& path, Options options) : path_(path), options_(options) {
    db_ = openDatabase(path, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, options.timeout);
    try {
        // WAL lets readers work beside the writer; FULL syncs the log at every commit, so
        // that an answered upload survives a power loss: the device deletes its fixes
        // once it has its 200.
        exec(db_, "PRAGMA journal_mode=WAL");
        exec(db_, "PRAGMA synchronous=FULL");
        exec(db_, SCHEMA);
        // Databases made before uploads carried keys lack these columns; where they exist
        // already, SQLite refuses to add them again, which is fine.
        for (const char* column :
             {"idempotency_key TEXT NOT NULL DEFAULT ''", "replays INTEGER NOT NULL DEFAULT 0",
              "cum_weight INTEGER NOT NULL DEFAULT 0"}) {
            sqlite3_exec(db_, (std::string("ALTER TABLE uploads ADD COLUMN ") + column).c_str(), nullptr,
                         nullptr, nullptr);
        }
        exec(db_, "BEGIN IMMEDIATE");
        try {
            Statement has(db_, "SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = 'devices'");
            if (!has.step()) {
                exec(db_, COUNTERS);
            }
            exec(db_,
                 "DROP INDEX IF EXISTS uploads_by_key;"
                 "CREATE INDEX IF NOT EXISTS uploads_by_device ON uploads (api_key, device, cum_weight);"
                 "CREATE INDEX IF NOT EXISTS accepted_by_upload ON accepted_keys (upload_id);");
            exec(db_, "COMMIT");
        } catch (...) {
            sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
            throw;
        }
    } catch (const std::exception& e) {
        sqlite3_close(db_);
        throw std::runtime_error("cannot prepare " + path + ": " + e.what());
    }
    struct stat opened {};
    if (::stat(path.c_str(), &opened) == 0) {
        device_ = opened.st_dev;
        inode_ = opened.st_ino;
    }
    writer_ = std::thread([this] { writeLoop(); });
}

void SqliteStore::checkFile() const {
    struct stat now {};
    if (::stat(path_.c_str(), &now) == 0 && now.st_dev == device_ && now.st_ino == inode_) {
        return;
    }
    // Writing on would go into a file that nobody can open any more, or beside the new one.
    std::call_once(fileGone_, [&] {
        std::fprintf(
            stderr,
            "lumvex-collector: the database file %s was removed or replaced; uploads are answered 503"
            " until the collector is started again\n",
            collector::escapedForLog(path_).c_str());
    });
    throw Unavailable("the database file was removed or replaced under the collector; nothing was kept");
}

SqliteStore::~SqliteStore() {
    {
        std::lock_guard<std::mutex> guard(mutex_);
        closing_ = true;
    }
    wake_.notify_all();
    writer_.join();
    sqlite3_close(db_);
    std::lock_guard<std::mutex> guard(readersMutex_);
    for (auto* reader : idleReaders_) {
        sqlite3_close(reader);
    }
}

Added SqliteStore::add(const Upload& upload) {
    auto pending = std::make_shared<Pending>();
    pending->upload.apiKey = upload.apiKey;
    pending->upload.device = upload.device;
    pending->upload.status = upload.status;
    pending->upload.contentType = upload.contentType;
    pending->upload.userAgent = upload.userAgent;
    pending->upload.idempotencyKey = upload.idempotencyKey;
    pending->locations = static_cast<long long>(upload.body.at("locations").size());
    pending->deviceInfo = upload.body.at("devices_infos").empty() ? 0 : 1;
    pending->bodyText = dumpJson(upload.body);
    auto outcome = pending->done.get_future();
    {
        std::lock_guard<std::mutex> guard(mutex_);
        if (closing_) {
            throw std::runtime_error("the store is closing");
        }
        queue_.push_back(pending);
    }
    wake_.notify_one();
    // The writer always answers: with the outcome, or with the error that ended the batch.
    if (outcome.wait_for(options_.timeout) == std::future_status::ready) {
        Outcome answer = outcome.get();
        switch (answer.kind) {
            case Outcome::Kind::Stored:
                return answer.added;
            case Outcome::Kind::Unavailable:
                throw Unavailable(answer.message);
            case Outcome::Kind::Failed:
                break;
        }
        throw std::runtime_error(answer.message);
    }
    std::lock_guard<std::mutex> guard(mutex_);
    const auto waiting = std::find(queue_.begin(), queue_.end(), pending);
    if (waiting != queue_.end()) {
        queue_.erase(waiting);
        throw Unavailable("the database did not take the upload in time; nothing was kept");
    }
    throw Unavailable(
        "the database did not confirm the upload in time; it may have been kept: send it again with the same"
        " Idempotency-Key");
}

void SqliteStore::writeLoop() {
    using Clock = std::chrono::steady_clock;
    auto nextSweep = Clock::now();
    const auto sweepEvery = options_.retainFor
                                ? std::chrono::duration_cast<Clock::duration>(
                                      std::min(*options_.retainFor / 10, std::chrono::duration<double>(60)))
                                : Clock::duration::max();
    std::unique_ptr<Writes> writes;  // this thread's, ended with it before the store closes
    for (;;) {
        std::vector<std::shared_ptr<Pending>> batch;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            auto ready = [&] { return closing_ || !queue_.empty(); };
            if (options_.retainFor) {
                wake_.wait_until(lock, nextSweep, ready);
            } else {
                wake_.wait(lock, ready);
            }
            // Everything that waits now is written in one transaction and shares its flush;
            // the bound keeps one transaction from growing without end under load.
            while (!queue_.empty() && batch.size() < 1024) {
                batch.push_back(queue_.front());
                queue_.pop_front();
            }
            if (batch.empty() && closing_) {
                return;
            }
        }
        if (!batch.empty()) {
            commit(batch, writes);
            continue;
        }
        if (options_.retainFor && Clock::now() >= nextSweep) {
            // One batch at a time; waiting uploads go first, and a full batch means more may
            // be due at once.
            const auto cutoff =
                std::chrono::system_clock::now() -
                std::chrono::duration_cast<std::chrono::system_clock::duration>(*options_.retainFor);
            long long removed = 0;
            try {
                removed = removeBatchBefore(isoUtc(cutoff));
            } catch (const std::exception& e) {
                std::fprintf(stderr, "lumvex-collector: retention: %s\n", e.what());
            }
            nextSweep = removed >= options_.retentionBatch ? Clock::now() : Clock::now() + sweepEvery;
        }
    }
}

/// The statements of a group commit, prepared once by the writer and run for every upload of
/// every batch: preparing them per batch, and a savepoint's text per upload, cost the writer
/// about as much as storing the uploads.
struct SqliteStore::Writes {
    explicit Writes(sqlite3* db) : db(db) {}

    /// Makes every statement ready to run again, whatever step it stopped at.
    void resetAll() {
        for (Statement* s :
             {&find, &replay, &counters, &keyKnown, &totals, &insert, &accept, &savepoint, &release}) {
            s->reset();
        }
    }

    sqlite3* db;
    Statement find{db, "SELECT upload_id FROM accepted_keys WHERE api_key = ? AND idempotency_key = ?"};
    Statement replay{db, "UPDATE uploads SET replays = replays + 1 WHERE id = ?"};
    Statement counters{
        db,
        "INSERT INTO devices (api_key, device, uploads, locations, device_infos, last_received_at,"
        " weight) VALUES (?1, ?2, 1, ?3, ?4, ?5, ?6) ON CONFLICT (api_key, device) DO UPDATE SET"
        " uploads = uploads + 1, locations = locations + ?3, device_infos = device_infos + ?4,"
        " last_received_at = ?5, weight = weight + ?6 RETURNING weight, uploads"};
    Statement keyKnown{db, "SELECT 1 FROM devices WHERE api_key = ? LIMIT 1"};
    Statement totals{
        db,
        "UPDATE totals SET uploads = uploads + 1, locations = locations + ?1, devices = devices + ?2,"
        " keys = keys + ?3"};
    Statement insert{db,
                     "INSERT INTO uploads (received_at, api_key, device, status, content_type,"
                     " user_agent, location_count, has_device_info, body, idempotency_key, cum_weight)"
                     " VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)"};
    Statement accept{db, "INSERT INTO accepted_keys (api_key, idempotency_key, upload_id) VALUES (?, ?, ?)"};
    Statement savepoint{db, "SAVEPOINT one"};
    Statement release{db, "RELEASE one"};
};

namespace {

/// The answer to an upload whose own statements failed, as the exception `error` would
/// have told it, but as plain text.
template <typename Outcome>
Outcome failedOne(const std::exception_ptr& error) {
    Outcome outcome;
    try {
        std::rethrow_exception(error);
    } catch (const Unavailable& e) {
        outcome.kind = Outcome::Kind::Unavailable;
        outcome.message = e.what();
    } catch (const std::exception& e) {
        outcome.kind = Outcome::Kind::Failed;
        outcome.message = e.what();
    } catch (...) {
        outcome.kind = Outcome::Kind::Failed;
        outcome.message = "the upload could not be stored";
    }
    return outcome;
}

}  // namespace

void SqliteStore::commit(std::vector<std::shared_ptr<Pending>>& batch, std::unique_ptr<Writes>& writes) {
    std::vector<Outcome> outcomes(batch.size());
    try {
        checkFile();
        if (!writes) {
            writes = std::make_unique<Writes>(db_);
        }
        auto& [db, find, replay, counters, keyKnown, totals, insert, accept, savepoint, release] = *writes;
        (void)db;
        exec(db_, "BEGIN IMMEDIATE");
        const std::string now = isoUtc(std::chrono::system_clock::now());
        for (std::size_t i = 0; i < batch.size(); ++i) {
            const Upload& upload = batch[i]->upload;
            // Each upload in a savepoint of its own, so that one that cannot be stored fails
            // alone. The key is looked up inside the transaction, after the uploads before it
            // in the batch, so that the same key twice is kept once.
            savepoint.run();
            try {
                Added added;
                if (!upload.idempotencyKey.empty()) {
                    find.bind(1, upload.apiKey);
                    find.bind(2, upload.idempotencyKey);
                    if (find.step()) {
                        added.id = find.integer(0);
                        added.replayed = true;
                    }
                    find.reset();
                }
                if (added.replayed) {
                    replay.bind(1, added.id);
                    replay.run();
                } else {
                    const long long locations = batch[i]->locations;
                    const long long info = batch[i]->deviceInfo;
                    keyKnown.bind(1, upload.apiKey);
                    const bool knownKey = keyKnown.step();
                    keyKnown.reset();
                    counters.bind(1, upload.apiKey);
                    counters.bind(2, upload.device);
                    counters.bind(3, locations);
                    counters.bind(4, info);
                    counters.bind(5, now);
                    counters.bind(6, std::max(locations, 1LL));
                    counters.step();
                    const long long weight = counters.integer(0);
                    const bool newDevice = counters.integer(1) == 1;
                    counters.reset();
                    totals.bind(1, locations);
                    totals.bind(2, newDevice ? 1LL : 0LL);
                    totals.bind(3, knownKey ? 0LL : 1LL);
                    totals.run();
                    insert.bind(1, now);
                    insert.bind(2, upload.apiKey);
                    insert.bind(3, upload.device);
                    insert.bind(4, static_cast<long long>(upload.status));
                    insert.bind(5, upload.contentType);
                    insert.bind(6, upload.userAgent);
                    insert.bind(7, locations);
                    insert.bind(8, info);
                    insert.bind(9, batch[i]->bodyText);
                    insert.bind(10, upload.idempotencyKey);
                    insert.bind(11, weight);
                    insert.run();
                    added.id = sqlite3_last_insert_rowid(db_);
                    if (upload.status == 200 && !upload.idempotencyKey.empty()) {
                        accept.bind(1, upload.apiKey);
                        accept.bind(2, upload.idempotencyKey);
                        accept.bind(3, added.id);
                        accept.run();
                    }
                }
                release.run();
                outcomes[i].added = added;
            } catch (...) {
                outcomes[i] = failedOne<Outcome>(std::current_exception());
                writes->resetAll();
                // Some errors (a full disk, an I/O error) make SQLite roll back the whole
                // transaction: then the uploads before this one are gone too, and the rest
                // would run one by one outside any transaction. The batch fails as one.
                if (sqlite3_get_autocommit(db_) || sqlite3_exec(db_, "ROLLBACK TO one; RELEASE one", nullptr,
                                                                nullptr, nullptr) != SQLITE_OK) {
                    throw Unavailable(std::string("the database could not store the batch (") +
                                      sqlite3_errmsg(db_) + "); nothing of it was kept");
                }
            }
        }
        exec(db_, "COMMIT");
    } catch (...) {
        if (writes) {
            writes->resetAll();
        }
        if (!sqlite3_get_autocommit(db_)) {
            sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        }
        Outcome failure;
        failure.kind = Outcome::Kind::Unavailable;
        try {
            throw;
        } catch (const Unavailable& e) {
            failure.message = e.what();
        } catch (const std::exception& e) {
            // A commit that failed kept nothing; the client may well try again.
            failure.message = std::string(e.what()) + "; nothing of it was kept";
        } catch (...) {
            failure.message = "the database could not store the batch; nothing of it was kept";
        }
        // Each upload gets its own copy of the text: nothing the handlers read is shared.
        for (auto& pending : batch) {
            pending->done.set_value(failure);
        }
        return;
    }
    for (std::size_t i = 0; i < batch.size(); ++i) {
        batch[i]->done.set_value(std::move(outcomes[i]));
    }
}

long long SqliteStore::removeBatchBefore(const std::string& cutoff) {
    exec(db_, "BEGIN IMMEDIATE");
    try {
        Statement oldest(
            db_,
            "SELECT id, api_key, device, location_count, received_at, has_device_info FROM uploads"
            " ORDER BY id LIMIT ?");
        oldest.bind(1, static_cast<long long>(options_.retentionBatch));
        long long lastId = 0, removed = 0, locations = 0;
        struct Gone {
            long long uploads = 0, locations = 0, infos = 0;
        };
        std::map<std::pair<std::string, std::string>, Gone> perDevice;
        // Ids grow with the time of receipt, so the old uploads are a prefix.
        while (oldest.step() && oldest.text(4) < cutoff) {
            lastId = oldest.integer(0);
            auto& counts = perDevice[{oldest.text(1), oldest.text(2)}];
            counts.uploads += 1;
            counts.locations += oldest.integer(3);
            counts.infos += oldest.integer(5);
            locations += oldest.integer(3);
            ++removed;
        }
        if (removed > 0) {
            Statement gone(db_, "DELETE FROM uploads WHERE id <= ?");
            gone.bind(1, lastId);
            gone.run();
            Statement keys(db_, "DELETE FROM accepted_keys WHERE upload_id <= ?");
            keys.bind(1, lastId);
            keys.run();
            Statement lower(db_,
                            "UPDATE devices SET uploads = uploads - ?3, locations = locations - ?4,"
                            " device_infos = device_infos - ?5 WHERE api_key = ?1 AND device = ?2");
            Statement drop(db_, "DELETE FROM devices WHERE api_key = ? AND device = ? AND uploads <= 0");
            Statement keyLeft(db_, "SELECT 1 FROM devices WHERE api_key = ? LIMIT 1");
            long long devicesGone = 0, keysGone = 0;
            for (const auto& [device, counts] : perDevice) {
                lower.bind(1, device.first);
                lower.bind(2, device.second);
                lower.bind(3, counts.uploads);
                lower.bind(4, counts.locations);
                lower.bind(5, counts.infos);
                lower.run();
                drop.bind(1, device.first);
                drop.bind(2, device.second);
                drop.run();
                if (sqlite3_changes(db_) > 0) {
                    ++devicesGone;
                    keyLeft.bind(1, device.first);
                    if (!keyLeft.step()) {
                        ++keysGone;
                    }
                    keyLeft.reset();
                }
            }
            Statement totals(
                db_,
                "UPDATE totals SET uploads = uploads - ?, locations = locations - ?, devices = devices"
                " - ?, keys = keys - ?");
            totals.bind(1, removed);
            totals.bind(2, locations);
            totals.bind(3, devicesGone);
            totals.bind(4, keysGone);
            totals.run();
        }
        exec(db_, "COMMIT");
        return removed;
    } catch (...) {
        sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        throw;
    }
}

SqliteStore::ReaderLease SqliteStore::lease() const {
    checkFile();
    std::unique_lock<std::mutex> lock(readersMutex_);
    // A few readers at most: each listing is bounded, so a wait for one is short.
    constexpr int MAX_READERS = 8;
    if (!readerFree_.wait_for(lock, options_.timeout,
                              [&] { return !idleReaders_.empty() || openReaders_ < MAX_READERS; })) {
        throw Unavailable("no database reader came free in time");
    }
    if (!idleReaders_.empty()) {
        sqlite3* db = idleReaders_.back();
        idleReaders_.pop_back();
        return ReaderLease(this, db);
    }
    ++openReaders_;
    lock.unlock();
    try {
        sqlite3* db = openDatabase(path_, SQLITE_OPEN_READONLY, options_.timeout);
        return ReaderLease(this, db);
    } catch (...) {
        std::lock_guard<std::mutex> guard(readersMutex_);
        --openReaders_;
        readerFree_.notify_one();
        throw;
    }
}

std::vector<nlohmann::json> SqliteStore::listUploads(const std::string& apiKey, const std::string& device,
                                                     long long afterId, long long upToId, long long limit,
                                                     long long fixesPerDevice, Resume& resume) const {
    auto reader = lease();
    Statement select(
        reader.db,
        "SELECT u.id, u.received_at, u.api_key, u.device, u.status, u.content_type, u.user_agent,"
        " u.location_count, u.has_device_info, u.body, u.idempotency_key, u.replays,"
        " IFNULL(d.weight - u.cum_weight, 0) FROM uploads u LEFT JOIN devices d"
        " ON d.api_key = u.api_key AND d.device = u.device"
        " WHERE u.id > ?3 AND u.id <= ?5 AND (?1 = '' OR u.api_key = ?1)"
        " AND (?2 = '' OR u.device = ?2) ORDER BY u.id LIMIT ?4");
    select.bind(1, apiKey);
    select.bind(2, device);
    select.bind(3, afterId);
    select.bind(4, limit);
    select.bind(5, upToId);
    std::vector<nlohmann::json> out;
    long long looked = 0;
    resume = Resume{};
    while (select.step()) {
        ++looked;
        resume.afterId = select.integer(0);
        const long long newer = select.integer(12);
        if (newer >= fixesPerDevice) {
            continue;
        }
        auto body = nlohmann::json::parse(select.text(9), nullptr, false);
        const bool truncated = keepLatestFixes(body, fixesPerDevice - newer);
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
    resume.more = looked == limit;
    return out;
}

Resume SqliteStore::window(long long afterId, long long limit) const {
    auto reader = lease();
    Statement last(reader.db, "SELECT id FROM uploads WHERE id > ? ORDER BY id LIMIT 1 OFFSET ?");
    last.bind(1, afterId);
    last.bind(2, limit - 1);
    Resume out;
    if (!last.step()) {
        out.afterId = std::numeric_limits<long long>::max();
        return out;
    }
    out.afterId = last.integer(0);
    Statement next(reader.db, "SELECT 1 FROM uploads WHERE id > ? LIMIT 1");
    next.bind(1, out.afterId);
    out.more = next.step();
    return out;
}

std::vector<DeviceCounts> SqliteStore::listDevices(const std::string& afterKey,
                                                   const std::string& afterDevice, long long limit,
                                                   Resume& resume) const {
    auto reader = lease();
    Statement select(reader.db,
                     "SELECT api_key, device, uploads, locations, device_infos, last_received_at, weight"
                     " FROM devices WHERE (api_key, device) > (?1, ?2) ORDER BY api_key, device LIMIT ?3");
    select.bind(1, afterKey);
    select.bind(2, afterDevice);
    select.bind(3, limit);
    std::vector<DeviceCounts> out;
    while (select.step()) {
        out.push_back(deviceFrom(select));
    }
    resume = Resume{};
    resume.more = static_cast<long long>(out.size()) == limit;
    if (!out.empty()) {
        resume.afterKey = out.back().apiKey;
        resume.afterDevice = out.back().device;
    }
    return out;
}

void SqliteStore::deviceUploads(const DeviceCounts& device, long long fixesPerDevice,
                                const std::function<void(const std::string&, nlohmann::json&&)>& each) const {
    auto reader = lease();
    Statement select(reader.db,
                     "SELECT received_at, body, cum_weight FROM uploads WHERE api_key = ? AND device = ?"
                     " AND cum_weight > ? ORDER BY cum_weight");
    select.bind(1, device.apiKey);
    select.bind(2, device.device);
    select.bind(3, device.weight - fixesPerDevice);
    while (select.step()) {
        auto body = nlohmann::json::parse(select.text(1), nullptr, false);
        keepLatestFixes(body, fixesPerDevice - (device.weight - select.integer(2)));
        each(select.text(0), std::move(body));
    }
}

Totals SqliteStore::totals() const {
    auto reader = lease();
    Statement select(reader.db, "SELECT uploads, keys, devices, locations FROM totals");
    Totals out;
    if (select.step()) {
        out.uploads = select.integer(0);
        out.keys = select.integer(1);
        out.devices = select.integer(2);
        out.locations = select.integer(3);
    }
    return out;
}

std::unique_ptr<UploadStore> UploadStore::open(const std::string& location, Options options) {
    if (location.rfind("postgresql://", 0) == 0 || location.rfind("postgres://", 0) == 0) {
        return openPostgres(location, options);
    }
    struct stat info {};
    if (options.mustExist && ::stat(location.c_str(), &info) != 0) {
        throw std::runtime_error("cannot read the database " + location + ": " + std::strerror(errno));
    }
    return std::make_unique<SqliteStore>(location, options);
}

nlohmann::json summaryJson(const std::vector<DeviceCounts>& devices) {
    auto out = nlohmann::json::object();
    for (const auto& d : devices) {
        out[d.apiKey][d.device] = {{"uploads", d.uploads},
                                   {"locations", d.locations},
                                   {"device_infos", d.deviceInfos},
                                   {"last_received_at", d.lastReceivedAt}};
    }
    return out;
}

std::string formatSummary(const std::vector<DeviceCounts>& devices, bool header) {
    std::ostringstream out;
    char line[256];
    if (header) {
        std::snprintf(line, sizeof line, "%-24s %-38s %8s %10s %8s  %s\n", "API key", "Device", "Uploads",
                      "Locations", "Devices", "Last received");
        out << line;
    }
    for (const auto& d : devices) {
        std::snprintf(line, sizeof line, "%-24s %-38s %8lld %10lld %8lld  %s\n",
                      escapedForLog(d.apiKey).c_str(), escapedForLog(d.device).c_str(), d.uploads,
                      d.locations, d.deviceInfos, d.lastReceivedAt.c_str());
        out << line;
    }
    return out.str();
}

std::string dumpJson(const nlohmann::json& value) {
    return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace collector
