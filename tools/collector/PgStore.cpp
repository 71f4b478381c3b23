// The uploads kept in PostgreSQL, so that several collectors behind one load balancer
// share them and still keep each upload once.

#include "UploadStore.h"

#include <libpq-fe.h>

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

namespace collector {

namespace {

using Result = std::unique_ptr<PGresult, void (*)(PGresult*)>;
using Clock = std::chrono::steady_clock;

/// One connection as a caller holds it. `broken` once it can no longer be trusted to be
/// in step with the server (a timeout, a lost connection): it is then closed, not reused.
struct Conn {
    PGconn* db = nullptr;
    bool broken = false;
};

std::string ms(std::chrono::milliseconds value) {
    return std::to_string(value.count()) + " ms";
}

/// Waits until `fd` is ready for `events`; false once `deadline` has passed.
bool waitFor(int fd, short events, Clock::time_point deadline) {
    for (;;) {
        // Rounded up, so that a timeout means the deadline has passed.
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0 || fd < 0) {
            return false;
        }
        pollfd pfd{fd, events, 0};
        const int rc = ::poll(&pfd, 1, static_cast<int>(std::min<long long>(left, 1 << 30)));
        if (rc > 0) {
            return true;
        }
        if (rc < 0 && errno != EINTR) {
            return false;
        }
    }
}

/// Errors that say the server cannot serve now, not that the statement is wrong: a lost
/// connection, a shutdown or restart, a statement cancelled at its timeout, no resources,
/// a lock or serialisation conflict.
bool isTransient(const PGresult* result) {
    const char* state = result ? PQresultErrorField(result, PG_DIAG_SQLSTATE) : nullptr;
    if (!state) {
        return true;  // no answer from the server at all
    }
    const std::string code(state);
    return code.rfind("08", 0) == 0 || code.rfind("57", 0) == 0 || code.rfind("53", 0) == 0 ||
           code.rfind("40", 0) == 0 || code == "55P03";
}

/// Runs `sql` with text parameters, waiting for the server until `deadline`; throws
/// Unavailable when it cannot be had in time, std::runtime_error when it fails otherwise.
Result run(Conn& conn, const char* sql, const std::vector<std::string>& params, Clock::time_point deadline,
           std::chrono::milliseconds timeout) {
    PGconn* db = conn.db;
    auto lost = [&](const std::string& why) {
        conn.broken = true;
        return Unavailable("postgresql: " + why);
    };
    std::vector<const char*> values;
    values.reserve(params.size());
    for (const auto& p : params) {
        values.push_back(p.c_str());
    }
    // Without parameters the simple protocol runs, which takes several statements at once.
    const int sent = values.empty() ? PQsendQuery(db, sql)
                                    : PQsendQueryParams(db, sql, static_cast<int>(values.size()), nullptr,
                                                        values.data(), nullptr, nullptr, 0);
    if (!sent) {
        throw lost(PQerrorMessage(db));
    }
    for (int flushed; (flushed = PQflush(db)) != 0;) {
        if (flushed < 0 || !waitFor(PQsocket(db), POLLOUT | POLLIN, deadline) || !PQconsumeInput(db)) {
            throw lost(flushed < 0 ? PQerrorMessage(db) : "the server did not answer within " + ms(timeout));
        }
    }
    Result kept(nullptr, PQclear);
    bool failed = false;
    for (;;) {
        while (PQisBusy(db)) {
            if (!waitFor(PQsocket(db), POLLIN, deadline)) {
                throw lost("the server did not answer within " + ms(timeout));
            }
            if (!PQconsumeInput(db)) {
                throw lost(PQerrorMessage(db));
            }
        }
        PGresult* next = PQgetResult(db);
        if (!next) {
            break;
        }
        const auto status = PQresultStatus(next);
        if (failed) {
            PQclear(next);
        } else {
            kept.reset(next);
            failed = status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK;
        }
    }
    if (failed || !kept) {
        const std::string why = std::string("postgresql: ") + PQerrorMessage(db);
        if (PQstatus(db) != CONNECTION_OK) {
            conn.broken = true;
        }
        if (conn.broken || isTransient(kept.get())) {
            throw Unavailable(why);
        }
        throw std::runtime_error(why);
    }
    return kept;
}

std::string text(const Result& r, int row, int column) {
    return std::string(PQgetvalue(r.get(), row, column),
                       static_cast<std::size_t>(PQgetlength(r.get(), row, column)));
}

long long integer(const Result& r, int row, int column) {
    return std::stoll(PQgetvalue(r.get(), row, column));
}

std::string str(long long value) {
    return std::to_string(value);
}

// The totals are spread over a few rows, so that concurrent uploads do not all wait for
// one row's lock until their commits are flushed; a read adds them up.
constexpr int TOTAL_SHARDS = 16;

constexpr const char* SCHEMA =
    "SET client_min_messages = warning;"
    "CREATE TABLE IF NOT EXISTS uploads ("
    " id BIGINT GENERATED BY DEFAULT AS IDENTITY PRIMARY KEY,"
    " received_at TEXT NOT NULL,"
    " api_key TEXT COLLATE \"C\" NOT NULL,"
    " device TEXT COLLATE \"C\" NOT NULL,"
    " status INTEGER NOT NULL,"
    " content_type TEXT NOT NULL,"
    " user_agent TEXT NOT NULL,"
    " location_count INTEGER NOT NULL,"
    " has_device_info INTEGER NOT NULL,"
    " body TEXT NOT NULL,"
    " idempotency_key TEXT NOT NULL DEFAULT '',"
    " replays INTEGER NOT NULL DEFAULT 0,"
    " cum_weight BIGINT NOT NULL DEFAULT 0);"
    "CREATE INDEX IF NOT EXISTS uploads_by_device ON uploads (api_key, device, cum_weight);"
    "CREATE TABLE IF NOT EXISTS accepted_keys ("
    " api_key TEXT COLLATE \"C\" NOT NULL,"
    " idempotency_key TEXT COLLATE \"C\" NOT NULL,"
    " upload_id BIGINT NOT NULL,"
    " PRIMARY KEY (api_key, idempotency_key));"
    "CREATE INDEX IF NOT EXISTS accepted_by_upload ON accepted_keys (upload_id);"
    "CREATE TABLE IF NOT EXISTS devices ("
    " api_key TEXT COLLATE \"C\" NOT NULL,"
    " device TEXT COLLATE \"C\" NOT NULL,"
    " uploads BIGINT NOT NULL,"
    " locations BIGINT NOT NULL,"
    " device_infos BIGINT NOT NULL,"
    " last_received_at TEXT NOT NULL,"
    " weight BIGINT NOT NULL,"
    " PRIMARY KEY (api_key, device));"
    "CREATE TABLE IF NOT EXISTS api_keys (api_key TEXT COLLATE \"C\" PRIMARY KEY, devices BIGINT NOT NULL);"
    "CREATE TABLE IF NOT EXISTS totals (shard INTEGER PRIMARY KEY, uploads BIGINT NOT NULL,"
    " keys BIGINT NOT NULL, devices BIGINT NOT NULL, locations BIGINT NOT NULL);"
    "INSERT INTO totals SELECT s, 0, 0, 0, 0 FROM generate_series(0, 15) AS s ON CONFLICT DO NOTHING;";

class PgStore final : public UploadStore {
public:
    PgStore(const std::string& uri, Options options) : uri_(uri), options_(options) {
        // Opening gets twice the time of one call: a connection, then the schema.
        const auto deadline = Clock::now() + 2 * options_.timeout;
        Conn db{connect(deadline)};
        try {
            // Two collectors starting together would race to make the tables; the lock
            // ends with the transaction, or with the connection.
            exec(db, "BEGIN", {}, deadline);
            exec(db, "SELECT pg_advisory_xact_lock(2518)", {}, deadline);
            exec(db, SCHEMA, {}, deadline);
            exec(db, "COMMIT", {}, deadline);
        } catch (const std::exception& e) {
            PQfinish(db.db);
            throw std::runtime_error(std::string("cannot prepare the database: ") + e.what());
        }
        give(db.db);
        if (options_.retainFor) {
            sweeper_ = std::thread([this] { sweep(); });
        }
    }

