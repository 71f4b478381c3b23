#include "TraceRepository.h"

#include "L.h"
#include "LineReader.h"
#include "platform/Clock.h"
#include "platform/Files.h"

#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string_view>

namespace lumvex {

namespace {

// The Unicode white-space and newline characters (general category Z, tab, and the line
// ends U+000A to U+000D and U+0085).
bool isWhiteSpace(char32_t c) {
    return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
           c == 0x3000;
}

bool isContinuation(unsigned char c) {
    return (c & 0xC0) == 0x80;
}

// The code point of the well-formed UTF-8 sequence text[begin, end).
char32_t decode(std::string_view text, std::size_t begin, std::size_t end) {
    const auto lead = static_cast<unsigned char>(text[begin]);
    const std::size_t length = end - begin;
    char32_t c = length == 1   ? lead
                 : length == 2 ? (lead & 0x1F)
                 : length == 3 ? (lead & 0x0F)
                               : (lead & 0x07);
    for (std::size_t i = begin + 1; i < end; ++i) {
        c = (c << 6) | (static_cast<unsigned char>(text[i]) & 0x3F);
    }
    return c;
}

// `text` (well-formed UTF-8) without white space and line ends at either end.
std::string_view trimWhiteSpace(std::string_view text) {
    std::size_t begin = 0;
    while (begin < text.size()) {
        std::size_t next = begin + 1;
        while (next < text.size() && isContinuation(static_cast<unsigned char>(text[next]))) {
            ++next;
        }
        if (!isWhiteSpace(decode(text, begin, next))) {
            break;
        }
        begin = next;
    }
    std::size_t end = text.size();
    while (end > begin) {
        std::size_t start = end - 1;
        while (start > begin && isContinuation(static_cast<unsigned char>(text[start]))) {
            --start;
        }
        if (!isWhiteSpace(decode(text, start, end))) {
            break;
        }
        end = start;
    }
    return text.substr(begin, end - begin);
}

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

// Appends `line`, as the line reader gave it, to file content being rebuilt. The reader
// cuts a line at a NUL byte, line feed included; without it put back the next line would
// be glued onto this one and lost with it. A line that had no line feed can only have
// been the last, so adding one changes nothing else.
std::string asRewritten(std::string line, bool last) {
    if (!last && (line.empty() || line.back() != '\n')) {
        line += '\n';
    }
    return line;
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

bool writeAll(int fd, std::string_view data) {
    while (!data.empty()) {
        const ssize_t n = ::write(fd, data.data(), data.size());
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        data.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

}  // namespace

TraceRepository& TraceRepository::shared() {
    // Never destroyed: a fix may still arrive from another thread while the process exits.
    static auto* instance = new TraceRepository();
    return *instance;
}

void TraceRepository::addTrace(const Location& location) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto text = formatTrace(location, currentTimeMs());
    appendToFile(platform::base64Encode(text));
}

std::vector<TraceRecord> TraceRepository::getTracesAsDict() {
    return readTraces().records;
}

TraceSnapshot TraceRepository::readTraces() {
    std::lock_guard<std::mutex> lock(mutex_);
    return readTracesLocked(true, false);
}

TraceSnapshot TraceRepository::readTraceTexts() {
    std::lock_guard<std::mutex> lock(mutex_);
    return readTracesLocked(false, true);
}

void TraceRepository::clearTraces() {
    std::lock_guard<std::mutex> lock(mutex_);
    clearTracesLocked();
}

void TraceRepository::removeTraces(const std::vector<std::string>& sentLines) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto path = getTracesFileUrl();
    if (!path) {
        return;
    }
    auto taken = takeLines(*path, platform::fileIdentity(*path, false));
    if (!taken) {
        // Only a file that is gone can be cleared: one that cannot be opened now (no
        // descriptor left, say) still holds lines that were never sent.
        if (errno == ENOENT) {
            clearTracesLocked();
        } else {
            LUMVEX_LOG_ERROR("removeTraces(_:)", "Error while writing trace file");
        }
        return;
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
        clearTracesLocked();
        return;
    }
    if (remove == 0) {
        setMirror(*path, std::move(lines));
        return;
    }
    std::string rest;
    std::vector<MirroredLine> kept;
    for (std::size_t i = remove; i < lines.size(); ++i) {
        MirroredLine entry = std::move(lines[i]);
        entry.line = asRewritten(std::move(entry.line), i + 1 == lines.size());
        rest += entry.line;
        kept.push_back(std::move(entry));
    }
    if (!platform::writeFileAtomically(*path, rest)) {
        LUMVEX_LOG_ERROR("removeTraces(_:)", "Error while writing trace file");
        return;
    }
    setMirror(*path, std::move(kept));
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
    const auto before = platform::fileIdentity(*path, false);
    if (getTracesFileSize(before) > MAX_FILE_SIZE) {
        deleteFirstLine(*path, *before);
    }
    // Never through a link or into a FIFO or device planted at our file's name.
    platform::FileIdentity opened;
    const int fd = platform::openOwnFile(*path, O_RDWR | O_APPEND, &opened);
    if (fd < 0) {
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
    bool ok = true;
    if ((opened.mode & 0077) != 0) {
        ::fchmod(fd, 0600);  // a file from before the store kept it private
    }
    const off_t size = static_cast<off_t>(opened.size);
    // The mirror follows the append only when it held the file as it was opened.
    bool inStep = mirrorMatches(*path, opened) && (opened.mode & 0077) == 0;
    // An append cut short (power loss, a killed process) leaves a last line without its
    // line feed; the new line must not be glued onto it. The mirror knows how its file ends.
    const bool endsWithLineFeed =
        inStep && !mirror_.empty() && !mirror_.back().line.empty() && mirror_.back().line.back() == '\n';
    if (size > 0 && !endsWithLineFeed) {
        char last = '\n';
        ok = ::pread(fd, &last, 1, size - 1) == 1;
        if (ok && last != '\n') {
            line.insert(line.begin(), '\n');
            inStep = false;
        }
    }
    if (ok && !writeAll(fd, line)) {
        // Leave the file as it was rather than with half a line.
        ok = false;
        if (::ftruncate(fd, size) != 0) {
            // Nothing more to do: the next append starts on a line of its own.
        }
    }
    // The fix is stored once it is on stable storage, not when it reaches the page cache:
    // a power cut must not take back a fix the host was told nothing about.
    if (ok && ::fdatasync(fd) != 0) {
        ok = false;
    }
    const auto appended = ok && inStep ? platform::fileIdentity(fd) : std::nullopt;
    ::close(fd);
    if (appended) {
        mirror_.push_back(MirroredLine(std::move(line)));
        mirrorIdentity_ = *appended;
    } else {
        forgetMirror();
    }
    if (!ok) {
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
    const auto size = static_cast<std::uint64_t>(identity.size);
    std::string rest;
    if (size > FOREIGN_FILE_SIZE) {
        // Appends cannot have grown the file this far past the cap; reading it whole
        // could take any amount of memory and time. Keep the whole lines of its last
        // cap's worth of bytes, which is what trimming would have kept of it.
        const int fd = platform::openOwnFile(path, O_RDONLY);
        if (fd < 0) {
            return;
        }
        std::string tail(MAX_FILE_SIZE, '\0');
        const ssize_t n = ::pread(fd, tail.data(), tail.size(), static_cast<off_t>(size - MAX_FILE_SIZE));
        ::close(fd);
        if (n < 0) {
            LUMVEX_LOG_ERROR("deleteFirstLine()", "Error while writing trace file");
            return;
        }
        tail.resize(static_cast<std::size_t>(n));
        const auto firstEnd = tail.find('\n');
        rest = firstEnd == std::string::npos ? std::string() : tail.substr(firstEnd + 1);
        forgetMirror();
        if (!platform::writeFileAtomically(path, rest)) {
            LUMVEX_LOG_ERROR("deleteFirstLine()", "Error while writing trace file");
        }
        return;
    }
    // The mirror spares reading back the file that the last append just wrote.
    auto lines = takeLines(path, identity);
    if (!lines) {
        return;
    }
    std::vector<MirroredLine> kept;
    for (std::size_t i = 1; i < lines->size(); ++i) {
        MirroredLine entry = std::move((*lines)[i]);
        entry.line = asRewritten(std::move(entry.line), i + 1 == lines->size());
        rest += entry.line;
        kept.push_back(std::move(entry));
    }
    if (!platform::writeFileAtomically(path, rest)) {
        LUMVEX_LOG_ERROR("deleteFirstLine()", "Error while writing trace file");
        return;
    }
    setMirror(path, std::move(kept));
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
    const auto identity = platform::fileIdentity(path, false);
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
    const auto identity = platform::fileIdentity(*path, false);
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
        if (identity && platform::fileIdentity(*path, false) == identity && S_ISREG(identity->mode)) {
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
    for (auto& entry : mirror_) {
        snapshot.lines.push_back(entry.line);
        if (records || !entry.recordText) {
            auto record = recordOfLine(entry.line);
            if (!record) {
                continue;  // unreadable: looked at, and logged, at every read
            }
            if (!entry.recordText) {
                entry.recordText = nlohmann::json(*record).dump();
                entry.recordLine = std::string(trimWhiteSpace(entry.line));
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
    const auto bytes = platform::base64Decode(trimWhiteSpace(line));
    if (!bytes || !platform::isValidUtf8(*bytes)) {
        return std::nullopt;
    }
    return parseTrace(*bytes);
}

void TraceRepository::clearTracesLocked() {
    forgetMirror();
    const auto path = getTracesFileUrl();
    if (!path) {
        return;
    }
    if (!platform::removeFileDurably(*path)) {
        LUMVEX_LOG("clearTraces()", "Traces file not available");
    }
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

std::optional<std::string> TraceRepository::getTracesFileUrl() {
    auto directory = platform::cachesDirectory();
    if (!directory) {
        return std::nullopt;
    }
    return *directory + "/" + FILENAME;
}

}  // namespace lumvex
