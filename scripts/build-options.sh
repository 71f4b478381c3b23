#!/usr/bin/env bash
# Each LUMVEX_BUILD_* option on its own, and all of them off, as the README's option table
# offers them: configures the combination, builds the development libraries that it needs
# (the harness, the location services) and compiles the objects of the tests' support
# library and of one user of each option, so that a dependency between options that only
# the full build happened to satisfy fails here. The library itself and every link belong
# to the full build (scripts/test.sh): this check compiles a few dozen files, in one build
# directory that every combination reuses (build/options, Debug, so nothing is optimised).
#
#   scripts/build-options.sh [build-dir]
set -euo pipefail
cd "$(dirname "$0")/.."
build="${1:-build/options}"

# name, then the options that are on; every other LUMVEX_BUILD_* option is off
combinations=(
  "tests-only TESTS"
  "benchmarks-only BENCHMARKS"
  "tools-only TOOLS"
  "examples-only EXAMPLES"
  "all-off"
)

# What each option adds that depends on something outside the library: archives to build
# (those of the development libraries, which need no library), and targets whose objects
# to compile (their archives and programs would need the library).
archives_for() {
  case "$1" in
    TESTS | BENCHMARKS) echo "tools/harness/liblumvex_harness.a tests/support/liblumvex_location_services.a" ;;
    EXAMPLES) echo "tools/harness/liblumvex_harness.a" ;;
  esac
}
objects_of() {
  case "$1" in
    TESTS) echo "lumvex_test_support run_loop_test" ;;
    BENCHMARKS) echo "idle_cost_bench location_request_bench" ;;
    TOOLS) echo "lumvex-collector" ;;
    EXAMPLES) echo "lumvex-demo" ;;
  esac
}

mkdir -p "$build"
log="$build/configure.log"
started=$SECONDS
for combination in "${combinations[@]}"; do
  read -r name on <<<"$combination"
  flags=()
  for option in TESTS BENCHMARKS TOOLS EXAMPLES; do
    if [[ " $on " == *" $option "* ]]; then
      flags+=("-DLUMVEX_BUILD_$option=ON")
    else
      flags+=("-DLUMVEX_BUILD_$option=OFF")
    fi
  done
  echo "build-options: $name"
  if ! cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DLUMVEX_BUILD_FUZZERS=OFF \
    "${flags[@]}" >"$log" 2>&1; then
    cat "$log" >&2
    echo "build-options: $name does not configure" >&2
    exit 1
  fi
  targets=()
  for option in $on; do
    read -r -a more <<<"$(archives_for "$option")"
    targets+=("${more[@]}")
    read -r -a users <<<"$(objects_of "$option")"
    for user in "${users[@]}"; do
      objects="$(ninja -C "$build" -t targets all | sed -n "s|^\(.*/CMakeFiles/$user\.dir/.*\.o\): .*|\1|p")"
      if [[ -z "$objects" ]]; then
        echo "build-options: $name defines no target $user" >&2
        exit 1
      fi
      mapfile -t more <<<"$objects"
      targets+=("${more[@]}")
    done
  done
  if ((${#targets[@]})) && ! cmake --build "$build" --parallel 2 --target "${targets[@]}"; then
    echo "build-options: $name does not build" >&2
    exit 1
  fi
done
echo "build-options: every combination configures and builds ($((SECONDS - started)) s)"