    ~PgStore() override {
        {
            std::lock_guard<std::mutex> guard(mutex_);
            closing_ = true;
        }
        changed_.notify_all();
        if (sweeper_.joinable()) {
            sweeper_.join();
        }
        for (auto* db : idle_) {
            PQfinish(db);
        }
    }

    Result exec(Conn& conn, const char* sql, const std::vector<std::string>& params,
                Clock::time_point deadline) const {
        return run(conn, sql, params, deadline, options_.timeout);
    }

    Added add(const Upload& upload) override {
        const auto deadline = Clock::now() + options_.timeout;
        auto lease = take(deadline);
        Conn& db = *lease;
        const std::string& key = upload.apiKey;
        auto run = [&](const char* sql, const std::vector<std::string>& params = {}) {
            return exec(db, sql, params, deadline);
        };
        try {
            run("BEGIN");
            Added added;
            const bool accepting = upload.status == 200 && !upload.idempotencyKey.empty();
            if (!upload.idempotencyKey.empty()) {
                // The unique key decides between collectors: a second insert of the same key
                // waits for the first transaction and then finds the key taken.
                bool taken = true;
                if (accepting) {
                    taken =
                        PQntuples(run("INSERT INTO accepted_keys VALUES ($1, $2, 0) ON CONFLICT DO NOTHING"
                                      " RETURNING 1",
                                      {key, upload.idempotencyKey})
                                      .get()) == 0;
                }
                if (taken) {
                    auto found =
                        run("SELECT upload_id FROM accepted_keys WHERE api_key = $1 AND idempotency_key = $2",
                            {key, upload.idempotencyKey});
                    if (PQntuples(found.get()) > 0) {
                        added.id = integer(found, 0, 0);
                        added.replayed = true;
                        run("UPDATE uploads SET replays = replays + 1 WHERE id = $1", {str(added.id)});
                    }
                }
            }
            if (!added.replayed) {
                const long long locations = static_cast<long long>(upload.body.at("locations").size());
                const long long info = upload.body.at("devices_infos").empty() ? 0 : 1;
                const std::string now = isoUtc(std::chrono::system_clock::now());
                auto device =
                    run("INSERT INTO devices VALUES ($1, $2, 1, $3, $4, $5, $6) ON CONFLICT (api_key, device)"
                        " DO UPDATE SET uploads = devices.uploads + 1, locations = devices.locations + $3,"
                        " device_infos = devices.device_infos + $4, last_received_at = $5,"
                        " weight = devices.weight + $6 RETURNING weight, (xmax = 0)",
                        {key, upload.device, str(locations), str(info), now, str(std::max(locations, 1LL))});
                const long long weight = integer(device, 0, 0);
                const bool newDevice = text(device, 0, 1) == "t";
                bool newKey = false;
                if (newDevice) {
                    // A key that exists is left untouched: a counter on it would be one row
                    // that every new device of the key waits for.
                    newKey = PQntuples(
                                 run("INSERT INTO api_keys VALUES ($1, 0) ON CONFLICT DO NOTHING RETURNING 1",
                                     {key})
                                     .get()) > 0;
                }
                auto inserted = run(
                    "INSERT INTO uploads (received_at, api_key, device, status, content_type, user_agent,"
                    " location_count, has_device_info, body, idempotency_key, cum_weight)"
                    " VALUES ($1, $2, $3, $4, $5, $6, $7, $8, $9, $10, $11) RETURNING id",
                    {now, key, upload.device, str(upload.status), upload.contentType, upload.userAgent,
                     str(locations), str(info), dumpJson(upload.body), upload.idempotencyKey, str(weight)});
                added.id = integer(inserted, 0, 0);
                if (accepting) {
                    run("UPDATE accepted_keys SET upload_id = $3 WHERE api_key = $1 AND idempotency_key = $2",
                        {key, upload.idempotencyKey, str(added.id)});
                }
                const auto shard = std::hash<std::string>{}(upload.device) % TOTAL_SHARDS;
                run("UPDATE totals SET uploads = uploads + 1, locations = locations + $2, devices = devices "
                    "+ $3,"
                    " keys = keys + $4 WHERE shard = $1",
                    {str(static_cast<long long>(shard)), str(locations), newDevice ? "1" : "0",
                     newKey ? "1" : "0"});
            }
            // synchronous_commit stays on: the answer waits until the commit is flushed.
            try {
                run("COMMIT");
            } catch (const Unavailable& e) {
                if (db.broken) {
                    // The server may have committed before it went quiet.
                    throw Unavailable(std::string(e.what()) +
                                      "; the upload may have been kept: send it again with the same"
                                      " Idempotency-Key");
                }
                throw;
            }
            return added;
        } catch (...) {
            rollback(db);
            throw;
        }
    }

