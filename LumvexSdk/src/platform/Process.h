#pragma once

namespace lumvex::platform {

/// Records that the calling process has just made a thread of the library's own. Call it
/// from the thread that made it, once the thread exists.
void noteLibraryThreadMade();

/// Whether this process is a child made by fork() after the library had made its threads
/// in the parent. Those threads do not exist here, and any lock they held at the fork
/// stays held, so the library refuses to work in such a child.
bool isForkedChild();

}  // namespace lumvex::platform
