#pragma once

/// Everything a host application uses: the facade, the configuration, the error kinds
/// and the platform knobs.
#include <LumvexSdk/Errors.h>
#include <LumvexSdk/Lumvex.h>
#include <LumvexSdk/LumvexConfiguration.h>
#include <LumvexSdk/Platform.h>

extern "C" {
/// 1.0
LUMVEX_API extern const double LumvexSdkVersionNumber;
/// The build's version text, NUL-terminated.
LUMVEX_API extern const unsigned char LumvexSdkVersionString[];
}