    std::vector<nlohmann::json> listUploads(const std::string& apiKey, const std::string& device,
                                            long long afterId, long long upToId, long long limit,
                                            long long fixesPerDevice, Resume& resume) const override {
        const auto deadline = Clock::now() + options_.timeout;
        auto lease = take(deadline);
        auto rows =
            exec(*lease,
                 "SELECT u.id, u.received_at, u.api_key, u.device, u.status, u.content_type, u.user_agent,"
                 " u.location_count, u.has_device_info, u.body, u.idempotency_key, u.replays,"
                 " COALESCE(d.weight - u.cum_weight, 0) FROM uploads u LEFT JOIN devices d"
                 " ON d.api_key = u.api_key AND d.device = u.device"
                 " WHERE u.id > $3 AND u.id <= $5 AND ($1 = '' OR u.api_key = $1)"
                 " AND ($2 = '' OR u.device = $2) ORDER BY u.id LIMIT $4",
                 {apiKey, device, str(afterId), str(limit), str(upToId)}, deadline);
        std::vector<nlohmann::json> out;
        resume = Resume{};
        const int count = PQntuples(rows.get());
        for (int i = 0; i < count; ++i) {
            resume.afterId = integer(rows, i, 0);
            const long long newer = integer(rows, i, 12);
            if (newer >= fixesPerDevice) {
                continue;
            }
            auto body = nlohmann::json::parse(text(rows, i, 9), nullptr, false);
            const bool truncated = keepLatestFixes(body, fixesPerDevice - newer);
            nlohmann::json row = {{"id", integer(rows, i, 0)},
                                  {"received_at", text(rows, i, 1)},
                                  {"api_key", text(rows, i, 2)},
                                  {"device", text(rows, i, 3)},
                                  {"status", integer(rows, i, 4)},
                                  {"content_type", text(rows, i, 5)},
                                  {"user_agent", text(rows, i, 6)},
                                  {"idempotency_key", text(rows, i, 10)},
                                  {"replays", integer(rows, i, 11)},
                                  {"location_count", integer(rows, i, 7)},
                                  {"has_device_info", integer(rows, i, 8) != 0},
                                  {"body", std::move(body)}};
            if (truncated) {
                row["truncated"] = true;
            }
            out.push_back(std::move(row));
        }
        resume.more = count == limit;
        return out;
    }

