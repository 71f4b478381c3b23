// Arbitrary bytes as the host's Info.plist (XML or binary): the lookups must not fail,
// agree with one another, and the bundle identifier must never lead the caches directory
// out of its parent.

#include "FuzzSupport.h"
#include "platform/system/Bundle.h"
#include "platform/system/CachesDirectory.h"

#include <cstddef>
#include <cstdint>

using namespace lumvex;

namespace {
std::string bundleDir;
std::string cacheBase;
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    bundleDir = fuzz::scratchDirectory() + "/bundle";
    cacheBase = fuzz::scratchDirectory() + "/cache";
    std::filesystem::create_directories(bundleDir);
    ::setenv("XDG_CACHE_HOME", cacheBase.c_str(), 1);
    platform::setMainBundleDirectory(bundleDir);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::writeBytes(bundleDir + "/Info.plist", reinterpret_cast<const char*>(data), size);
    const auto bundle = platform::Bundle::main();

    const bool hasDictionary = bundle.hasInfoDictionary();
    for (const char* key : {"lumvex_api_key", "CFBundleShortVersionString", "CFBundleIdentifier"}) {
        const auto value = bundle.infoValue(key);
        FUZZ_CHECK(hasDictionary || !value.present);
        FUZZ_CHECK(value.present || !value.string);
        FUZZ_CHECK(bundle.stringForKey(key) == value.string);
    }

    if (const auto caches = platform::cachesDirectory()) {
        FUZZ_CHECK(caches->compare(0, cacheBase.size() + 1, cacheBase + "/") == 0);
        const auto name = caches->substr(cacheBase.size() + 1);
        FUZZ_CHECK(!name.empty() && name != "." && name != "..");
        FUZZ_CHECK(name.find('/') == std::string::npos && name.find('\0') == std::string::npos);
    }
    return 0;
}
