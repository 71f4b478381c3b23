#pragma once

// Marks the symbols that the shared library exports; everything else stays hidden.
#if defined(LUMVEX_BUILDING_LIBRARY)
#define LUMVEX_API __attribute__((visibility("default")))
#else
#define LUMVEX_API
#endif
