#include "UploadCheck.h"

#include <array>
#include <set>

namespace collector {

namespace {

constexpr const char* PREFIX = "/api/v1/";
constexpr const char* SUFFIX = "/send_locations";

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::optional<std::string> percentDecode(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out.push_back(text[i]);
            continue;
        }
        if (i + 2 >= text.size()) {
            return std::nullopt;
        }
        const int high = hexValue(text[i + 1]);
        const int low = hexValue(text[i + 2]);
        if (high < 0 || low < 0) {
            return std::nullopt;
        }
        out.push_back(static_cast<char>(high * 16 + low));
        i += 2;
    }
    return out;
}

bool hasExactly(const nlohmann::json& object, const std::set<std::string>& keys, const std::string& where,
                std::string& reason) {
    for (const auto& key : keys) {
        if (!object.contains(key)) {
            reason = where + " has no member \"" + key + "\"";
            return false;
        }
    }
    for (const auto& item : object.items()) {
        if (!keys.count(item.key())) {
            reason = where + " has the unexpected member \"" + item.key() + "\"";
            return false;
        }
    }
    return true;
}

const std::set<std::string> TOP_LEVEL = {"mac", "google_aid", "locations", "devices_infos"};
const std::set<std::string> LOCATION = {"timestamp", "lat", "lng"};
const std::set<std::string> DEVICE = {"os_version",  "device_brand",  "device_id",      "system_name",
                                      "app_version", "device_locale", "device_country", "timezone",
                                      "User-Agent",  "device_name",   "is_tablet"};

}  // namespace

std::optional<std::string> apiKeyFromTarget(const std::string& target) {
    const std::string prefix(PREFIX);
    const std::string suffix(SUFFIX);
    if (target.find('?') != std::string::npos || target.find('#') != std::string::npos) {
        return std::nullopt;
    }
    if (target.size() <= prefix.size() + suffix.size() || target.compare(0, prefix.size(), prefix) != 0 ||
        target.compare(target.size() - suffix.size(), suffix.size(), suffix) != 0) {
        return std::nullopt;
    }
    const auto segment = target.substr(prefix.size(), target.size() - prefix.size() - suffix.size());
    if (segment.find('/') != std::string::npos) {
        return std::nullopt;
    }
    return percentDecode(segment);
}

bool isValidUtf8(const std::string& text) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t size = text.size();
    for (std::size_t i = 0; i < size;) {
        const unsigned char c = bytes[i];
        std::size_t length;
        unsigned int value;
        if (c < 0x80) {
            ++i;
            continue;
        } else if ((c & 0xE0) == 0xC0) {
            length = 2;
            value = c & 0x1Fu;
        } else if ((c & 0xF0) == 0xE0) {
            length = 3;
            value = c & 0x0Fu;
        } else if ((c & 0xF8) == 0xF0) {
            length = 4;
            value = c & 0x07u;
        } else {
            return false;
        }
        if (i + length > size) {
            return false;
        }
        for (std::size_t k = 1; k < length; ++k) {
            if ((bytes[i + k] & 0xC0) != 0x80) {
                return false;
            }
            value = (value << 6) | (bytes[i + k] & 0x3Fu);
        }
        static const unsigned int smallest[] = {0, 0, 0x80, 0x800, 0x10000};
        if (value < smallest[length] || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) {
            return false;
        }
        i += length;
    }
    return true;
}

std::string validUtf8(const std::string& text) {
    if (isValidUtf8(text)) {
        return text;
    }
    const auto escaped = nlohmann::json(text).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    return nlohmann::json::parse(escaped).get<std::string>();
}

std::optional<nlohmann::json> checkUpload(const std::string& body, std::string& reason) {
    auto json = nlohmann::json::parse(body, nullptr, false);
    if (json.is_discarded()) {
        reason = "the body is not JSON";
        return std::nullopt;
    }
    if (!json.is_object()) {
        reason = "the body is not a JSON object";
        return std::nullopt;
    }
    if (!hasExactly(json, TOP_LEVEL, "the body", reason)) {
        return std::nullopt;
    }
    for (const char* key : {"mac", "google_aid"}) {
        if (!json[key].is_string()) {
            reason = std::string("\"") + key + "\" is not a string";
            return std::nullopt;
        }
    }
    if (!json["locations"].is_array()) {
        reason = "\"locations\" is not an array";
        return std::nullopt;
    }
    std::size_t index = 0;
    for (const auto& location : json["locations"]) {
        const auto where = "locations[" + std::to_string(index++) + "]";
        if (!location.is_object()) {
            reason = where + " is not an object";
            return std::nullopt;
        }
        if (!hasExactly(location, LOCATION, where, reason)) {
            return std::nullopt;
        }
        for (const auto& item : location.items()) {
            if (!item.value().is_string()) {
                reason = where + "." + item.key() + " is not a string";
                return std::nullopt;
            }
        }
    }
    const auto& device = json["devices_infos"];
    if (!device.is_object()) {
        reason = "\"devices_infos\" is not an object";
        return std::nullopt;
    }
    if (!device.empty()) {
        if (!hasExactly(device, DEVICE, "devices_infos", reason)) {
            return std::nullopt;
        }
        for (const auto& item : device.items()) {
            const bool wantBoolean = item.key() == "is_tablet";
            if (wantBoolean ? !item.value().is_boolean() : !item.value().is_string()) {
                reason = "devices_infos." + item.key() + " is not a " + (wantBoolean ? "Boolean" : "string");
                return std::nullopt;
            }
        }
    }
    return json;
}

std::string escapedForLog(const std::string& text) {
    static const char* HEX = "0123456789abcdef";
    std::string out;
    out.reserve(text.size());
    auto escape = [&](unsigned char c) {
        out += "\\x";
        out += HEX[c >> 4];
        out += HEX[c & 15];
    };
    for (std::size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c < 0x20 || c == 0x7f || c == '\\') {
            escape(c);
            ++i;
        } else if (c < 0x80) {
            out += static_cast<char>(c);
            ++i;
        } else {
            // A whole well-formed sequence passes; a stray byte is shown by its value.
            std::size_t length = c >= 0xf0 ? 4 : c >= 0xe0 ? 3 : 2;
            const std::string sequence = text.substr(i, length);
            // U+0080 to U+009F are controls too: some terminals act on them.
            const bool control =
                c == 0xc2 && sequence.size() == 2 && static_cast<unsigned char>(sequence[1]) < 0xa0;
            if (sequence.size() == length && isValidUtf8(sequence) && !control) {
                out += sequence;
                i += length;
            } else {
                escape(c);
                ++i;
            }
        }
    }
    return out;
}

}  // namespace collector
