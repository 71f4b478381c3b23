#!/usr/bin/env bash
# Installs the library into a temporary prefix and builds a tiny host against it, once
# with CMake's find_package and once with pkg-config, then runs both.
set -euo pipefail
cd "$(dirname "$0")/.."
build="${1:-build/default}"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

cmake --install "$build" --prefix "$work/prefix" > /dev/null
libdir="$(dirname "$(find "$work/prefix" -name 'libLumvexSdk.so' | head -n 1)")"

# A bundle for the host: an Info.plist with a key, and a caches directory of its own.
mkdir -p "$work/bundle"
cat > "$work/bundle/Info.plist" <<'PLIST'
<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0"><dict>
<key>CFBundleIdentifier</key><string>com.example.consumer</string>
<key>lumvex_api_key</key><string>consumer-key</string>
</dict></plist>
PLIST
export XDG_CACHE_HOME="$work/cache"

cmake -S tests/consumer -B "$work/cmake" -G Ninja -DCMAKE_PREFIX_PATH="$work/prefix" > /dev/null
cmake --build "$work/cmake" > /dev/null
LD_LIBRARY_PATH="$libdir" "$work/cmake/consumer"
LD_LIBRARY_PATH="$libdir" "$work/cmake/consumer" "$work/bundle"

export PKG_CONFIG_PATH="$libdir/pkgconfig"
# shellcheck disable=SC2046
c++ tests/consumer/main.cpp -o "$work/consumer-pc" $(pkg-config --cflags --libs lumvexsdk)
LD_LIBRARY_PATH="$libdir" "$work/consumer-pc" "$work/bundle"
echo "consumer test: 2 passed, 0 failed"
