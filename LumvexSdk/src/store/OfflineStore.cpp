#include "store/OfflineStore.h"

#include "platform/base/Clock.h"
#include "platform/base/L.h"
#include "platform/base/Text.h"
#include "platform/system/CachesDirectory.h"
#include "platform/system/FileLock.h"
#include "platform/system/Files.h"
#include "platform/system/TimeZone.h"
#include "store/LineReader.h"
#include "store/TraceCodec.h"
#include "store/TraceRepository.h"

#include <nlohmann/json.hpp>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <ctime>
#include <functional>

namespace lumvex {

namespace {

constexpr const char* ACTIVE = "active.seg";
constexpr const char* HEAD = "head";
constexpr const char* LOCK = "lock";
constexpr const char* SEGMENT_SUFFIX = ".seg";
constexpr std::size_t SEQUENCE_DIGITS = 20;
// The age bound is counted in days: applying it more often than this only costs reads.
constexpr std::chrono::hours AGE_CHECK_INTERVAL{1};

struct StoredLine {
    std::uint64_t sequence = 0;
    std::int64_t ms = 0;
    std::string_view trace;  // "<ms>;<lat>;<lng>"
};

template <typename Number>
std::optional<Number> parseNumber(std::string_view text) {
    Number value{};
    const auto end = text.data() + text.size();
    const auto parsed = std::from_chars(text.data(), end, value);
    if (text.empty() || parsed.ec != std::errc() || parsed.ptr != end) {
        return std::nullopt;
    }
    return value;
}

// A line counts only whole: an append cut short by a crash never reached its "#".
std::optional<StoredLine> parseLine(std::string_view line) {
    if (line.size() < 2 || line.substr(line.size() - 2) != "#\n") {
        return std::nullopt;
    }
    line.remove_suffix(2);
    const auto separator = line.find(';');
    if (separator == std::string_view::npos) {
        return std::nullopt;
    }
    StoredLine stored;
    const auto sequence = parseNumber<std::uint64_t>(line.substr(0, separator));
    stored.trace = line.substr(separator + 1);
    const auto msEnd = stored.trace.find(';');
    const auto ms = parseNumber<std::int64_t>(stored.trace.substr(0, msEnd));
    if (!sequence || *sequence == 0 || !ms || msEnd == std::string_view::npos) {
        return std::nullopt;
    }
    stored.sequence = *sequence;
    stored.ms = *ms;
    return stored;
}

// The last whole line's sequence number in `text`.
std::optional<std::uint64_t> lastSequenceIn(std::string_view text) {
    while (!text.empty()) {
        // The last line starts after the line feed before its own.
        const auto end = text.size();
        const auto previous = end >= 2 ? text.rfind('\n', end - 2) : std::string_view::npos;
        const auto from = previous == std::string_view::npos ? 0 : previous + 1;
        if (const auto stored = parseLine(text.substr(from))) {
            return stored->sequence;
        }
        text = text.substr(0, from);
    }
    return std::nullopt;
}

// The last whole line's sequence number in the segment `file` at `path`: only its tail is
// read, unless that holds no whole line or is the whole file.
std::optional<std::uint64_t> lastSequenceIn(const platform::LineFile& file, const std::string& path) {
    constexpr std::uint64_t TAIL = 512;
    if (static_cast<std::uint64_t>(file.opened().size) > TAIL) {
        // The tail's first line may be cut: it is left out.
        if (const auto tail = file.lastLines(TAIL)) {
            if (const auto last = lastSequenceIn(*tail)) {
                return last;
            }
        }
    }
    const auto whole =
        platform::readFileBounded(path, 2 * OfflineStore::SEGMENT_BYTES, platform::Links::dontFollow);
    return whole ? lastSequenceIn(*whole) : std::nullopt;
}

std::optional<std::uint64_t> lastSequenceOf(const std::string& path) {
    const auto file = platform::LineFile::open(path, O_RDONLY);
    return file ? lastSequenceIn(*file, path) : std::nullopt;
}

std::optional<std::uint64_t> firstSequenceOf(const std::string& path) {
    const auto reader = LineReader::open(path);
    if (!reader) {
        return std::nullopt;
    }
    while (const auto line = reader->nextLine()) {
        if (const auto stored = parseLine(*line)) {
            return stored->sequence;
        }
    }
    return std::nullopt;
}

std::string sealedName(std::uint64_t first) {
    char name[SEQUENCE_DIGITS + 8];
    std::snprintf(name, sizeof name, "%020llu%s", static_cast<unsigned long long>(first), SEGMENT_SUFFIX);
    return name;
}

std::string days(std::chrono::milliseconds age) {
    return std::to_string(std::chrono::duration_cast<std::chrono::hours>(age).count() / 24);
}

}  // namespace

OfflineStore& OfflineStore::shared() {
    // A fix may still arrive from another thread while the process exits.
    static platform::NoDestructor<OfflineStore> instance;
    return *instance;
}

std::string OfflineStore::activePath(const std::string& directory) {
    return directory + "/" + ACTIVE;
}

std::vector<OfflineStore::Segment> OfflineStore::segments(const std::string& directory) {
    std::vector<Segment> found;
    bool active = false;
    if (DIR* dir = ::opendir(directory.c_str())) {
        while (const dirent* entry = ::readdir(dir)) {
            const std::string_view name(entry->d_name);
            if (name == ACTIVE) {
                active = true;
            } else if (name.size() == SEQUENCE_DIGITS + 4 && name.substr(SEQUENCE_DIGITS) == SEGMENT_SUFFIX) {
                if (const auto first = parseNumber<std::uint64_t>(name.substr(0, SEQUENCE_DIGITS))) {
                    found.push_back({directory + "/" + std::string(name), *first});
                }
            }
        }
        ::closedir(dir);
    }
    std::sort(found.begin(), found.end(),
              [](const Segment& a, const Segment& b) { return a.first < b.first; });
    if (active) {
        found.push_back({activePath(directory), 0});
    }
    return found;
}

OfflineStore::Head OfflineStore::readHead(const std::string& directory) {
    Head head;
    const auto text = platform::readFileBounded(directory + "/" + HEAD, 256, platform::Links::dontFollow);
    if (!text) {
        return head;
    }
    unsigned long long next = 0;
    unsigned long long dropped = 0;
    long long since = 0;
    if (std::sscanf(text->c_str(), "%llu %llu %lld", &next, &dropped, &since) == 3 && next > 0) {
        head = {next, dropped, since};
    }
    return head;
}

bool OfflineStore::writeHead(const std::string& directory, const Head& head) {
    const auto text = std::to_string(head.next) + " " + std::to_string(head.dropped) + " " +
                      std::to_string(head.droppedSinceMs) + "\n";
    if (!platform::writeFileAtomically(directory + "/" + HEAD, text)) {
        LUMVEX_LOG_ERROR("OfflineStore", "Error while writing the offline store's head");
        return false;
    }
    return true;
}

namespace {

// Holds both locks' worth of context for one operation: the folder, made when missing
// and `create` is set, and the lock between processes.
struct Opened {
    std::string directory;
    std::optional<platform::FileLock> lock;
};

std::optional<Opened> openStore(bool create) {
    const auto caches = platform::cachesDirectory();
    if (!caches) {
        return std::nullopt;
    }
    Opened opened{*caches + "/" + OfflineStore::DIRECTORY, std::nullopt};
    // A body looks for the folder at every upload, and mostly finds none.
    const auto there = create ? platform::fileIdentity(opened.directory, platform::Links::dontFollow)
                              : platform::fileIdentityOnce(opened.directory, platform::Links::dontFollow,
                                                           platform::Changes::entriesOnly);
    if (!there) {
        if (!create || (::mkdir(opened.directory.c_str(), 0700) != 0 && errno != EEXIST)) {
            return std::nullopt;
        }
        // The folder's entry reaches stable storage with the first fix, not at some later
        // writeback: a power cut must not take the folder and the fixes in it back.
        const int parent = ::open(caches->c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (parent >= 0) {
            ::fsync(parent);
            ::close(parent);
        }
    } else if (!S_ISDIR(there->mode)) {
        return std::nullopt;
    }
    opened.lock = platform::FileLock::lock(opened.directory + "/" + LOCK);
    if (!opened.lock) {
        return std::nullopt;
    }
    return opened;
}

// Calls `visit` on each whole line from sequence number `from` on, oldest first, until it
// returns false. Reads one line at a time, starting in the segment that holds `from`.
void forEachFrom(const std::vector<OfflineStore::Segment>& all, std::uint64_t from,
                 const std::function<bool(const StoredLine&)>& visit) {
    std::size_t start = 0;
    for (std::size_t i = 0; i < all.size(); ++i) {
        if (all[i].first != 0 && all[i].first <= from) {
            start = i;
        }
    }
    for (std::size_t i = start; i < all.size(); ++i) {
        const auto reader = LineReader::open(all[i].path);
        if (!reader) {
            continue;
        }
        while (const auto line = reader->nextLine()) {
            const auto stored = parseLine(*line);
            if (stored && stored->sequence >= from && !visit(*stored)) {
                return;
            }
        }
    }
}

}  // namespace

void OfflineStore::leaveOutMovedAlready(const std::string& directory, std::vector<std::string>& texts) {
    // A move cut short between the store taking the fixes and the trace file letting them
    // go left the first of them here as the newest fixes: moving those again would send
    // them twice. Nothing is stored between a move and the trace file's clearing, so they
    // are exactly the store's last lines when they are here at all.
    const auto last = lastSequence(directory);
    if (texts.empty() || last == 0) {
        return;
    }
    const auto from = last > texts.size() ? last - texts.size() + 1 : 1;
    std::vector<std::string> newest;
    forEachFrom(segments(directory), from, [&newest](const StoredLine& stored) {
        newest.emplace_back(stored.trace);
        return true;
    });
    for (auto moved = std::min(newest.size(), texts.size()); moved > 0; --moved) {
        if (std::equal(texts.begin(), texts.begin() + static_cast<std::ptrdiff_t>(moved),
                       newest.end() - static_cast<std::ptrdiff_t>(moved))) {
            texts.erase(texts.begin(), texts.begin() + static_cast<std::ptrdiff_t>(moved));
            return;
        }
    }
}

void OfflineStore::configure(std::optional<Capacity> capacity, std::size_t batchSize,
                             TraceRepository& traces) {
    platform::MutexLock guard(mutex_);
    capacity_ = capacity;
    batchSize_ = std::clamp<std::size_t>(batchSize, 1, MAX_BATCH_SIZE);
    ageCheckedAt_.reset();
    if (!capacity_) {
        return;
    }
    auto opened = openStore(true);
    if (!opened) {
        LUMVEX_LOG_ERROR("OfflineStore", "The offline store cannot be opened; fixes go to the trace file");
        return;
    }
    // What the trace file held goes first, so that the backlog stays in the order taken.
    const auto snapshot = traces.getTracesAsDict();
    std::vector<std::string> texts;
    for (const auto& line : snapshot.lines) {
        auto text = platform::base64Decode(platform::trimWhiteSpace(line));
        if (text && TraceCodec::parseTrace(*text)) {
            texts.push_back(std::move(*text));
        }
    }
    leaveOutMovedAlready(opened->directory, texts);
    // Only once they are stored here may the trace file let them go.
    if (!texts.empty() && !append(opened->directory, texts)) {
        return;
    }
    const auto moved = texts.size();
    if (!snapshot.lines.empty() && traces.clearTraces(snapshot.lines)) {
        LUMVEX_LOG("OfflineStore",
                   std::to_string(moved) + " fixes moved from the trace file to the offline store");
    }
}

bool OfflineStore::add(const Location& location, std::uint64_t atMs) {
    platform::MutexLock guard(mutex_);
    if (!capacity_) {
        return false;
    }
    auto opened = openStore(true);
    if (!opened) {
        LUMVEX_LOG_ERROR("addTrace(_:)",
                         "The offline store cannot be opened; the fix goes to the trace file");
        return false;
    }
    return append(opened->directory, {TraceCodec::formatTrace(location, atMs)});
}

std::uint64_t OfflineStore::lastSequence(const std::string& directory) {
    const auto all = segments(directory);
    for (auto it = all.rbegin(); it != all.rend(); ++it) {
        if (const auto last = lastSequenceOf(it->path)) {
            return *last;
        }
    }
    return readHead(directory).next - 1;
}

bool OfflineStore::append(const std::string& directory, const std::vector<std::string>& traces) {
    const auto active = activePath(directory);
    std::uint64_t sequence = 0;
    for (std::size_t done = 0; done < traces.size();) {
        auto file = platform::LineFile::open(active, O_RDWR | O_APPEND);
        if (!file && errno != ENOENT) {
            LUMVEX_LOG_ERROR("addTrace(_:)", "Error while opening the offline store's segment");
            return false;
        }
        std::optional<std::uint64_t> last = file ? lastSequenceIn(*file, active) : std::nullopt;
        if (!last) {
            // A new or empty segment: the sequence goes on from the sealed ones, or the head.
            last = lastSequence(directory);
        }
        sequence = std::max(*last, readHead(directory).next - 1);
        std::uint64_t size = file ? static_cast<std::uint64_t>(file->opened().size) : 0;
        if (size >= SEGMENT_BYTES) {
            // Sealed under its first number; a crash right after leaves no active segment,
            // which the next append begins afresh.
            const auto first = firstSequenceOf(active).value_or(*last);
            file.reset();
            size = 0;
            if (::rename(active.c_str(), (directory + "/" + sealedName(first)).c_str()) != 0) {
                LUMVEX_LOG_ERROR("addTrace(_:)", "Error while sealing the offline store's segment");
                return false;
            }
        }
        // As many lines as the segment takes, in one write and one flush to disk.
        std::string lines;
        std::size_t taken = done;
        do {
            lines += std::to_string(++sequence) + ";" + traces[taken++] + "#\n";
        } while (taken < traces.size() && size + lines.size() < SEGMENT_BYTES);
        const bool written = file ? file->appendLine(lines, platform::LineFile::Ending::unknown) !=
                                        platform::LineFile::Append::failed
                                  : platform::writeFileAtomically(active, lines);
        if (!written) {
            LUMVEX_LOG_ERROR("addTrace(_:)", "Error while writing the offline store");
            return false;
        }
        done = taken;
    }
    if (sequence != 0) {
        applyCountBound(directory, sequence);
    }
    return true;
}

bool OfflineStore::importTraces(const std::vector<std::string>& traces) {
    platform::MutexLock guard(mutex_);
    auto opened = openStore(true);
    return opened && append(opened->directory, traces);
}

void OfflineStore::applyCountBound(const std::string& directory, std::uint64_t last) {
    if (!capacity_) {
        return;
    }
    const auto head = readHead(directory);
    const std::uint64_t stored = last + 1 > head.next ? last + 1 - head.next : 0;
    const std::uint64_t bound = capacity_->maxFixes;
    if (stored <= bound) {
        return;
    }
    // A hundredth more than needed goes at once, so that the head is rewritten once per
    // that many fixes at the bound rather than with every fix.
    const std::uint64_t keep = bound - bound / 100;
    advance(directory, head, last + 1 - keep, "over the bound of " + std::to_string(bound) + " fixes");
}

void OfflineStore::applyAgeBound(const std::string& directory) {
    if (!capacity_) {
        return;
    }
    const auto now = platform::clock()->now();
    if (ageCheckedAt_ && now - *ageCheckedAt_ < AGE_CHECK_INTERVAL) {
        return;
    }
    ageCheckedAt_ = now;
    const auto cutoff = platform::clock()->wallNowMilliseconds() - capacity_->maxAge.count();
    const auto head = readHead(directory);
    std::uint64_t next = head.next;
    forEachFrom(segments(directory), head.next, [&](const StoredLine& line) {
        if (line.ms >= cutoff) {
            return false;
        }
        next = line.sequence + 1;
        return true;
    });
    if (next > head.next) {
        advance(directory, head, next, "older than " + days(capacity_->maxAge) + " days");
    }
}

bool OfflineStore::advance(const std::string& directory, Head head, std::uint64_t next,
                           const std::string& why) {
    const std::uint64_t dropped = next - head.next;
    head.dropped += dropped;
    if (head.droppedSinceMs == 0) {
        head.droppedSinceMs = platform::clock()->wallNowMilliseconds();
    }
    head.next = next;
    if (!writeHead(directory, head)) {
        return false;
    }
    LUMVEX_LOG_AT(LEVEL_WARNING, "OfflineStore",
                  "Offline store: " + std::to_string(dropped) + " oldest fixes dropped, " + why);
    removeBehind(directory, next);
    return true;
}

void OfflineStore::removeBehind(const std::string& directory, std::uint64_t next) {
    for (const auto& segment : segments(directory)) {
        const bool active = segment.first == 0;
        // The active segment stays while fixes are taken: it carries the sequence on.
        if (active && capacity_) {
            return;
        }
        const auto last = lastSequenceOf(segment.path);
        if (last && *last >= next) {
            return;
        }
        ::unlink(segment.path.c_str());
    }
}

std::optional<OfflineBatch> OfflineStore::nextBatch() {
    platform::MutexLock guard(mutex_);
    // Never made: nothing to read, and nothing made for it.
    auto opened = openStore(false);
    if (!opened) {
        return std::nullopt;
    }
    const auto& directory = opened->directory;
    applyAgeBound(directory);
    const auto batchSize = batchSize_;
    // The zone is loaded once for the batch; its records are rendered in it.
    platform::TimeZone::loadCurrent();
    for (;;) {
        auto head = readHead(directory);
        OfflineBatch batch;
        auto records = nlohmann::json::array();
        forEachFrom(segments(directory), head.next, [&](const StoredLine& line) {
            if (batch.range.first == 0) {
                batch.range.first = line.sequence;
            }
            batch.range.last = line.sequence;
            // An unreadable fix goes with its batch rather than alone (logged).
            if (auto record = TraceCodec::parseTrace(std::string(line.trace))) {
                records.push_back(std::move(*record));
            }
            return batch.range.last - batch.range.first + 1 < batchSize;
        });
        if (batch.range.first == 0) {
            removeBehind(directory, head.next);
            return std::nullopt;
        }
        if (!records.empty()) {
            batch.recordCount = records.size();
            batch.recordsText = records.dump();
            return batch;
        }
        // Nothing in it to send: it would never be delivered, and so stop the backlog
        // behind it for good.
        head.next = batch.range.last + 1;
        if (!writeHead(directory, head)) {
            return std::nullopt;
        }
    }
}

bool OfflineStore::remove(const OfflineRange& range) {
    platform::MutexLock guard(mutex_);
    auto opened = openStore(false);
    if (!opened) {
        LUMVEX_LOG_ERROR("OfflineStore", "The offline store cannot be opened to remove a delivered batch");
        return false;
    }
    auto head = readHead(opened->directory);
    if (range.last >= head.next) {
        head.next = range.last + 1;
        if (!writeHead(opened->directory, head)) {
            return false;
        }
    }
    removeBehind(opened->directory, head.next);
    return true;
}

DroppedFixes OfflineStore::dropped() {
    platform::MutexLock guard(mutex_);
    auto opened = openStore(false);
    if (!opened) {
        return {};
    }
    const auto head = readHead(opened->directory);
    return {head.dropped, head.droppedSinceMs};
}

std::uint64_t OfflineStore::count() {
    platform::MutexLock guard(mutex_);
    auto opened = openStore(false);
    if (!opened) {
        return 0;
    }
    const auto last = lastSequence(opened->directory);
    const auto next = readHead(opened->directory).next;
    return last + 1 > next ? last + 1 - next : 0;
}

}  // namespace lumvex
