#include "platform/system/Locale.h"

#include "platform/base/Text.h"
#include "platform/system/DeviceSources.h"

namespace lumvex::platform {

Locale Locale::current() {
    const auto sources = currentDeviceSources();
    for (const char* variable : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        const auto value = environmentValue(sources, variable);
        if (!value.empty()) {
            return fromName(value);
        }
    }
    return Locale();
}

Locale Locale::fromName(const std::string& name) {
    Locale locale;
    // A path names a locale definition, not a language.
    if (name.find('/') != std::string::npos) {
        return locale;
    }
    auto base = name.substr(0, name.find('@'));
    base = base.substr(0, base.find('.'));
    const auto underscore = base.find('_');
    const auto language = base.substr(0, underscore);
    // ISO 639 codes are two or three letters, which also sets "C" and "POSIX" aside.
    if (language.size() < 2 || language.size() > 3) {
        return locale;
    }
    for (const char c : language) {
        if (!isAsciiLetter(c)) {
            return locale;
        }
    }
    for (const char c : language) {
        locale.language_.push_back(static_cast<char>(c | 0x20));
    }
    if (underscore == std::string::npos) {
        return locale;
    }
    const auto region = base.substr(underscore + 1);
    bool letters = region.size() == 2;
    bool digits = region.size() == 3;
    for (const char c : region) {
        letters = letters && isAsciiLetter(c);
        digits = digits && isAsciiDigit(c);
    }
    if (letters) {
        for (const char c : region) {
            locale.region_.push_back(static_cast<char>(c & ~0x20));
        }
    } else if (digits) {
        locale.region_ = region;
    }
    return locale;
}

}  // namespace lumvex::platform
