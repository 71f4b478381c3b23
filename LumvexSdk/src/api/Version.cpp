#include <LumvexSdk/Version.h>

// The declarations in the public header already carry the export attribute.
const double LumvexSdkVersionNumber = 1.0;
const unsigned char LumvexSdkVersionString[] = LUMVEX_VERSION_STRING;

namespace lumvex {

const char* versionString() noexcept {
    return LUMVEX_VERSION_STRING;
}

}  // namespace lumvex
