// A tiny host built against an installed copy of the library.
#include <LumvexSdk/LumvexSdk.h>

#include <cstdio>
#include <cstring>

int main() {
    auto config = lumvex::LumvexConfiguration::Builder().pushFrequency(60).build();
    // No Info.plist beside this program: the key is empty and start must say so.
    auto refused = lumvex::Lumvex::shared().start(config);
    if (!refused || *refused != lumvex::LumvexStartException::INVALID_EMPTY_API_KEY) {
        std::puts("unexpected start result");
        return 1;
    }
    if (std::strcmp(reinterpret_cast<const char*>(LumvexSdkVersionString), "1.0.0") != 0 ||
        LumvexSdkVersionNumber != 1.0) {
        std::puts("unexpected version");
        return 1;
    }
    std::printf("consumer ok: %s\n", lumvex::to_string(*refused).c_str());
    return 0;
}
