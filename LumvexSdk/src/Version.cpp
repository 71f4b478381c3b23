#include <LumvexSdk/LumvexSdk.h>

#include "BuildConfig.h"

// The declarations in the umbrella header already carry the export attribute.
const double LumvexSdkVersionNumber = 1.0;
const unsigned char LumvexSdkVersionString[] = LUMVEX_VERSION_STRING;
