#pragma once

// Thread guarantees: none of its own; host code runs on the calling thread.

#include <cxxabi.h>

#include <utility>

/// In a catch sequence, ahead of `catch (...)`: lets a thread's forced unwind go on.
/// pthread_exit and pthread_cancel end a thread by unwinding it, and so does an interpreter
/// that ends its threads at exit while one of them is inside host code that the library
/// called. That unwind must reach the thread's start: caught and not thrown again, it
/// aborts the whole process ("FATAL: exception not rethrown").
///
/// A function with such a handler is marked LUMVEX_CATCHES_FORCED_UNWIND: the unwind
/// carries no exception object, so the handler's reference is bound to null by design, which
/// the undefined-behaviour sanitizer's null check would report as a fault.
#if defined(__GNUC__) || defined(__clang__)
#define LUMVEX_CATCHES_FORCED_UNWIND __attribute__((no_sanitize("null")))
#else
#define LUMVEX_CATCHES_FORCED_UNWIND
#endif
#define LUMVEX_PASS_FORCED_UNWIND   \
    catch (abi::__forced_unwind&) { \
        throw;                      \
    }

namespace lumvex::platform {

/// Runs host code (a push callback, the log handler): what it throws is dropped, since it
/// must not end the library's thread or reach the line that called it; a forced unwind
/// goes on (see LUMVEX_PASS_FORCED_UNWIND), so every frame between this call and the
/// thread's start must let it through too: no `noexcept`, no `catch (...)` without it.
template <typename Call>
LUMVEX_CATCHES_FORCED_UNWIND void callHostCode(Call&& call) {
    try {
        std::forward<Call>(call)();
    }
    LUMVEX_PASS_FORCED_UNWIND
    catch (...) {
    }
}

}  // namespace lumvex::platform
