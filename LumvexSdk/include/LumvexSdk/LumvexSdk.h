#pragma once

/// Everything a host application uses: the facade, the configuration, the error kinds,
/// the run loop, the platform knobs and the version.
#include <LumvexSdk/Errors.h>
#include <LumvexSdk/Lumvex.h>
#include <LumvexSdk/LumvexConfiguration.h>
#include <LumvexSdk/Platform.h>
#include <LumvexSdk/RunLoop.h>
#include <LumvexSdk/Version.h>