    /// Ids are handed out at INSERT and seen at COMMIT, so a committed upload may carry
    /// a lower id than one seen before it. A page therefore ends at the settled horizon:
    /// the last id handed out, once every transaction that was writing uploads then has
    /// ended. Every id up to it is committed or gone for good, and a later upload gets a
    /// higher one.
    long long settledHorizon(Conn& db, Clock::time_point deadline) const {
        auto last =
            exec(db, "SELECT pg_sequence_last_value(pg_get_serial_sequence('uploads', 'id')::regclass)", {},
                 deadline);
        const long long horizon = PQgetisnull(last.get(), 0, 0) ? 0 : integer(last, 0, 0);
        // An INSERT locks the table before it takes its id: those that hold an id up to
        // the horizon are among these.
        constexpr const char* WRITERS =
            "FROM pg_locks WHERE locktype = 'relation' AND relation = 'uploads'::regclass"
            " AND mode = 'RowExclusiveLock' AND pid <> pg_backend_pid()";
        auto writing = exec(
            db,
            (std::string("SELECT COALESCE(array_agg(virtualtransaction), '{}')::text ") + WRITERS).c_str(),
            {}, deadline);
        const std::string writers = text(writing, 0, 0);
        auto pause = std::chrono::milliseconds(1);
        while (writers != "{}") {
            auto still =
                exec(db,
                     (std::string("SELECT count(*) ") + WRITERS + " AND virtualtransaction = ANY($1::text[])")
                         .c_str(),
                     {writers}, deadline);
            if (integer(still, 0, 0) == 0) {
                break;
            }
            // Uploads end within their own timeout; this wait ends with ours.
            if (Clock::now() + pause >= deadline) {
                throw Unavailable("uploads still being written kept the listing waiting past " +
                                  ms(options_.timeout));
            }
            std::this_thread::sleep_for(pause);
            pause = std::min(pause * 2, std::chrono::milliseconds(50));
        }
        return horizon;
    }

