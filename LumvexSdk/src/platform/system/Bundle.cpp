#include "platform/system/Bundle.h"

#include "platform/base/Guarded.h"
#include "platform/base/NoDestructor.h"
#include "platform/system/Files.h"

#include <LumvexSdk/Platform.h>

#include <plist/plist.h>

#include <unistd.h>
#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

namespace lumvex {
namespace platform {

namespace {

// The directory that the host gave with setMainBundleDirectory; empty until it does.
Guarded<std::string>& configuredDirectory() {
    static NoDestructor<Guarded<std::string>> directory;
    return *directory;
}

// Moved after the directory changes, so that whoever sees the new count sees the new
// directory.
std::atomic<std::uint64_t> bundleChanges{0};

const std::string& executablePath() {
    // The running executable does not change; a lookup on every use costs a system call.
    static NoDestructor<std::string> path([] {
        char buffer[PATH_MAX];
        const ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof(buffer) - 1);
        return n <= 0 ? std::string() : std::string(buffer, static_cast<std::size_t>(n));
    }());
    return *path;
}

struct PlistDeleter {
    void operator()(void* node) const { plist_free(static_cast<plist_t>(node)); }
};
using PlistPtr = std::unique_ptr<void, PlistDeleter>;

// Largest Info.plist we accept; a real one is a few kilobytes.
constexpr std::size_t kMaxPlistBytes = 4u * 1024u * 1024u;

// Deepest nesting of arrays and dictionaries we let the parser see. A real Info.plist
// nests a handful of levels; the parser recurses once per level, so a hostile file of
// thousands of levels would overflow the host's stack (and takes time growing with the
// square of the depth).
constexpr int kMaxPlistDepth = 64;

std::uint64_t readBigEndian(const unsigned char* p, std::size_t size) {
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < size; ++i) {
        value = (value << 8) | p[i];
    }
    return value;
}

// Walks the object graph of a binary property list without building it: whether every
// reference is in range, there is no cycle and no path is deeper than kMaxPlistDepth.
class BinaryPlistShape {
public:
    explicit BinaryPlistShape(const std::string& data)
        : bytes_(reinterpret_cast<const unsigned char*>(data.data())), size_(data.size()) {}

    bool acceptable() {
        if (size_ < 8 + 32) {
            return false;
        }
        const unsigned char* trailer = bytes_ + size_ - 32;
        offsetSize_ = trailer[6];
        refSize_ = trailer[7];
        const auto count = readBigEndian(trailer + 8, 8);
        const auto top = readBigEndian(trailer + 16, 8);
        const auto table = readBigEndian(trailer + 24, 8);
        if (offsetSize_ < 1 || offsetSize_ > 8 || refSize_ < 1 || refSize_ > 8 || count == 0 ||
            count > size_ || top >= count || table >= size_ || (size_ - table) / offsetSize_ < count) {
            return false;
        }
        count_ = static_cast<std::size_t>(count);
        table_ = static_cast<std::size_t>(table);
        height_.assign(count_, kUnvisited);
        return heightOf(static_cast<std::size_t>(top), 0) >= 0;
    }

private:
    static constexpr int kUnvisited = -1;
    static constexpr int kOnPath = -2;

    // The height of the subtree at `index` reached `level` levels down, or -1 when the
    // graph is unacceptable there.
    int heightOf(std::size_t index, int level) {
        if (level > kMaxPlistDepth) {
            return -1;
        }
        if (height_[index] == kOnPath) {
            return -1;  // a cycle
        }
        if (height_[index] >= 0) {
            return level + height_[index] > kMaxPlistDepth ? -1 : height_[index];
        }
        const auto offset = readBigEndian(bytes_ + table_ + index * offsetSize_, offsetSize_);
        if (offset >= size_) {
            return -1;
        }
        std::size_t at = static_cast<std::size_t>(offset);
        const unsigned char marker = bytes_[at++];
        const unsigned type = marker >> 4;
        if (type != 0xA && type != 0xC && type != 0xD) {
            height_[index] = 0;  // not a container: its own bytes are the parser's to check
            return 0;
        }
        std::uint64_t entries = marker & 0x0F;
        if (entries == 0x0F) {
            if (at >= size_ || (bytes_[at] >> 4) != 0x1) {
                return -1;
            }
            const std::size_t width = std::size_t{1} << (bytes_[at] & 0x0F);
            ++at;
            if (width > 8 || size_ - at < width) {
                return -1;
            }
            entries = readBigEndian(bytes_ + at, width);
            at += width;
        }
        const std::uint64_t refs = type == 0xD ? entries * 2 : entries;
        if (entries > size_ || (size_ - at) / refSize_ < refs) {
            return -1;
        }
        height_[index] = kOnPath;
        int height = 0;
        for (std::uint64_t i = 0; i < refs; ++i) {
            const auto child = readBigEndian(bytes_ + at + i * refSize_, refSize_);
            if (child >= count_) {
                return -1;
            }
            const int below = heightOf(static_cast<std::size_t>(child), level + 1);
            if (below < 0) {
                return -1;
            }
            height = std::max(height, below + 1);
        }
        height_[index] = height;
        return height;
    }

