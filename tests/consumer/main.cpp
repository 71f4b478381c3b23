// A tiny host built against the library the ways that projects adopt it. It reaches every
// public entry point, so that a symbol missing from the shared library fails to link here.
// With a directory as its argument it uses the Info.plist there and starts the library.

// Common in C code; the library's headers must be includable around it.
#define ERROR 0
#pragma push_macro("ERROR")
#undef ERROR
#include <LumvexSdk/LumvexSdk.h>
#pragma pop_macro("ERROR")

#if defined(LUMVEX_CONSUMER_EXPECT_CPLUSPLUS) && __cplusplus != LUMVEX_CONSUMER_EXPECT_CPLUSPLUS
#error "the host's language standard was overridden"
#endif
#if __cplusplus < 201703L
#error "the library's headers need C++17"
#endif

#include <chrono>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>

static_assert(ERROR == 0, "the host's own macro is back after the library's headers");
static_assert(LUMVEX_VERSION_MAJOR == 1 && LUMVEX_VERSION_MINOR >= 0 && LUMVEX_VERSION_PATCH >= 0,
              "version macros");

namespace {

int fail(const char* what) {
    std::printf("consumer: %s\n", what);
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string fromMacros = std::to_string(LUMVEX_VERSION_MAJOR) + "." +
                                   std::to_string(LUMVEX_VERSION_MINOR) + "." +
                                   std::to_string(LUMVEX_VERSION_PATCH);
    if (fromMacros != LUMVEX_VERSION_STRING || fromMacros != lumvex::versionString() ||
        std::strcmp(reinterpret_cast<const char*>(LumvexSdkVersionString), lumvex::versionString()) != 0 ||
        LumvexSdkVersionNumber != 1.0) {
        return fail("unexpected version");
    }
    std::cout << "consumer: library " << LumvexSdkVersionString << "\n";
    if (lumvex::make_error_code(lumvex::LumvexException::PUSH_FAILED).category().name() !=
            std::string("LumvexSdk.LumvexException") ||
        std::error_code(lumvex::LumvexStartException::ALREADY_STARTED).value() != 1) {
        return fail("unexpected error codes");
    }
    auto& lumvex = lumvex::Lumvex::shared();
    if (argc < 2) {
        // No Info.plist beside this program: the key is empty and start must say so.
        auto refused = lumvex.start(lumvex::LumvexConfiguration::Builder().pushFrequency(60).build());
        if (!refused || *refused != lumvex::LumvexStartException::INVALID_EMPTY_API_KEY) {
            return fail("unexpected start result");
        }
        std::printf("consumer ok: %s\n", lumvex::to_string(*refused).c_str());
        return 0;
    }

    lumvex::platform::setMainBundleDirectory(argv[1]);
    lumvex::platform::useGpsd("127.0.0.1", "1");
    lumvex::platform::setLocationServicesEnabled(false);
    // ERROR spelled by value, as a host with the macro in force does.
    if (lumvex.start(lumvex::LumvexConfiguration::Builder().endpoint("not a url").build()) !=
        lumvex::LumvexStartException{0}) {
        return fail("a bad endpoint was not refused");
    }
    auto config = lumvex::LumvexConfiguration::Builder()
                      .pushFormat(lumvex::PushFormat::LOCATION_ONLY)
                      .pushRegion(lumvex::PushRegion::US)
                      .pushFrequency(60)
                      .enableDebugLog(false)
                      .endpoint("http://127.0.0.1:1/")
                      .build();
    if (!lumvex::LumvexConfiguration::defaultEuConfig() || !lumvex::LumvexConfiguration::defaultUsConfig()) {
        return fail("no default configurations");
    }
    if (auto refused = lumvex.start(config)) {
        return fail(("start refused: " + lumvex::to_string(refused)).c_str());
    }
    if (!lumvex.isStarted() || lumvex.start(config) != lumvex::LumvexStartException::ALREADY_STARTED) {
        return fail("not started once");
    }
    lumvex.addTrace({52.5163, 13.3777});
    lumvex::RunLoop::current().post([] { lumvex::RunLoop::current().stop(); });
    lumvex::RunLoop::current().runFor(std::chrono::seconds(5));
    lumvex.stop();
    // Stopped: neither uploads nor calls back.
    lumvex.forcePush(
        [](std::optional<lumvex::LumvexException>) { std::printf("consumer: unexpected callback\n"); });
    lumvex.applicationWillResignActive();
    if (lumvex.isStarted()) {
        return fail("still started");
    }
    std::printf("consumer ok: started with the key from %s/Info.plist and stopped\n", argv[1]);
    return 0;
}
