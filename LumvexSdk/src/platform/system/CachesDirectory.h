#pragma once

// Thread guarantees: every function is safe from any thread. Where the directory lies is
// kept under a lock of its own, which is taken before the bundle's and never inside it.

#include <optional>
#include <string>

namespace lumvex::platform {

/// The application's caches directory: under the first base that is set and absolute (the
/// host's `setCachesDirectory`, `$XDG_CACHE_HOME`, the first entry of `$CACHE_DIRECTORY`,
/// `$HOME/.cache`, `.cache` in the passwd entry's home), the folder that `storeName` gives
/// (Identity.h: the application's identifier, else the executable's name with the API
/// key's tag). Where it lies is settled once, at the first need, so that a host rewriting
/// its Info.plist meanwhile cannot scatter the stores over several directories; a host that
/// names another bundle directory has it settled afresh. Created with mode 0700 when
/// missing; refused when it is a symbolic link, not a directory or another user's. Nothing
/// when it cannot be had; why is logged. When it lies under `$CACHE_DIRECTORY` while `$HOME`
/// is set, the library's files that an earlier version kept in `$HOME/.cache/<name>` are
/// carried over into it at the first need, before it is given out, with a log line.
std::optional<std::string> cachesDirectory();
/// The same, saying why in `why` instead of logging it.
std::optional<std::string> cachesDirectory(std::string& why);

/// Makes the next `cachesDirectory()` settle its place afresh: for tests that move the
/// cache home.
void forgetCachesDirectory();

}  // namespace lumvex::platform
