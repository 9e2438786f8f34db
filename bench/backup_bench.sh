#!/usr/bin/env bash
# Figures of the backup road (build/bin/backup_bench; bench/README.md describes them); needs
# root. Exits 1 when a figure misses its target. BUILD_DIR names another build tree (default
# build; configure it with an optimised build type).
set -euo pipefail
cd "$(dirname "$0")/.."

build_dir=${BUILD_DIR:-build}
cmake --build "$build_dir" --target backup_bench >/dev/null
build_type=$(sed -n 's/^CMAKE_BUILD_TYPE:STRING=//p' "$build_dir/CMakeCache.txt")
[[ $build_type == Release || $build_type == RelWithDebInfo ]] ||
  echo "warning: $build_dir is a '${build_type:-no}' build type; the figures mean little" >&2
"$build_dir/bin/backup_bench"
