#include "TraceRepository.h"

#include "L.h"
#include "LineReader.h"
#include "platform/CachesDirectory.h"
#include "platform/Clock.h"
#include "platform/Files.h"
#include "platform/NoDestructor.h"
#include "platform/Text.h"

#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <sys/stat.h>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
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

// Field 1 of a trace text: an optional sign, then decimal digits only, within 64 bits.
std::optional<std::int64_t> parseMilliseconds(std::string_view field) {
    // from_chars takes a "-" but no "+", and the sign must be followed by a digit.
    if (!field.empty() && field.front() == '+') {
        field.remove_prefix(1);
        if (field.empty() || field.front() == '-') {
            return std::nullopt;
        }
    }
    const std::string_view digits = !field.empty() && field.front() == '-' ? field.substr(1) : field;
    if (digits.empty() || digits.front() < '0' || digits.front() > '9') {
        return std::nullopt;
    }
    std::int64_t value = 0;
    const auto [end, error] = std::from_chars(field.data(), field.data() + field.size(), value);
    if (error != std::errc() || end != field.data() + field.size()) {
        return std::nullopt;
    }
    return value;
}

// The time zone that localtime_r renders in, as tzset() last loaded it: the records' texts
// rendered in another zone are rendered again.
std::string loadedZone() {
    const char* tz = std::getenv("TZ");
    std::string key = tz ? std::string("=") + tz : std::string("-");
    key += '\n';
    key += tzname[0];
    key += '\n';
    key += tzname[1];
    key += '\n';
    key += std::to_string(timezone);
    key += daylight ? '+' : '-';
    return key;
}

}  // namespace

TraceRepository& TraceRepository::shared() {
    // A fix may still arrive from another thread while the process exits.
    static platform::NoDestructor<TraceRepository> instance;
    return *instance;
}

void TraceRepository::addTrace(const Location& location) {
    platform::MutexLock lock(mutex_);
    StoreLock between(*this, true);
    const auto text = formatTrace(location, currentTimeMs());
    appendToFile(platform::base64Encode(text));
}

std::vector<TraceRecord> TraceRepository::getTracesAsDict() {
    return readTraces().records;
}

TraceSnapshot TraceRepository::readTraces() {
    platform::MutexLock lock(mutex_);
    StoreLock between(*this, false);
    return readTracesLocked(true, false);
}

TraceSnapshot TraceRepository::readTraceTexts() {
    platform::MutexLock lock(mutex_);
    StoreLock between(*this, false);
    return readTracesLocked(false, true);
}

void TraceRepository::clearTraces() {
    platform::MutexLock lock(mutex_);
    StoreLock between(*this, true);
    clearTracesLocked();
}

bool TraceRepository::removeTraces(const std::vector<std::string>& sentLines) {
    platform::MutexLock lock(mutex_);
    StoreLock between(*this, true);
    const auto path = getTracesFileUrl();
    if (!path) {
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

    // Since the upload read the file, trims can only have dropped lines from its front
    // and appends added lines at its end, so the file now starts with the part of
    // `sentLines` that is left. Find the longest such part.
    const std::size_t sent = sentLines.size();
    std::size_t remove = 0;
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
            remove = count;
            break;
        }
    }

    if (remove == lines.size()) {
        return clearTracesLocked();
    }
    if (remove == 0) {
        setMirror(*path, std::move(lines));
        return true;
    }
    return keepLinesFrom(*path, std::move(lines), remove, "removeTraces(_:)");
}

TraceRepository::StoreLock::StoreLock(TraceRepository& store, bool changing) : store_(store) {
    store.directory_ = platform::cachesDirectory();
    if (store.directory_) {
        lock_ = platform::FileLock::lock(*store.directory_ + "/" + LOCK_FILENAME);
    }
    if (!lock_ || store.mirrorChanges_ != lock_->changes()) {
        store.forgetMirror();
    }
    // Counted before the change, so that a process that dies halfway through leaves a
    // count that makes the others read the file again.
    if (lock_ && changing && !lock_->bump()) {
        lock_.reset();
    }
}

TraceRepository::StoreLock::~StoreLock() {
    // Still under the store's mutex: the lock is declared after it in every operation.
    if (lock_) {
        store_.mirrorChanges_ = lock_->changes();
    } else {
        store_.mirrorChanges_.reset();
        store_.forgetMirror();
    }
}

std::string TraceRepository::formatTrace(const Location& location, std::uint64_t storedAtMs) {
    std::string text = std::to_string(storedAtMs);
    text += TRACE_SEPARATOR;
    text += formatCoordinate(location.latitude);
    text += TRACE_SEPARATOR;
    text += formatCoordinate(location.longitude);
    return text;
}

