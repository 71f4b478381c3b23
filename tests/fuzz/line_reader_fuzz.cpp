// Arbitrary bytes read back line by line: one line per line feed (and one for a last line
// without it), each the bytes up to its line feed as valid UTF-8, cut at a NUL byte.

#include "FuzzSupport.h"
#include "platform/base/Text.h"
#include "store/LineReader.h"

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

using namespace lumvex;

namespace {
std::string filePath;
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    filePath = fuzz::scratchDirectory() + "/lines";
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    fuzz::writeBytes(filePath, bytes.data(), bytes.size());

    // The lines as the file holds them, each with its line feed.
    std::vector<std::string_view> expected;
    for (std::size_t start = 0; start < bytes.size();) {
        const auto end = bytes.find('\n', start);
        const auto next = end == std::string_view::npos ? bytes.size() : end + 1;
        expected.push_back(bytes.substr(start, next - start));
        start = next;
    }

    auto reader = LineReader::open(filePath);
    FUZZ_CHECK(reader);
    std::size_t index = 0;
    for (const auto& line : *reader) {
        FUZZ_CHECK(index < expected.size());
        FUZZ_CHECK(platform::isValidUtf8(line));
        FUZZ_CHECK(line.find('\0') == std::string::npos);
        const auto raw = expected[index].substr(0, expected[index].find('\0'));
        FUZZ_CHECK(line == platform::repairUtf8(raw));
        if (platform::isValidUtf8(raw)) {
            FUZZ_CHECK(line == raw);
        }
        ++index;
    }
    FUZZ_CHECK(index == expected.size());
    // Single pass: a second walk gives nothing, and so does a closed reader.
    FUZZ_CHECK(reader->begin() == reader->end());
    reader->close();
    FUZZ_CHECK(!reader->nextLine());
    return 0;
}