    Resume window(long long afterId, long long limit) const override {
        const auto deadline = Clock::now() + options_.timeout;
        auto lease = take(deadline);
        const long long horizon = settledHorizon(*lease, deadline);
        auto last =
            exec(*lease, "SELECT id FROM uploads WHERE id > $1 AND id <= $3 ORDER BY id LIMIT 1 OFFSET $2",
                 {str(afterId), str(limit - 1), str(horizon)}, deadline);
        Resume out;
        if (PQntuples(last.get()) == 0) {
            out.afterId = horizon;
            return out;
        }
        out.afterId = integer(last, 0, 0);
        out.more = PQntuples(exec(*lease, "SELECT 1 FROM uploads WHERE id > $1 LIMIT 1", {str(out.afterId)},
                                  deadline)
                                 .get()) > 0;
        return out;
    }

    std::vector<DeviceCounts> listDevices(const std::string& afterKey, const std::string& afterDevice,
                                          long long limit, Resume& resume) const override {
        const auto deadline = Clock::now() + options_.timeout;
        auto lease = take(deadline);
        auto rows = exec(*lease,
                         "SELECT api_key, device, uploads, locations, device_infos, last_received_at, weight"
                         " FROM devices WHERE (api_key, device) > ($1, $2) ORDER BY api_key, device LIMIT $3",
                         {afterKey, afterDevice, str(limit)}, deadline);
        std::vector<DeviceCounts> out;
        for (int i = 0; i < PQntuples(rows.get()); ++i) {
            DeviceCounts d;
            d.apiKey = text(rows, i, 0);
            d.device = text(rows, i, 1);
            d.uploads = integer(rows, i, 2);
            d.locations = integer(rows, i, 3);
            d.deviceInfos = integer(rows, i, 4);
            d.lastReceivedAt = text(rows, i, 5);
            d.weight = integer(rows, i, 6);
            out.push_back(std::move(d));
        }
        resume = Resume{};
        resume.more = static_cast<long long>(out.size()) == limit;
        if (!out.empty()) {
            resume.afterKey = out.back().apiKey;
            resume.afterDevice = out.back().device;
        }
        return out;
    }

    void deviceUploads(const DeviceCounts& device, long long fixesPerDevice,
                       const std::function<void(const std::string&, nlohmann::json&&)>& each) const override {
        const auto deadline = Clock::now() + options_.timeout;
        auto lease = take(deadline);
        auto rows =
            exec(*lease,
                 "SELECT received_at, body, cum_weight FROM uploads WHERE api_key = $1 AND device = $2"
                 " AND cum_weight > $3 ORDER BY cum_weight",
                 {device.apiKey, device.device, str(device.weight - fixesPerDevice)}, deadline);
        for (int i = 0; i < PQntuples(rows.get()); ++i) {
            auto body = nlohmann::json::parse(text(rows, i, 1), nullptr, false);
            keepLatestFixes(body, fixesPerDevice - (device.weight - integer(rows, i, 2)));
            each(text(rows, i, 0), std::move(body));
        }
    }

    Totals totals() const override {
        const auto deadline = Clock::now() + options_.timeout;
        auto lease = take(deadline);
        auto row = exec(*lease,
                        "SELECT COALESCE(SUM(uploads), 0), COALESCE(SUM(keys), 0), COALESCE(SUM(devices), 0),"
                        " COALESCE(SUM(locations), 0) FROM totals",
                        {}, deadline);
        Totals out;
        out.uploads = integer(row, 0, 0);
        out.keys = integer(row, 0, 1);
        out.devices = integer(row, 0, 2);
        out.locations = integer(row, 0, 3);
        return out;
    }

private:
    struct Closer {
        const PgStore* store;
        void operator()(Conn* conn) const { store->release(conn); }
    };
    using Lease = std::unique_ptr<Conn, Closer>;

