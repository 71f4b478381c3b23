#include "platform/system/VendorId.h"

#include "platform/base/Guarded.h"
#include "platform/base/NoDestructor.h"
#include "platform/base/Text.h"
#include "platform/system/Bundle.h"
#include "platform/system/Device.h"
#include "platform/system/DeviceSources.h"
#include "platform/system/Identity.h"

#include <sodium.h>

#include <array>
#include <optional>

namespace lumvex::platform {

namespace {

int hexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

// The 16 bytes of the machine id: 32 hexadecimal digits, then at most a line feed. An
// unset ("uninitialized", empty) or all-zero id is no id.
std::optional<std::string> machineId(const DeviceSources& sources) {
    const auto text = readSystemFile(sources, "/etc/machine-id");
    if (!text) {
        return std::nullopt;
    }
    const auto hex = withoutLineFeed(*text);
    if (hex.size() != 32) {
        return std::nullopt;
    }
    std::string bytes(16, '\0');
    bool allZero = true;
    for (std::size_t i = 0; i < 16; ++i) {
        const int hi = hexValue(hex[2 * i]);
        const int lo = hexValue(hex[2 * i + 1]);
        if (hi < 0 || lo < 0) {
            return std::nullopt;
        }
        bytes[i] = static_cast<char>(hi * 16 + lo);
        allZero = allZero && bytes[i] == '\0';
    }
    if (allZero) {
        return std::nullopt;
    }
    return bytes;
}

}  // namespace

std::string Device::vendor() {
    // The application's identifier (the host's, else the bundle's), else the executable's
    // name.
    auto identifier = applicationIdentifier().value_or(executableName());
    // A one-component identifier has no vendor part; it stands for itself rather than
    // sharing one id with every other such host.
    const auto dot = identifier.rfind('.');
    if (dot == std::string::npos || dot == 0) {
        return identifier;
    }
    return identifier.substr(0, dot);
}

std::optional<std::string> Device::identifierForVendor() {
    const auto machine = machineId(currentDeviceSources());
    if (!machine || sodium_init() < 0) {
        return std::nullopt;
    }
    const auto vendorName = vendor();
    // Every upload sends the id; the two digests behind it are made again only when the
    // machine or the vendor changed.
    struct Kept {
        std::string machine, vendor, id;
    };
    static NoDestructor<Guarded<Kept>> kept;  // uploads may be built during exit
    {
        auto last = kept->lock();
        if (!last->id.empty() && last->machine == *machine && last->vendor == vendorName) {
            return last->id;
        }
    }
    // systemd's app ids are 128-bit values; ours is the first half of the SHA-256 of the
    // vendor's UTF-8 bytes. That keeps it fixed for a vendor across runs and versions,
    // and different for different vendors.
    std::array<unsigned char, crypto_hash_sha256_BYTES> digest{};
    crypto_hash_sha256(digest.data(), reinterpret_cast<const unsigned char*>(vendorName.data()),
                       vendorName.size());
    const std::string appId(reinterpret_cast<const char*>(digest.data()), 16);
    auto id = appSpecificId(*machine, appId);
    if (id.empty()) {
        return std::nullopt;
    }
    auto last = kept->lock();
    last->machine = *machine;
    last->vendor = vendorName;
    last->id = id;
    return id;
}

std::string appSpecificId(const std::string& machineIdBytes, const std::string& appId) {
    if (machineIdBytes.size() != 16 || appId.size() != 16 || sodium_init() < 0) {
        return {};
    }
    crypto_auth_hmacsha256_state state;
    std::array<unsigned char, crypto_auth_hmacsha256_BYTES> mac{};
    crypto_auth_hmacsha256_init(&state, reinterpret_cast<const unsigned char*>(machineIdBytes.data()),
                                machineIdBytes.size());
    crypto_auth_hmacsha256_update(&state, reinterpret_cast<const unsigned char*>(appId.data()), appId.size());
    crypto_auth_hmacsha256_final(&state, mac.data());
    sodium_memzero(&state, sizeof(state));
    // Version 4, variant 1 (RFC 4122), as a random UUID would be.
    mac[6] = static_cast<unsigned char>((mac[6] & 0x0F) | 0x40);
    mac[8] = static_cast<unsigned char>((mac[8] & 0x3F) | 0x80);
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(36);
    for (std::size_t i = 0; i < 16; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) {
            text.push_back('-');
        }
        text.push_back(kDigits[mac[i] >> 4]);
        text.push_back(kDigits[mac[i] & 0x0F]);
    }
    sodium_memzero(mac.data(), mac.size());
    return text;
}

}  // namespace lumvex::platform
