#pragma once

// Thread guarantees: safe from any thread; it keeps nothing between calls. Two processes
// that carry the same files at once each move a file at most once, and never over another.

#include <string>
#include <vector>

namespace lumvex::platform {

/// Moves the library's own files (those named "*.lmx": the fixes, the recorded request, the
/// description last delivered) from `from`, where an earlier version of the library kept
/// them, into `to`, so that an upgrade that moves the caches directory neither strands
/// them nor leaves two stores. `from` is used only when it is a real directory of this
/// user; a file is moved only when it is a regular file of this user and `to` has none of
/// its name, and is otherwise left where it is. Gives the lines to log: what was moved and
/// what was left, nothing when `from` holds none of our files.
std::vector<std::string> carryOverStores(const std::string& from, const std::string& to);

}  // namespace lumvex::platform
