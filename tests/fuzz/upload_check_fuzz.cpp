// Arbitrary request targets and bodies into the collector's checks. The first line of an
// input is the target, the rest the body. A body the check accepts must be accepted again
// once written out, so that what the collector stores is what it checked.

#include "FuzzSupport.h"
#include "UploadCheck.h"

#include <cstddef>
#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    const auto newline = input.find('\n');
    const auto target = input.substr(0, newline);
    const auto body = newline == std::string::npos ? std::string() : input.substr(newline + 1);

    if (const auto key = collector::apiKeyFromTarget(target)) {
        FUZZ_CHECK(target.compare(0, 8, "/api/v1/") == 0);
        FUZZ_CHECK(key->size() <= target.size());
    }

    std::string reason;
    const auto upload = collector::checkUpload(body, reason);
    if (!upload) {
        FUZZ_CHECK(!reason.empty());
        return 0;
    }
    FUZZ_CHECK(upload->is_object() && upload->size() == 4);
    std::string again;
    FUZZ_CHECK(collector::checkUpload(upload->dump(), again));
    return 0;
}