    /// A new connection, made without blocking so that a server that accepts and never
    /// answers costs at most the time left until `deadline`.
    PGconn* connect(Clock::time_point deadline) const {
        const char* keys[] = {"dbname", nullptr};
        const char* values[] = {uri_.c_str(), nullptr};
        PGconn* db = PQconnectStartParams(keys, values, 1);
        if (!db) {
            throw Unavailable("cannot connect to PostgreSQL: out of memory");
        }
        auto fail = [&](const std::string& why) {
            PQfinish(db);
            return Unavailable("cannot connect to PostgreSQL: " + why);
        };
        auto polled = PGRES_POLLING_WRITING;
        while (polled != PGRES_POLLING_OK) {
            if (polled == PGRES_POLLING_FAILED || PQstatus(db) == CONNECTION_BAD) {
                throw fail(PQerrorMessage(db));
            }
            if (!waitFor(PQsocket(db), polled == PGRES_POLLING_READING ? POLLIN : POLLOUT, deadline)) {
                throw fail("the server did not answer in time");
            }
            polled = PQconnectPoll(db);
        }
        Conn conn{db};
        try {
            PQsetnonblocking(db, 1);
            // The server ends what we leave behind: a statement past our wait, and a
            // transaction whose collector stopped in the middle of it.
            const auto limit = std::to_string(options_.timeout.count());
            exec(conn,
                 ("SET statement_timeout = " + limit + "; SET idle_in_transaction_session_timeout = " +
                  std::to_string(2 * options_.timeout.count()))
                     .c_str(),
                 {}, deadline);
        } catch (...) {
            PQfinish(db);
            throw;
        }
        return db;
    }

    void give(PGconn* db) {
        std::lock_guard<std::mutex> guard(poolMutex_);
        idle_.push_back(db);
        ++open_;
    }

    /// A connection for one caller. At most MAX_CONNECTIONS are open; a caller waits for
    /// one to come free until `deadline`.
    Lease take(Clock::time_point deadline) const {
        constexpr int MAX_CONNECTIONS = 32;
        std::unique_lock<std::mutex> lock(poolMutex_);
        for (;;) {
            if (!poolFree_.wait_until(lock, deadline,
                                      [&] { return !idle_.empty() || open_ < MAX_CONNECTIONS; })) {
                throw Unavailable("no PostgreSQL connection came free within " + ms(options_.timeout));
            }
            if (idle_.empty()) {
                break;
            }
            PGconn* db = idle_.back();
            idle_.pop_back();
            // An idle connection has nothing to say: if it is readable, the server ended it
            // (a restart) or broke it, and it is dropped before it fails an upload.
            pollfd pfd{PQsocket(db), POLLIN, 0};
            if (pfd.fd >= 0 && ::poll(&pfd, 1, 0) == 0) {
                return Lease(new Conn{db}, Closer{this});
            }
            PQfinish(db);
            --open_;
        }
        ++open_;
        lock.unlock();
        try {
            return Lease(new Conn{connect(deadline)}, Closer{this});
        } catch (...) {
            std::lock_guard<std::mutex> guard(poolMutex_);
            --open_;
            poolFree_.notify_one();
            throw;
        }
    }

    void release(Conn* conn) const {
        {
            std::lock_guard<std::mutex> guard(poolMutex_);
            // A connection that broke is dropped; the next caller opens a new one.
            if (!conn->broken && PQstatus(conn->db) == CONNECTION_OK &&
                PQtransactionStatus(conn->db) == PQTRANS_IDLE) {
                idle_.push_back(conn->db);
            } else {
                PQfinish(conn->db);
                --open_;
            }
        }
        delete conn;
        poolFree_.notify_one();
    }

    /// Ends the transaction that failed, when the connection still can; else it is dropped.
    void rollback(Conn& db) const {
        if (db.broken) {
            return;
        }
        try {
            exec(db, "ROLLBACK", {}, Clock::now() + options_.timeout);
        } catch (const std::exception&) {
            db.broken = true;
        }
    }

