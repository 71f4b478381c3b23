#include "platform/base/Text.h"

#include <sodium.h>

#include <cstring>

namespace lumvex::platform {

std::string base64Encode(std::string_view bytes) {
    if (sodium_init() < 0) {
        return {};
    }
    const auto variant = sodium_base64_VARIANT_ORIGINAL;
    std::string out(sodium_base64_ENCODED_LEN(bytes.size(), variant), '\0');
    sodium_bin2base64(out.data(), out.size(), reinterpret_cast<const unsigned char*>(bytes.data()),
                      bytes.size(), variant);
    out.resize(std::strlen(out.c_str()));
    return out;
}

std::optional<std::string> base64Decode(std::string_view text) {
    if (sodium_init() < 0) {
        return std::nullopt;
    }
    // Padding makes every valid text a whole number of four-character groups.
    if (text.size() % 4 != 0) {
        return std::nullopt;
    }
    std::string out(text.size() / 4 * 3, '\0');
    std::size_t length = 0;
    const char* end = nullptr;
    if (sodium_base642bin(reinterpret_cast<unsigned char*>(out.data()), out.size(), text.data(), text.size(),
                          nullptr, &length, &end, sodium_base64_VARIANT_ORIGINAL) != 0) {
        return std::nullopt;
    }
    if (end != text.data() + text.size()) {
        return std::nullopt;  // trailing characters outside the alphabet
    }
    out.resize(length);
    return out;
}

namespace {
// Length of the well-formed UTF-8 sequence at `s`, or 0 when it is ill-formed.
std::size_t utf8SequenceLength(const unsigned char* s, std::size_t left) {
    const unsigned char c = s[0];
    if (c < 0x80) {
        return 1;
    }
    std::size_t len = 0;
    unsigned char lo = 0x80, hi = 0xBF;
    if (c >= 0xC2 && c <= 0xDF) {
        len = 2;
    } else if (c == 0xE0) {
        len = 3, lo = 0xA0;
    } else if ((c >= 0xE1 && c <= 0xEC) || c == 0xEE || c == 0xEF) {
        len = 3;
    } else if (c == 0xED) {
        len = 3, hi = 0x9F;
    } else if (c == 0xF0) {
        len = 4, lo = 0x90;
    } else if (c >= 0xF1 && c <= 0xF3) {
        len = 4;
    } else if (c == 0xF4) {
        len = 4, hi = 0x8F;
    } else {
        return 0;
    }
    if (left < len) {
        return 0;
    }
    if (s[1] < lo || s[1] > hi) {
        return 0;
    }
    for (std::size_t i = 2; i < len; ++i) {
        if (s[i] < 0x80 || s[i] > 0xBF) {
            return 0;
        }
    }
    return len;
}

// Length of the maximal prefix of an ill-formed sequence, which becomes one U+FFFD as the
// Unicode standard recommends.
std::size_t illFormedPrefix(const unsigned char* s, std::size_t left) {
    const unsigned char c = s[0];
    std::size_t len = 0;
    unsigned char lo = 0x80, hi = 0xBF;
    if (c >= 0xC2 && c <= 0xDF) {
        len = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
        len = 3, lo = c == 0xE0 ? 0xA0 : 0x80, hi = c == 0xED ? 0x9F : 0xBF;
    } else if (c >= 0xF0 && c <= 0xF4) {
        len = 4, lo = c == 0xF0 ? 0x90 : 0x80, hi = c == 0xF4 ? 0x8F : 0xBF;
    } else {
        return 1;
    }
    std::size_t n = 1;
    while (n < len && n < left) {
        const unsigned char min = n == 1 ? lo : 0x80;
        const unsigned char max = n == 1 ? hi : 0xBF;
        if (s[n] < min || s[n] > max) {
            break;
        }
        ++n;
    }
    return n;
}
}  // namespace

bool isValidUtf8(std::string_view bytes) {
    const auto* s = reinterpret_cast<const unsigned char*>(bytes.data());
    std::size_t i = 0;
    while (i < bytes.size()) {
        const auto len = utf8SequenceLength(s + i, bytes.size() - i);
        if (len == 0) {
            return false;
        }
        i += len;
    }
    return true;
}

std::string repairUtf8(std::string_view bytes) {
    static constexpr char kReplacement[] = "\xEF\xBF\xBD";
    std::string out;
    out.reserve(bytes.size());
    const auto* s = reinterpret_cast<const unsigned char*>(bytes.data());
    std::size_t i = 0;
    while (i < bytes.size()) {
        const auto len = utf8SequenceLength(s + i, bytes.size() - i);
        if (len > 0) {
            out.append(bytes.data() + i, len);
            i += len;
        } else {
            out.append(kReplacement);
            i += illFormedPrefix(s + i, bytes.size() - i);
        }
    }
    return out;
}

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

}  // namespace

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

std::string_view trimBlanks(std::string_view text) {
    constexpr std::string_view kBlanks = " \t\r\n";
    const auto begin = text.find_first_not_of(kBlanks);
    if (begin == std::string_view::npos) {
        return {};
    }
    return text.substr(begin, text.find_last_not_of(kBlanks) + 1 - begin);
}

std::string withoutLineFeed(std::string text) {
    if (!text.empty() && text.back() == '\n') {
        text.pop_back();
    }
    return text;
}

bool isAsciiLetter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

bool isAsciiDigit(char c) {
    return c >= '0' && c <= '9';
}

}  // namespace lumvex::platform
