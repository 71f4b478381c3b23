#pragma once

// Every public header starts here; see LumvexSdk.h.
#if !defined(__cplusplus) || __cplusplus < 201703L
#error \
    "LumvexSdk needs C++17 or newer: compile with -std=c++17 (or link LumvexSdk::LumvexSdk in CMake, which asks for it)"
#endif

// Marks the symbols that the shared library exports; everything else stays hidden.
#if defined(LUMVEX_BUILDING_LIBRARY)
#define LUMVEX_API __attribute__((visibility("default")))
#else
#define LUMVEX_API
#endif
