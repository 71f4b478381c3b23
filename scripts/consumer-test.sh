#!/usr/bin/env bash
# Builds tiny hosts against the library the ways that projects adopt a library, runs each,
# and counts what passed:
#
#   find-package-gcc    an installed copy, found with CMake's find_package, built with g++
#   find-package-clang  the same with clang++, whose default language standard is older
#   pkg-config-cxx20    an installed copy, found with pkg-config, built as C++20 with an rpath
#   subproject          the source tree through add_subdirectory, with default options
#   static              the library built again with BUILD_SHARED_LIBS=OFF and installed:
#                       a host found with find_package and one linked with
#                       `pkg-config --static`, neither needing libLumvexSdk.so
#   exported-symbols    the build's libLumvexSdk.so exports exactly the public API of its
#                       headers (tests/consumer/exported_symbols.py; needs clang++)
#
# The pkg-config way also checks that a host on C++14 gets the headers' own #error.
#
#   scripts/consumer-test.sh [build dir] [way...]   (default: build/default, every way)
#
# ctest runs each way as its own test. Exit status: 0 when none failed and one passed,
# 77 when every way was skipped (a compiler missing), 1 when one failed.
set -euo pipefail
cd "$(dirname "$0")/.."
root="$PWD"

if [[ "${1:-}" == "-h" || "${1:-}" == "--help" ]]; then
  awk 'NR > 1 && /^#/ { sub(/^# ?/, ""); print; next } NR > 1 { exit }' "$0"
  exit 0
