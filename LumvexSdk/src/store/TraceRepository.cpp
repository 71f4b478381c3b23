#include "store/TraceRepository.h"

#include "platform/base/Clock.h"
#include "platform/base/L.h"
#include "platform/base/NoDestructor.h"
#include "platform/base/Text.h"
#include "platform/system/CachesDirectory.h"
#include "platform/system/Files.h"
#include "platform/system/TimeZone.h"
#include "store/LineReader.h"
#include "store/OfflineStore.h"

#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <sys/stat.h>
#include <algorithm>
#include <cerrno>
#include <string_view>

namespace lumvex {

namespace {

// A line as it is compared when removing sent lines: a torn last line that was sent
// without its line feed has one by the time the upload ends, once a later append ran.
std::string_view withoutLineFeed(std::string_view line) {
    if (!line.empty() && line.back() == '\n') {
        line.remove_suffix(1);
    }
    return line;
}

// Since the upload read the file, trims can only have dropped lines from its front and
// appends added lines at its end, so the file now starts with the part of `sentLines` that
// is left. The length of the longest such part.
template <typename Line>
std::size_t sentPrefixLength(const std::vector<Line>& lines, const std::vector<std::string>& sentLines) {
    const std::size_t sent = sentLines.size();
    for (std::size_t skipped = 0; skipped < sent; ++skipped) {
        const std::size_t count = sent - skipped;
        if (count > lines.size()) {
            continue;
        }
        bool match = true;
        for (std::size_t i = 0; i < count && match; ++i) {
            match = withoutLineFeed(lines[i].line) == withoutLineFeed(sentLines[skipped + i]);
        }
        if (match) {
            return count;
        }
    }
    return 0;
}

}  // namespace

TraceRepository& TraceRepository::shared() {
    // A fix may still arrive from another thread while the process exits.
    static platform::NoDestructor<TraceRepository> instance;
    return *instance;
}

void TraceRepository::addTrace(const Location& location, Arrival arrival) {
    // A host that keeps days of fixes has them kept in the offline store instead.
    if (OfflineStore::shared().add(location, TraceCodec::currentTimeMs())) {
        if (arrival == Arrival::announced) {
            withdraw();
        }
        return;
    }
    platform::MutexLock lock(mutex_);
    // Destroyed before the lock is let go.
    struct Arrived {
        TraceRepository* store;
        ~Arrived() {
            if (store) {
                store->withdraw();
            }
        }
    } arrived{arrival == Arrival::announced ? this : nullptr};
    // Stamped when handed over, whenever it is written.
    auto line = platform::base64Encode(TraceCodec::formatTrace(location, TraceCodec::currentTimeMs()));
    StoreLock between(*this, StoreLock::Use::changing);
    // Without a caches directory there is nowhere to keep it later either.
    if (!between.held() && directory_) {
        hold(std::move(line));
        return;
    }
    appendToFile(std::move(line));
}

void TraceRepository::hold(std::string line) {
    if (held_.size() >= MAX_HELD_FIXES) {
        held_.erase(held_.begin());
        LUMVEX_LOG_ERROR("addTrace(_:)", "The oldest fix waiting for the trace file's lock is dropped");
    }
    held_.push_back(std::move(line));
}

std::shared_ptr<std::atomic<std::uint64_t>> TraceRepository::announcements() {
    platform::MutexLock lock(mutex_);
    auto* count = senders_.emplace_back(std::make_unique<std::atomic<std::uint64_t>>(0)).get();
    // When the sender lets go, after its last count, the store keeps that count as a number.
    return {count, [this](std::atomic<std::uint64_t>* gone) {
                platform::MutexLock lock(mutex_);
                announcedByGone_ += gone->load();
                senders_.erase(std::find_if(senders_.begin(), senders_.end(),
                                            [gone](const auto& sender) { return sender.get() == gone; }));
            }};
}

std::size_t TraceRepository::storeHeldFixes() {
    platform::MutexLock lock(mutex_);
    if (!held_.empty()) {
        StoreLock between(*this, StoreLock::Use::changing);
    }
    // Withdrawn first: a fix seen withdrawn is then seen announced too.
    const auto withdrawn = withdrawn_.load();
    auto announced = announcedByGone_;
    for (const auto& sender : senders_) {
        announced += sender->load();
    }
    return held_.size() + static_cast<std::size_t>(announced - withdrawn);
}

TraceSnapshot TraceRepository::getTracesAsDict() {
    platform::MutexLock lock(mutex_);
    if (mirrorStillCurrent()) {
        renderMirror();
        return snapshotOfMirror();
    }
    StoreLock between(*this, StoreLock::Use::reading);
    const auto path = getTracesFileUrl();
    if (!path || !loadMirror(*path, platform::fileIdentity(*path, platform::Links::dontFollow))) {
        return {};
    }
    renderMirror();
    auto snapshot = snapshotOfMirror();
    if (!mirrorValid_) {
        mirror_.clear();
    }
    return snapshot;
}

bool TraceRepository::mirrorStillCurrent() {
    // Fixes held for want of the lock are written by the next holder: this read takes it.
    if (!mirrorValid_ || !mirrorChanges_ || !held_.empty()) {
        return false;
    }
    const auto directory = platform::cachesDirectory();
    if (!directory || mirrorPath_ != *directory + "/" + FILENAME) {
        return false;
    }
    // Whether each file is the one the mirror and the open count go with; in an upload's
    // body, known without a stat while nothing in the directory was replaced.
    const auto lockPath = *directory + "/" + LOCK_FILENAME;
    const auto lockNow =
        platform::fileIdentityOnce(lockPath, platform::Links::dontFollow, platform::Changes::entriesOnly);
    // The trace file as it is: a tool may rewrite it in place without the lock, and even
    // put its modification time back.
    const auto traceNow = platform::fileIdentityOnce(mirrorPath_, platform::Links::dontFollow);
    if (!lockNow || !traceNow || *traceNow != mirrorIdentity_) {
        return false;
    }
    if (!countFile_ || countFilePath_ != lockPath || !countFile_->stillAt(*lockNow)) {
        countFile_.reset();
        countFilePath_ = lockPath;
        auto opened = platform::LineFile::openHeld(lockPath, O_RDONLY);
        if (!opened || !opened->stillAt(*lockNow)) {
            return false;
        }
        countFile_.emplace(std::move(*opened));
    }
    return platform::FileLock::changesIn(*countFile_) == mirrorChanges_;
}

bool TraceRepository::clearTraces(const std::vector<std::string>& sentLines) {
    platform::MutexLock lock(mutex_);
    StoreLock between(*this, StoreLock::Use::changing);
    const auto path = getTracesFileUrl();
    // Without the lock another process may be appending: a rewrite now could drop its fix.
    if (!path || !between.held()) {
        return false;
    }
    auto taken = takeLines(*path, platform::fileIdentity(*path, platform::Links::dontFollow));
    if (!taken) {
        // Only a file that is gone can be cleared: one that cannot be opened now (no
        // descriptor left, say) still holds lines that were never sent.
        if (errno == ENOENT) {
            return clearTracesLocked();
        }
        LUMVEX_LOG_ERROR("removeTraces(_:)", "Error while writing trace file");
        return false;
    }
    auto& lines = *taken;

    const std::size_t remove = sentPrefixLength(lines, sentLines);
    if (remove == lines.size()) {
        return clearTracesLocked();
    }
    if (remove == 0) {
        setMirror(*path, std::move(lines));
        return true;
    }
    return keepLinesFrom(*path, std::move(lines), remove, "removeTraces(_:)");
}

TraceRepository::DrainBound::DrainBound(TraceRepository& store, platform::FileLock::Deadline deadline)
    : store_(store) {
    platform::MutexLock guard(store.boundsMutex_);
    entry_ = store.drainBounds_.insert(deadline);
}

TraceRepository::DrainBound::~DrainBound() {
    platform::MutexLock guard(store_.boundsMutex_);
    store_.drainBounds_.erase(entry_);
}

TraceRepository::StoreLock::StoreLock(TraceRepository& store, Use use) : store_(store) {
    store.directory_ = platform::cachesDirectory();
    if (store.directory_) {
        std::optional<platform::FileLock::WaitBound> drain;
        {
            platform::MutexLock guard(store.boundsMutex_);
            if (!store.drainBounds_.empty()) {
                drain.emplace(*store.drainBounds_.begin());
            }
        }
        lock_ = platform::FileLock::lock(*store.directory_ + "/" + LOCK_FILENAME);
    }
    if (!lock_ || store.mirrorChanges_ != lock_->changes()) {
        store.forgetMirror();
    }
    // Counted before the change, so that a process that dies halfway through leaves a
    // count that makes the others read the file again. A count that cannot be written
    // leaves the lock held; only the mirror is not trusted afterwards.
    const bool changing = lock_ && (use == Use::changing || !store.held_.empty());
    if (changing && !lock_->bump()) {
        countKnown_ = false;
        store.forgetMirror();
    }
    if (changing && !store.held_.empty()) {
        auto held = std::move(store.held_);
        store.held_.clear();
        for (auto& line : held) {
            store.appendToFile(std::move(line));
        }
    }
}

TraceRepository::StoreLock::~StoreLock() {
    // Still under the store's mutex: the lock is declared after it in every operation.
    if (lock_ && countKnown_) {
        store_.mirrorChanges_ = lock_->changes();
    } else {
        store_.mirrorChanges_.reset();
        store_.forgetMirror();
    }
}

void TraceRepository::appendToFile(std::string line) {
    line += '\n';
    const auto path = getTracesFileUrl();
    if (!path) {
        LUMVEX_LOG_AT(LEVEL_ERROR, "appendToFile", "No trace found to write trace");
        return;
    }
    if (!tidied_) {
        // A process killed while trimming leaves its temporary copy behind; each such
        // crash would otherwise add a file to the caches directory for good.
        platform::removeLeftoverTemporaries(*path);
        tidied_ = true;
    }
    const auto before = platform::fileIdentity(*path, platform::Links::dontFollow);
    const bool trimmed = getTracesFileSize(before) > MAX_FILE_SIZE;
    if (trimmed) {
        deleteFirstLine(*path, *before);
    }
    // The file kept open since the last append, while the path still names it: the lstat
    // above is then what an open and its fstat would have said. Otherwise opened again,
    // never through a link or into a FIFO or device planted at our file's name.
    const bool reused =
        !trimmed && before && traceFile_ && traceFilePath_ == *path && traceFile_->stillAt(*before);
    if (!reused) {
        traceFile_.reset();
        traceFilePath_ = *path;
        if (auto opened = platform::LineFile::openHeld(*path, O_RDWR | O_APPEND)) {
            traceFile_.emplace(std::move(*opened));
        }
    }
    auto& file = traceFile_;
    if (!file) {
        if (errno == ENOENT) {
            if (platform::writeFileAtomically(*path, line)) {
                setMirror(*path, {MirroredLine(std::move(line))});
            } else {
                forgetMirror();
                LUMVEX_LOG_ERROR("appendToFile", "Error while writing trace file");
            }
        } else {
            LUMVEX_LOG_ERROR("appendToFile", "Error while writing trace file by appending");
        }
        return;
    }
    const auto& opened = file->opened();
    // The mirror follows the append only when it held the file as it was opened, and the
    // append does not make the file private, which changes its identity.
    const bool inStep = mirrorMatches(*path, opened) && (opened.mode & 0077) == 0;
    // The mirror knows whether its file ends with a line feed, which spares a read.
    const bool endsWithLineFeed =
        inStep && !mirror_.empty() && !mirror_.back().line.empty() && mirror_.back().line.back() == '\n';
    const auto appended = file->appendLine(
        line, endsWithLineFeed ? platform::LineFile::Ending::lineFeed : platform::LineFile::Ending::unknown);
    const auto identity =
        appended == platform::LineFile::Append::appended && inStep ? file->identity() : std::nullopt;
    if (identity) {
        mirror_.push_back(MirroredLine(std::move(line)));
        mirrorIdentity_ = *identity;
    } else {
        forgetMirror();
    }
    if (appended == platform::LineFile::Append::failed) {
        traceFile_.reset();
        LUMVEX_LOG_ERROR("appendToFile", "Error while writing trace file by appending");
    }
}

std::uint64_t TraceRepository::getTracesFileSize(const std::optional<platform::FileIdentity>& identity) {
    if (!identity) {
        LUMVEX_LOG_AT(LEVEL_DEBUG, "getTracesFileSize()", "Trace file not available for get traces files");
        return 0;
    }
    // Anything but a regular file is refused by the append itself; it is never trimmed.
    return S_ISREG(identity->mode) ? static_cast<std::uint64_t>(identity->size) : 0;
}

void TraceRepository::deleteFirstLine(const std::string& path, const platform::FileIdentity& identity) {
    if (static_cast<std::uint64_t>(identity.size) > FOREIGN_FILE_SIZE) {
        // Appends cannot have grown the file this far past the cap; reading it whole
        // could take any amount of memory and time. Keep the whole lines of its last
        // cap's worth of bytes, which is what trimming would have kept of it.
        std::optional<std::string> rest;
        {
            const auto file = platform::LineFile::open(path, O_RDONLY);
            if (!file) {
                return;
            }
            rest = file->lastLines(MAX_FILE_SIZE);
        }
        if (!rest) {
            LUMVEX_LOG_ERROR("deleteFirstLine()", "Error while writing trace file");
            return;
        }
        forgetMirror();
        if (!platform::writeFileAtomically(path, *rest)) {
            LUMVEX_LOG_ERROR("deleteFirstLine()", "Error while writing trace file");
        }
        return;
    }
    // The mirror spares reading back the file that the last append just wrote.
    auto lines = takeLines(path, identity);
    if (!lines) {
        return;
    }
    keepLinesFrom(path, std::move(*lines), 1, "deleteFirstLine()");
}

bool TraceRepository::keepLinesFrom(const std::string& path, std::vector<MirroredLine> lines,
                                    std::size_t first, const char* operation) {
    std::string rest;
    std::vector<MirroredLine> kept;
    for (std::size_t i = first; i < lines.size(); ++i) {
        MirroredLine entry = std::move(lines[i]);
        const auto place = i + 1 == lines.size() ? LineReader::Place::last : LineReader::Place::beforeMore;
        entry.line = LineReader::asWritten(std::move(entry.line), place);
        rest += entry.line;
        kept.push_back(std::move(entry));
    }
    if (!platform::writeFileAtomically(path, rest)) {
        LUMVEX_LOG_ERROR(operation, "Error while writing trace file");
        return false;
    }
    traceFile_.reset();  // the file it held was replaced
    setMirror(path, std::move(kept));
    return true;
}

std::optional<std::vector<TraceRepository::MirroredLine>> TraceRepository::takeLines(
    const std::string& path, const std::optional<platform::FileIdentity>& identity) {
    if (mirrorMatches(path, identity)) {
        auto lines = std::move(mirror_);
        forgetMirror();
        return lines;
    }
    forgetMirror();
    return readLines(path);
}

std::optional<std::vector<TraceRepository::MirroredLine>> TraceRepository::readLines(
    const std::string& path) {
    // A file far over the cap is not one the store wrote; it is not read at all.
    auto reader = LineReader::open(path, FOREIGN_FILE_SIZE);
    if (!reader) {
        return std::nullopt;
    }
    std::vector<MirroredLine> lines;
    for (auto& line : *reader) {
        lines.push_back(MirroredLine(std::move(line)));
    }
    reader->close();
    return lines;
}

bool TraceRepository::mirrorMatches(const std::string& path,
                                    const std::optional<platform::FileIdentity>& identity) const {
    return mirrorValid_ && identity && mirrorPath_ == path && *identity == mirrorIdentity_;
}

void TraceRepository::setMirror(const std::string& path, std::vector<MirroredLine> lines) {
    const auto identity = platform::fileIdentity(path, platform::Links::dontFollow);
    if (!identity || !S_ISREG(identity->mode)) {
        forgetMirror();
        return;
    }
    mirrorValid_ = true;
    mirrorPath_ = path;
    mirrorIdentity_ = *identity;
    mirror_ = std::move(lines);
}

void TraceRepository::forgetMirror() {
    mirrorValid_ = false;
    mirror_.clear();
}

bool TraceRepository::loadMirror(const std::string& path,
                                 const std::optional<platform::FileIdentity>& identity) {
    if (mirrorMatches(path, identity)) {
        return true;
    }
    forgetMirror();
    auto lines = readLines(path);
    if (!lines) {
        LUMVEX_LOG_AT(LEVEL_DEBUG, "getTracesAsDict()", "Impossible to read traces file");
        return false;
    }
    // Kept only when the file did not change while it was read.
    if (identity && platform::fileIdentity(path, platform::Links::dontFollow) == identity &&
        S_ISREG(identity->mode)) {
        mirrorValid_ = true;
        mirrorPath_ = path;
        mirrorIdentity_ = *identity;
    }
    mirror_ = std::move(*lines);
    return true;
}

void TraceRepository::renderMirror() {
    // The device's time zone may have changed since the last read; localtime_r alone
    // would keep using the zone it loaded first. Once per read, not per fix.
    platform::TimeZone::loadCurrent();
    auto zone = TraceCodec::loadedZone();
    if (zone != mirrorZone_) {
        for (auto& entry : mirror_) {
            entry.recordText.reset();
        }
        mirrorZone_ = std::move(zone);
    }
    for (auto& entry : mirror_) {
        if (entry.recordText) {
            continue;
        }
        // Unreadable: looked at, and logged, at every read.
        if (const auto record = TraceCodec::recordOfLine(entry.line)) {
            entry.recordText = nlohmann::json(*record).dump();
            entry.recordLine = std::string(platform::trimWhiteSpace(entry.line));
        }
    }
}

TraceSnapshot TraceRepository::snapshotOfMirror() const {
    TraceSnapshot snapshot;
    // A body is built at every upload; its pieces are sized once instead of grown.
    snapshot.lines.reserve(mirror_.size());
    snapshot.recordLines.reserve(mirror_.size());
    std::size_t textBytes = 2;
    for (const auto& entry : mirror_) {
        textBytes += entry.recordText ? entry.recordText->size() + 1 : 0;
    }
    snapshot.recordsText = "[";
    snapshot.recordsText.reserve(textBytes);
    for (const auto& entry : mirror_) {
        snapshot.lines.push_back(entry.line);
        if (!entry.recordText) {
            continue;
        }
        snapshot.recordLines.push_back(entry.recordLine);
        if (snapshot.recordsText.size() > 1) {
            snapshot.recordsText += ',';
        }
        snapshot.recordsText += *entry.recordText;
    }
    snapshot.recordsText += ']';
    return snapshot;
}

bool TraceRepository::clearTracesLocked() {
    forgetMirror();
    traceFile_.reset();
    const auto path = getTracesFileUrl();
    if (!path) {
        return false;
    }
    if (!platform::removeFileDurably(*path)) {
        const bool gone = errno == ENOENT;
        LUMVEX_LOG_AT(LEVEL_DEBUG, "clearTraces()", "Traces file not available");
        return gone;
    }
    return true;
}

std::optional<std::string> TraceRepository::getTracesFileUrl() const {
    if (!directory_) {
        return std::nullopt;
    }
    return *directory_ + "/" + FILENAME;
}

}  // namespace lumvex
