#pragma once

// What files looked like, remembered while the kernel reports no change to them: every
// upload body looks at a dozen files (the caches directory, the stores, the system files
// the device description is made of), which nearly never change between two bodies. One
// inotify descriptor for the process says what did; a body in which nothing changed costs
// one read of it instead of a stat per file.
//
// Thread guarantees: every function is safe from any thread; the remembered state has a
// lock of its own. In a forked child nothing is remembered (the descriptor is the
// parent's: reading it would take the parent's news away), and every answer is a stat.
// The descriptor and its watches live as long as the process (closed at exec); when the
// kernel refuses one (no inotify, limits reached), the paths concerned are simply asked
// every time, as before.

#include "platform/system/Files.h"

#include <optional>
#include <string>

namespace lumvex::platform {

/// Takes in what the kernel reported since the last call: one read when anything is
/// watched, none otherwise. Called once per round of checks (an outermost
/// `FileChecksOnce`); what is remembered is as current as the last call.
void noteFileChanges();

/// `fileIdentity(path, links)`, remembered from the first call until the kernel reports a
/// change on the way to it (the file, its folder, or a folder above it being renamed or
/// removed); absence is remembered too while the folder exists. A path whose folders are
/// reached through a symbolic link, a relative path, or one the kernel will not watch is
/// asked every time.
std::optional<FileIdentity> rememberedIdentity(const std::string& path, Links links, Changes changes);

}  // namespace lumvex::platform