std::string TraceRepository::formatCoordinate(double value) {
    if (std::isnan(value)) {
        return "nan";  // whatever its sign bit
    }
    if (std::isinf(value)) {
        return value < 0 ? "-inf" : "inf";
    }
    // to_chars gives what "%.15g" gives in the C locale, whatever locale the host set.
    char buffer[64];
    const auto result = std::to_chars(buffer, buffer + sizeof(buffer), value, std::chars_format::general, 15);
    std::string text(buffer, result.ptr);
    if (text.find_first_of(".e") == std::string::npos) {
        text += ".0";
    }
    return text;
}

std::uint64_t TraceRepository::currentTimeMs() {
    // Whole milliseconds straight from the clock: going through a floating-point number of
    // seconds would now and then store one millisecond less than the clock read, and a
    // count of nanoseconds ends in 2262.
    const auto ms = platform::clock()->wallNowMilliseconds();
    // The field is unsigned: a clock set before 1970 stores the epoch itself.
    return ms > 0 ? static_cast<std::uint64_t>(ms) : 0;
}

std::optional<std::string> TraceRepository::renderTimestamp(std::int64_t seconds) {
    // The device's time zone may have changed since the last read; localtime_r alone
    // would keep using the zone it loaded first.
    ::tzset();
    return renderTimestampInLoadedZone(seconds);
}

std::optional<std::string> TraceRepository::renderTimestampInLoadedZone(std::int64_t seconds) {
    const auto time = static_cast<std::time_t>(seconds);
    std::tm local{};
    if (!::localtime_r(&time, &local)) {
        return std::nullopt;
    }
    // Gregorian year of era, as a "yyyy" pattern gives it: 1 BC is year 1.
    const long long year = static_cast<long long>(local.tm_year) + 1900;
    const long long yearOfEra = year > 0 ? year : 1 - year;
    // printf's %d writes ASCII digits in every locale.
    char buffer[64];
    const int n = std::snprintf(buffer, sizeof(buffer), "%04lld-%02d-%02dT%02d:%02d:%02dZ", yearOfEra,
                                local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
    if (n <= 0 || static_cast<std::size_t>(n) >= sizeof(buffer)) {
        return std::nullopt;
    }
    return std::string(buffer, static_cast<std::size_t>(n));
}

void TraceRepository::appendToFile(std::string line) {
    line += '\n';
    const auto path = getTracesFileUrl();
    if (!path) {
        LUMVEX_LOG("appendToFile", "No trace found to write trace");
        return;
    }
    if (!tidied_) {
        // A process killed while trimming leaves its temporary copy behind; each such
        // crash would otherwise add a file to the caches directory for good.
        platform::removeLeftoverTemporaries(*path);
        tidied_ = true;
    }
    const auto before = platform::fileIdentity(*path, platform::Links::dontFollow);
    if (getTracesFileSize(before) > MAX_FILE_SIZE) {
        deleteFirstLine(*path, *before);
    }
    // Never through a link or into a FIFO or device planted at our file's name.
    auto file = platform::LineFile::open(*path, O_RDWR | O_APPEND);
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
        LUMVEX_LOG_ERROR("appendToFile", "Error while writing trace file by appending");
    }
}