    /// Removes one batch of uploads received before `cutoff`; how many went.
    long long removeBatchBefore(const std::string& cutoff) {
        const auto deadline = Clock::now() + options_.timeout;
        auto lease = take(deadline);
        Conn& db = *lease;
        auto run = [&](const char* sql, const std::vector<std::string>& params = {}) {
            return exec(db, sql, params, deadline);
        };
        try {
            run("BEGIN");
            // The DELETE's own rows are counted, so that two collectors sweeping at once
            // never take the same upload off the counters twice.
            auto gone =
                run("DELETE FROM uploads WHERE id IN (SELECT id FROM uploads WHERE received_at < $1"
                    " ORDER BY id LIMIT $2) RETURNING id, api_key, device, location_count, has_device_info",
                    {cutoff, str(options_.retentionBatch)});
            const int removed = PQntuples(gone.get());
            struct Counts {
                long long uploads = 0, locations = 0, infos = 0;
            };
            std::map<std::pair<std::string, std::string>, Counts> perDevice;
            long long locations = 0, devicesGone = 0, keysGone = 0, lastId = 0;
            for (int i = 0; i < removed; ++i) {
                auto& c = perDevice[{text(gone, i, 1), text(gone, i, 2)}];
                ++c.uploads;
                c.locations += integer(gone, i, 3);
                c.infos += integer(gone, i, 4);
                locations += integer(gone, i, 3);
                lastId = std::max(lastId, integer(gone, i, 0));
            }
            if (removed > 0) {
                run("DELETE FROM accepted_keys WHERE upload_id BETWEEN 1 AND $1", {str(lastId)});
            }
            for (const auto& [device, c] : perDevice) {
                auto left = run(
                    "UPDATE devices SET uploads = uploads - $3, locations = locations - $4,"
                    " device_infos = device_infos - $5 WHERE api_key = $1 AND device = $2 RETURNING uploads",
                    {device.first, device.second, str(c.uploads), str(c.locations), str(c.infos)});
                if (PQntuples(left.get()) > 0 && integer(left, 0, 0) <= 0) {
                    run("DELETE FROM devices WHERE api_key = $1 AND device = $2",
                        {device.first, device.second});
                    ++devicesGone;
                    auto keyLeft = run("SELECT 1 FROM devices WHERE api_key = $1 LIMIT 1", {device.first});
                    if (PQntuples(keyLeft.get()) == 0 &&
                        PQntuples(run("DELETE FROM api_keys WHERE api_key = $1 RETURNING 1", {device.first})
                                      .get()) > 0) {
                        ++keysGone;
                    }
                }
            }
            if (removed > 0) {
                run("UPDATE totals SET uploads = uploads - $1, locations = locations - $2, devices = devices "
                    "- $3,"
                    " keys = keys - $4 WHERE shard = 0",
                    {str(removed), str(locations), str(devicesGone), str(keysGone)});
            }
            run("COMMIT");
            return removed;
        } catch (...) {
            rollback(db);
            throw;
        }
    }

    void sweep() {
        using Clock = std::chrono::steady_clock;
        const auto every = std::chrono::duration_cast<Clock::duration>(
            std::min(*options_.retainFor / 10, std::chrono::duration<double>(60)));
        std::unique_lock<std::mutex> lock(mutex_);
        while (!closing_) {
            lock.unlock();
            long long removed = 0;
            try {
                const auto cutoff =
                    std::chrono::system_clock::now() -
                    std::chrono::duration_cast<std::chrono::system_clock::duration>(*options_.retainFor);
                removed = removeBatchBefore(isoUtc(cutoff));
            } catch (const std::exception& e) {
                std::fprintf(stderr, "lumvex-collector: retention: %s\n", e.what());
            }
            lock.lock();
            if (removed < options_.retentionBatch) {
                changed_.wait_for(lock, every, [&] { return closing_; });
            }
        }
    }

    const std::string uri_;
    const Options options_;

    mutable std::mutex poolMutex_;
    mutable std::condition_variable poolFree_;
    mutable std::vector<PGconn*> idle_;  // guarded by poolMutex_
    mutable int open_ = 0;               // guarded by poolMutex_

    std::mutex mutex_;
    std::condition_variable changed_;
    bool closing_ = false;  // guarded by mutex_
    std::thread sweeper_;
};

}  // namespace

std::unique_ptr<UploadStore> openPostgres(const std::string& uri, UploadStore::Options options) {
    return std::make_unique<PgStore>(uri, options);
}

}  // namespace collector
