#!/usr/bin/env bash
# Fails when a tracked C++ source or header differs from what clang-format makes of it with
# the repository's .clang-format; `clang-format -i <file>` fixes the ones it names.
set -euo pipefail
cd "$(dirname "$0")/.."

mapfile -d '' files < <(git ls-files -z -- '*.cpp' '*.h')
if [ "${#files[@]}" -eq 0 ]; then
    echo "format-check: no tracked sources found" >&2
    exit 1
fi
clang-format --dry-run --Werror "${files[@]}"
echo "format-check: ${#files[@]} files formatted as .clang-format says"