fi
build="$(realpath "${1:-build/default}")"
shift || true
ways=("$@")
if [ ${#ways[@]} -eq 0 ]; then
  ways=(find-package-gcc find-package-clang pkg-config-cxx20 subproject static exported-symbols)
fi

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
generator=()
if command -v ninja >/dev/null; then
  generator=(-G Ninja)
fi
launcher=()
if [[ -n "${LUMVEX_CONSUMER_LAUNCHER:-}" ]]; then
  launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER="$LUMVEX_CONSUMER_LAUNCHER"
            -DCMAKE_C_COMPILER_LAUNCHER="$LUMVEX_CONSUMER_LAUNCHER")
fi

# A bundle for the hosts: an Info.plist with a key, and a caches directory of its own.
mkdir -p "$work/bundle"
cat > "$work/bundle/Info.plist" <<'PLIST'
<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0"><dict>
<key>CFBundleIdentifier</key><string>com.example.consumer</string>
<key>lumvex_api_key</key><string>consumer-key</string>
</dict></plist>
PLIST
export XDG_CACHE_HOME="$work/cache"

prefix=""
install_once() {
  if [[ -z "$prefix" ]]; then
    prefix="$work/prefix"
    cmake --install "$build" --prefix "$prefix" > "$work/install.log"
  fi
}

# Runs a host once without a bundle (the key is missing) and once with one.
run_host() {
  "$1"
  "$1" "$work/bundle"
}

find_package_with() {
  local compiler="$1" dir="$work/cmake-$1"
  install_once
  cmake -S tests/consumer -B "$dir" "${generator[@]}" "${launcher[@]}" \
    -DCMAKE_CXX_COMPILER="$compiler" -DCMAKE_PREFIX_PATH="$prefix" > "$dir.log"
  cmake --build "$dir" >> "$dir.log"
  # CMake's build rpath finds the installed library: no loader path needed.
  run_host "$dir/consumer"
}

way_find-package-gcc() { find_package_with g++; }
way_find-package-clang() { find_package_with clang++; }

way_pkg-config-cxx20() {
  install_once
  local libdir
  libdir="$(dirname "$(find "$prefix" -name 'libLumvexSdk.so' | head -n 1)")"
  export PKG_CONFIG_PATH="$libdir/pkgconfig"
  # shellcheck disable=SC2046
  g++ -std=c++20 -DLUMVEX_CONSUMER_EXPECT_CPLUSPLUS=202002L tests/consumer/main.cpp -o "$work/consumer-pc" \
    $(pkg-config --cflags --libs lumvexsdk) -Wl,-rpath,"$libdir"
  run_host "$work/consumer-pc"
  # shellcheck disable=SC2046
  if g++ -std=c++14 -fsyntax-only tests/consumer/main.cpp $(pkg-config --cflags lumvexsdk) \
    > "$work/cxx14.log" 2>&1 || ! grep -q "LumvexSdk needs C++17 or newer" "$work/cxx14.log"; then
    echo "a C++14 host did not get the headers' #error:" >&2
    cat "$work/cxx14.log" >&2
    return 1
  fi
}

way_static() {
  local build_dir="$work/static-build" prefix="$work/static-prefix"
  cmake -S "$root" -B "$build_dir" "${generator[@]}" "${launcher[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DBUILD_SHARED_LIBS=OFF -DLUMVEX_BUILD_TESTS=OFF -DLUMVEX_BUILD_BENCHMARKS=OFF \
    -DLUMVEX_BUILD_TOOLS=OFF -DLUMVEX_BUILD_EXAMPLES=OFF > "$work/static-build.log"
  cmake --build "$build_dir" >> "$work/static-build.log"
  cmake --install "$build_dir" --prefix "$prefix" >> "$work/static-build.log"
  local archive
  archive="$(find "$prefix" -name 'libLumvexSdk.a' | head -n 1)"
  if [[ -z "$archive" ]] || [[ -n "$(find "$prefix" -name 'libLumvexSdk.so*')" ]]; then
    echo "the static install holds no libLumvexSdk.a, or a shared library too" >&2
    return 1
  fi
  local hosts=()
  cmake -S tests/consumer -B "$work/static-cmake" "${generator[@]}" "${launcher[@]}" \
    -DCMAKE_PREFIX_PATH="$prefix" > "$work/static-cmake.log"
  cmake --build "$work/static-cmake" >> "$work/static-cmake.log"
  hosts+=("$work/static-cmake/consumer")
  # shellcheck disable=SC2046
  g++ tests/consumer/main.cpp -o "$work/consumer-static-pc" \
    $(PKG_CONFIG_PATH="$(dirname "$archive")/pkgconfig" pkg-config --static --cflags --libs lumvexsdk)
  hosts+=("$work/consumer-static-pc")
  for host in "${hosts[@]}"; do
    if readelf -d "$host" | grep -q 'libLumvexSdk'; then
      echo "$host needs a shared LumvexSdk" >&2
      return 1
    fi
    run_host "$host"
  done
}

way_exported-symbols() {
  local library
  library="$(find "$build" -name 'libLumvexSdk.so' | head -n 1)"
  if [[ -z "$library" ]]; then
    echo "no libLumvexSdk.so in $build (a static build?)" >&2
    return 1
  fi
  python3 tests/consumer/exported_symbols.py "$library" LumvexSdk/include "$(dirname "$library")/include"
}

way_subproject() {
  local dir="$work/subproject"
  cmake -S tests/consumer/subproject -B "$dir" "${generator[@]}" "${launcher[@]}" \
    -DLUMVEX_SOURCE_DIR="$root" > "$dir.log"
  cmake --build "$dir" >> "$dir.log"
  run_host "$dir/consumer"
}

needs() {
  case "$1" in
    find-package-clang | exported-symbols) echo clang++ ;;
    *) echo g++ ;;
  esac
}

passed=0 failed=0 skipped=0
for way in "${ways[@]}"; do
  if ! declare -F "way_$way" >/dev/null; then
    echo "consumer test: no way named $way (see --help)" >&2
    exit 2
  fi
  compiler="$(needs "$way")"
  if ! command -v "$compiler" >/dev/null; then
    echo "consumer test $way: skipped, $compiler is not installed (scripts/install-deps.sh --test)"
    skipped=$((skipped + 1))
    continue
  fi
  echo "consumer test $way:"
  # A subshell outside any condition, so that errexit holds inside the way.
  set +e
  ( "way_$way" )
  status=$?
  set -e
  if [ "$status" -eq 0 ]; then
    passed=$((passed + 1))
  else
    echo "consumer test $way: FAILED; logs:" >&2
    cat "$work"/*.log >&2 2>/dev/null || true
    failed=$((failed + 1))
  fi
done

echo "consumer test: $passed passed, $failed failed, $skipped skipped"
if [ "$failed" -ne 0 ]; then
  exit 1
fi
if [ "$passed" -eq 0 ]; then
  exit 77
fi
