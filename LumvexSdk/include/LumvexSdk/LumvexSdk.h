#pragma once

// The headers use C++17 throughout (std::optional, nested namespaces); an older standard
// would fail somewhere inside them with a message that names neither the cause nor the cure.
#if !defined(__cplusplus) || __cplusplus < 201703L
#error \
    "LumvexSdk needs C++17 or newer: compile with -std=c++17 (or link LumvexSdk::LumvexSdk in CMake, which asks for it)"
#else

/// Everything a host application uses: the facade, the configuration, the error kinds,
/// the run loop, the platform knobs and the version.
#include <LumvexSdk/Errors.h>
#include <LumvexSdk/Lumvex.h>
#include <LumvexSdk/LumvexConfiguration.h>
#include <LumvexSdk/Platform.h>
#include <LumvexSdk/RunLoop.h>
#include <LumvexSdk/Version.h>

#endif