    const unsigned char* bytes_;
    std::size_t size_;
    std::size_t offsetSize_ = 0;
    std::size_t refSize_ = 0;
    std::size_t count_ = 0;
    std::size_t table_ = 0;
    std::vector<int> height_;
};

// Whether no element of an XML property list lies deeper than kMaxPlistDepth below the
// root dictionary. Comments, CDATA sections, declarations and processing instructions
// are skipped; an empty element such as <true/> adds no level.
bool xmlPlistDepthAcceptable(const std::string& data) {
    int depth = 0;
    std::size_t at = 0;
    while ((at = data.find('<', at)) != std::string::npos) {
        const auto skipTo = [&](const char* end) {
            const auto found = data.find(end, at);
            at = found == std::string::npos ? data.size() : found + std::strlen(end);
        };
        if (data.compare(at, 4, "<!--") == 0) {
            skipTo("-->");
        } else if (data.compare(at, 9, "<![CDATA[") == 0) {
            skipTo("]]>");
        } else if (data.compare(at, 2, "<?") == 0 || data.compare(at, 2, "<!") == 0) {
            skipTo(">");
        } else if (data.compare(at, 2, "</") == 0) {
            --depth;
            skipTo(">");
        } else {
            const auto close = data.find('>', at);
            if (close == std::string::npos) {
                return true;  // unterminated: the parser refuses it
            }
            if (data[close - 1] != '/' && ++depth > kMaxPlistDepth + 2) {  // <plist><dict> ...
                return false;
            }
            at = close + 1;
        }
    }
    return true;
}

PlistPtr readInfoDictionary(const std::string& directory) {
    // A FIFO or a device there must not block the caller, nor an endless file fill memory.
    const auto data = readFileBounded(directory + "/Info.plist", kMaxPlistBytes);
    if (!data || data->empty()) {
        return nullptr;
    }
    const bool binary = data->compare(0, 8, "bplist00") == 0;
    if (binary ? !BinaryPlistShape(*data).acceptable() : !xmlPlistDepthAcceptable(*data)) {
        return nullptr;
    }
    plist_t root = nullptr;
    plist_from_memory(data->data(), static_cast<uint32_t>(data->size()), &root);
    PlistPtr owned(root);
    if (!root || plist_get_node_type(root) != PLIST_DICT) {
        return nullptr;
    }
    return owned;
}

// The last Info.plist parsed, kept while its file keeps its identity: every upload looks up
// a few keys, and parsing the file each time cost more than the rest of the upload's body.
struct ParsedInfo {
    std::string directory;
    std::optional<FileIdentity> identity;  // nothing: no file
    PlistPtr dictionary;                   // null: none readable
    bool valid = false;
};

Guarded<ParsedInfo>& parsedInfo() {
    static NoDestructor<Guarded<ParsedInfo>> info;  // lookups may run during exit
    return *info;
}

/// Runs `use` on the information dictionary of `directory` (null when there is none), under
/// the cache's lock: the parsed tree is shared, and libplist's lookups are not safe from
/// several threads at once.
template <typename Use>
auto withInfoDictionary(const std::string& directory, Use use) {
    const auto identity = fileIdentityOnce(directory + "/Info.plist");
    return parsedInfo().with([&](ParsedInfo& info) {
        if (!info.valid || info.directory != directory || info.identity != identity) {
            info.dictionary = readInfoDictionary(directory);
            info.directory = directory;
            info.identity = identity;
            info.valid = true;
        }
        return use(static_cast<plist_t>(info.dictionary.get()));
    });
}

}  // namespace

std::string executableDirectory() {
    const auto& path = executablePath();
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

std::string executableName() {
    const auto& path = executablePath();
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

void setMainBundleDirectory(const std::string& path) {
    configuredDirectory().with([&path](std::string& directory) { directory = path; });
    bundleChanges.fetch_add(1);
}

void noteMainBundleChanged() {
    bundleChanges.fetch_add(1);
}

std::uint64_t mainBundleChanges() {
    return bundleChanges.load();
}

Bundle Bundle::main() {
    auto configured = configuredDirectory().with([](const std::string& directory) { return directory; });
    return Bundle(configured.empty() ? executableDirectory() : std::move(configured));
}

bool Bundle::hasInfoDictionary() const {
    return withInfoDictionary(directory_, [](plist_t dict) { return dict != nullptr; });
}

InfoValue Bundle::infoValue(const std::string& key) const {
    return withInfoDictionary(directory_, [&key](plist_t dict) {
        InfoValue value;
        plist_t item = dict ? plist_dict_get_item(dict, key.c_str()) : nullptr;
        if (!item) {
            return value;
        }
        value.present = true;
        if (plist_get_node_type(item) == PLIST_STRING) {
            uint64_t length = 0;
            const char* text = plist_get_string_ptr(item, &length);
            if (text) {
                value.string = std::string(text, static_cast<std::size_t>(length));
            }
        }
        return value;
    });
}

std::optional<std::string> Bundle::stringForKey(const std::string& key) const {
    return infoValue(key).string;
}

}  // namespace platform
}  // namespace lumvex
