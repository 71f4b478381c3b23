#include "store/TraceCodec.h"

#include "platform/base/Clock.h"
#include "platform/base/L.h"
#include "platform/base/Text.h"
#include "platform/system/TimeZone.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string_view>
#include <vector>

// A stored line that cannot be read is found by the trace store's reads, and its lines
// have always named the store's file.
#define LUMVEX_LOG_STORE_ERROR(func, text) \
    ::lumvex::L::debug(::lumvex::L::error(text), __LINE__, "TraceRepository.cpp", (func))

namespace lumvex {

namespace {

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

}  // namespace

std::string TraceCodec::formatTrace(const Location& location, std::uint64_t storedAtMs) {
    std::string text = std::to_string(storedAtMs);
    text += TRACE_SEPARATOR;
    text += formatCoordinate(location.latitude);
    text += TRACE_SEPARATOR;
    text += formatCoordinate(location.longitude);
    return text;
}

std::string TraceCodec::formatCoordinate(double value) {
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

std::uint64_t TraceCodec::currentTimeMs() {
    // Whole milliseconds straight from the clock: going through a floating-point number of
    // seconds would now and then store one millisecond less than the clock read, and a
    // count of nanoseconds ends in 2262.
    const auto ms = platform::clock()->wallNowMilliseconds();
    // The field is unsigned: a clock set before 1970 stores the epoch itself.
    return ms > 0 ? static_cast<std::uint64_t>(ms) : 0;
}

std::optional<std::string> TraceCodec::renderTimestamp(std::int64_t seconds) {
    // The device's time zone may have changed since the last read; localtime_r alone
    // would keep using the zone it loaded first.
    platform::TimeZone::loadCurrent();
    return renderTimestampInLoadedZone(seconds);
}

std::optional<std::string> TraceCodec::renderTimestampInLoadedZone(std::int64_t seconds) {
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

std::string TraceCodec::loadedZone() {
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

std::optional<TraceRecord> TraceCodec::recordOfLine(const std::string& line) {
    const auto bytes = platform::base64Decode(platform::trimWhiteSpace(line));
    if (!bytes || !platform::isValidUtf8(*bytes)) {
        return std::nullopt;
    }
    return parseTrace(*bytes);
}

std::optional<TraceRecord> TraceCodec::parseTrace(const std::string& text) {
    std::vector<std::string_view> fields;
    std::string_view rest(text);
    for (auto pos = rest.find(TRACE_SEPARATOR); pos != std::string_view::npos;
         pos = rest.find(TRACE_SEPARATOR)) {
        fields.push_back(rest.substr(0, pos));
        rest.remove_prefix(pos + 1);
    }
    fields.push_back(rest);
    if (fields.size() != 3) {
        LUMVEX_LOG_STORE_ERROR("parseTrace", "Invalid trace format: " + text);
        return std::nullopt;
    }
    const auto ms = parseMilliseconds(fields[0]);
    const auto timestamp = ms ? renderTimestampInLoadedZone(*ms / 1000) : std::nullopt;
    if (!timestamp) {
        LUMVEX_LOG_STORE_ERROR("parseTrace", "Invalid trace timestamp : " + text);
        return std::nullopt;
    }
    return TraceRecord{
        {"timestamp", *timestamp}, {"lat", std::string(fields[1])}, {"lng", std::string(fields[2])}};
}

}  // namespace lumvex
