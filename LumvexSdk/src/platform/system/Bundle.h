#pragma once

// Thread guarantees: every call is safe from any thread. The parsed Info.plist is shared
// by all bundles and read under one lock, since libplist's lookups on one tree are not
// safe from several threads at once.

#include <cstdint>
#include <optional>
#include <string>

namespace lumvex::platform {

/// A value of the host's Info.plist, as far as the library needs to know it.
struct InfoValue {
    bool present = false;               // the key exists
    std::optional<std::string> string;  // its value, when it is a string
};

/// The host application's bundle: the directory holding its Info.plist (XML or binary).
/// The parsed property list is kept while its file keeps its identity (device, inode, size,
/// modification time), so a changed file is seen at the next lookup.
class Bundle final {
public:
    /// The host's bundle: the directory given to `setMainBundleDirectory`, else the
    /// directory of the running executable.
    static Bundle main();

    /// Whether an Info.plist with a dictionary at its root can be read.
    bool hasInfoDictionary() const;

    /// The value under `key` in the information dictionary.
    InfoValue infoValue(const std::string& key) const;

    /// The string under `key`, or nothing when it is absent or of another type.
    std::optional<std::string> stringForKey(const std::string& key) const;

    /// Where its Info.plist is read from.
    std::string infoPlistPath() const { return directory_ + "/Info.plist"; }

    explicit Bundle(std::string directory) : directory_(std::move(directory)) {}

private:
    std::string directory_;
};

/// How many times the host has named the main bundle's directory. What is derived from the
/// main bundle and kept (the caches directory's name) is settled again once this moves.
std::uint64_t mainBundleChanges();
/// Moves that count without a new directory: the identity given in code, or the key in
/// force, changed what the main bundle's derived names are.
void noteMainBundleChanged();

/// The directory of the running executable ("" when it cannot be found).
std::string executableDirectory();
/// The file name of the running executable ("" when it cannot be found).
std::string executableName();

}  // namespace lumvex::platform