std::uint64_t TraceRepository::getTracesFileSize(const std::optional<platform::FileIdentity>& identity) {
    if (!identity) {
        LUMVEX_LOG("getTracesFileSize()", "Trace file not available for get traces files");
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
        entry.line = LineReader::asWritten(std::move(entry.line), i + 1 == lines.size());
        rest += entry.line;
        kept.push_back(std::move(entry));
    }
    if (!platform::writeFileAtomically(path, rest)) {
        LUMVEX_LOG_ERROR(operation, "Error while writing trace file");
        return false;
    }
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

TraceSnapshot TraceRepository::readTracesLocked(bool records, bool texts) {
    TraceSnapshot snapshot;
    if (texts) {
        snapshot.recordsText = "[]";
    }
    const auto path = getTracesFileUrl();
    if (!path) {
        return snapshot;
    }
    const auto identity = platform::fileIdentity(*path, platform::Links::dontFollow);
    if (!mirrorMatches(*path, identity)) {
        forgetMirror();
        // A file far over the cap is not one the store wrote; it is not read at all.
        auto reader = LineReader::open(*path, FOREIGN_FILE_SIZE);
        if (!reader) {
            LUMVEX_LOG("getTracesAsDict()", "Impossible to read traces file");
            return snapshot;
        }
        std::vector<MirroredLine> lines;
        for (auto& line : *reader) {
            lines.push_back(MirroredLine(std::move(line)));
        }
        reader->close();
        // Kept only when the file did not change while it was read.
        if (identity && platform::fileIdentity(*path, platform::Links::dontFollow) == identity &&
            S_ISREG(identity->mode)) {
            mirrorValid_ = true;
            mirrorPath_ = *path;
            mirrorIdentity_ = *identity;
        }
        mirror_ = std::move(lines);
    }
    // The device's time zone may have changed since the last read; localtime_r alone
    // would keep using the zone it loaded first. Once per read, not per fix.
    ::tzset();
    auto zone = loadedZone();
    if (zone != mirrorZone_) {
        for (auto& entry : mirror_) {
            entry.recordText.reset();
        }
        mirrorZone_ = std::move(zone);
    }
    if (texts) {
        snapshot.recordsText = "[";
    }
    // A body is built at every upload; its pieces are sized once instead of grown.
    snapshot.lines.reserve(mirror_.size());
    snapshot.recordLines.reserve(mirror_.size());
    if (texts) {
        std::size_t textBytes = 2;
        for (const auto& entry : mirror_) {
            textBytes += entry.recordText ? entry.recordText->size() + 1 : 0;
        }
        snapshot.recordsText.reserve(textBytes);
    }
    for (auto& entry : mirror_) {
        snapshot.lines.push_back(entry.line);
        if (records || !entry.recordText) {
            auto record = recordOfLine(entry.line);
            if (!record) {
                continue;  // unreadable: looked at, and logged, at every read
            }
            if (!entry.recordText) {
                entry.recordText = nlohmann::json(*record).dump();
                entry.recordLine = std::string(platform::trimWhiteSpace(entry.line));
            }
            if (records) {
                snapshot.records.push_back(std::move(*record));
            }
        }
        snapshot.recordLines.push_back(entry.recordLine);
        if (texts) {
            if (snapshot.recordsText.size() > 1) {
                snapshot.recordsText += ',';
            }
            snapshot.recordsText += *entry.recordText;
        }
    }
    if (texts) {
        snapshot.recordsText += ']';
    }
    if (!mirrorValid_) {
        mirror_.clear();
    }
    return snapshot;
}

std::optional<TraceRecord> TraceRepository::recordOfLine(const std::string& line) {
    const auto bytes = platform::base64Decode(platform::trimWhiteSpace(line));
    if (!bytes || !platform::isValidUtf8(*bytes)) {
        return std::nullopt;
    }
    return parseTrace(*bytes);
}

bool TraceRepository::clearTracesLocked() {
    forgetMirror();
    const auto path = getTracesFileUrl();
    if (!path) {
        return false;
    }
    if (!platform::removeFileDurably(*path)) {
        const bool gone = errno == ENOENT;
        LUMVEX_LOG("clearTraces()", "Traces file not available");
        return gone;
    }
    return true;
}

std::optional<TraceRecord> TraceRepository::recordFromLine(const std::string& line) {
    const auto bytes = platform::base64Decode(line);
    if (!bytes || !platform::isValidUtf8(*bytes)) {
        return std::nullopt;
    }
    return parseTrace(*bytes);
}

std::optional<TraceRecord> TraceRepository::parseTrace(const std::string& text) {
    std::vector<std::string_view> fields;
    std::string_view rest(text);
    for (auto pos = rest.find(TRACE_SEPARATOR); pos != std::string_view::npos;
         pos = rest.find(TRACE_SEPARATOR)) {
        fields.push_back(rest.substr(0, pos));
        rest.remove_prefix(pos + 1);
    }
    fields.push_back(rest);
    if (fields.size() != 3) {
        LUMVEX_LOG_ERROR("parseTrace", "Invalid trace format: " + text);
        return std::nullopt;
    }
    const auto ms = parseMilliseconds(fields[0]);
    const auto timestamp = ms ? renderTimestampInLoadedZone(*ms / 1000) : std::nullopt;
    if (!timestamp) {
        LUMVEX_LOG_ERROR("parseTrace", "Invalid trace timestamp : " + text);
        return std::nullopt;
    }
    return TraceRecord{
        {"timestamp", *timestamp}, {"lat", std::string(fields[1])}, {"lng", std::string(fields[2])}};
}

std::optional<std::string> TraceRepository::getTracesFileUrl() const {
    if (!directory_) {
        return std::nullopt;
    }
    return *directory_ + "/" + FILENAME;
}

}  // namespace lumvex
