#include "platform/system/Identity.h"

#include "platform/base/Guarded.h"
#include "platform/base/NoDestructor.h"
#include "platform/base/Text.h"
#include "platform/system/Bundle.h"
#include "platform/system/Files.h"

#include <LumvexSdk/Platform.h>

#include <sodium.h>

#include <climits>

namespace lumvex::platform {

namespace {

constexpr const char* KEY_FILENAME = "key.lmx";
constexpr std::size_t TAG_DIGITS = 16;

struct IdentityState {
    std::optional<std::string> identifier;  // given in code
    std::string version;                    // given in code with it
    std::optional<std::string> key;         // in force
    bool started = false;                   // a start has set the key
};

Guarded<IdentityState>& identityState() {
    // Stores on the library's threads may still name their folder while the process exits.
    static NoDestructor<Guarded<IdentityState>> state;
    return *state;
}

// A NUL byte would end the path early: "..\0x" would name the parent directory. A name
// longer than the file system allows would make every file operation fail.
bool canNameFolder(const std::string& name) {
    return !name.empty() && name.size() <= NAME_MAX && name != "." && name != ".." &&
           name.find('/') == std::string::npos && name.find('\0') == std::string::npos;
}

// "<name>-<tag>", shortening the name so that the whole stays a valid file name.
std::string tagged(const std::string& name, const std::string& key) {
    const auto tag = keyTag(key);
    return name.substr(0, NAME_MAX - tag.size() - 1) + "-" + tag;
}

// The tag that `directory`'s "key.lmx" names, when it names one.
std::optional<std::string> markedTag(const std::string& directory) {
    const auto text = readFileBounded(directory + "/" + KEY_FILENAME, 256, Links::dontFollow);
    if (!text) {
        return std::nullopt;
    }
    return base64Decode(withoutLineFeed(*text));
}

}  // namespace

std::string keyTag(const std::string& key) {
    unsigned char digest[crypto_hash_sha256_BYTES];
    // SHA-256 needs none of what it sets up; called as libsodium asks of its users.
    [[maybe_unused]] static const bool initialised = sodium_init() >= 0;
    crypto_hash_sha256(digest, reinterpret_cast<const unsigned char*>(key.data()), key.size());
    static const char* const digits = "0123456789abcdef";
    std::string tag;
    for (std::size_t i = 0; i < TAG_DIGITS / 2; ++i) {
        tag.push_back(digits[digest[i] >> 4]);
        tag.push_back(digits[digest[i] & 0xf]);
    }
    return tag;
}

std::optional<std::string> applicationIdentifier() {
    auto given = identityState().with([](const IdentityState& s) { return s.identifier; });
    if (!given) {
        given = Bundle::main().stringForKey("CFBundleIdentifier");
    }
    if (!given || !canNameFolder(*given)) {
        return std::nullopt;
    }
    return given;
}

std::string applicationVersion() {
    auto given = identityState().with([](const IdentityState& s) -> std::optional<std::string> {
        if (s.identifier) {
            return s.version;
        }
        return std::nullopt;
    });
    if (given) {
        return *given;
    }
    // No fallback is defined for a host without a version; an empty one still lets the
    // description be sent and compared.
    return Bundle::main().stringForKey("CFBundleShortVersionString").value_or("");
}

void noteApiKey(const std::string& key, KeyUse use) {
    if (key.empty()) {
        return;
    }
    const bool changed = identityState().with([&key, use](IdentityState& s) {
        // A configuration built after a start does not move the running library's store.
        if (use == KeyUse::built && s.started) {
            return false;
        }
        s.started = s.started || use == KeyUse::started;
        if (s.key == key) {
            return false;
        }
        s.key = key;
        return true;
    });
    if (changed) {
        noteMainBundleChanged();
    }
}

std::optional<std::string> storeName(const std::string& base, std::string& why) {
    const auto key = identityState().with([](const IdentityState& s) { return s.key; });
    if (auto identifier = applicationIdentifier()) {
        if (!key) {
            return identifier;
        }
        const auto marked = markedTag(base + "/" + *identifier);
        return !marked || *marked == keyTag(*key) ? *identifier : tagged(*identifier, *key);
    }
    const auto executable = executableName();
    if (!canNameFolder(executable)) {
        why = "No usable name for the caches directory";
        return std::nullopt;
    }
    if (!key) {
        why =
            "No store yet: without an application identifier (lumvex::platform::setApplicationIdentity "
            "or an Info.plist's CFBundleIdentifier) the store is named after the API key, and no "
            "configuration with one has been built";
        return std::nullopt;
    }
    return tagged(executable, *key);
}

void claimStore(const std::string& directory) {
    const auto key = identityState().with([](const IdentityState& s) { return s.key; });
    const auto identifier = applicationIdentifier();
    const auto slash = directory.rfind('/');
    if (!key || !identifier || slash == std::string::npos ||
        directory.compare(slash + 1, std::string::npos, *identifier) != 0) {
        return;  // a folder named after the key needs no mark
    }
    const auto path = directory + "/" + KEY_FILENAME;
    if (fileIdentity(path, Links::dontFollow)) {
        return;
    }
    writeFileAtomically(path, base64Encode(keyTag(*key)) + "\n");
}

void forgetIdentity() {
    identityState().with([](IdentityState& s) { s = IdentityState(); });
    noteMainBundleChanged();
}

void setApplicationIdentity(const std::string& identifier, const std::string& version) {
    identityState().with([&](IdentityState& s) {
        if (identifier.empty()) {
            s.identifier.reset();
            s.version.clear();
        } else {
            s.identifier = identifier;
            s.version = version;
        }
    });
    noteMainBundleChanged();
}

}  // namespace lumvex::platform
