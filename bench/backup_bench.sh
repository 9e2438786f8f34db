#!/usr/bin/env bash
# Figures of the backup road (build/bin/backup_bench): the real program backs up a VM with two
# disks against the test controller and the fake data mover, in a private mount namespace, so
# it needs root. Prints, each with its target:
#   (a) the wall time of the backup minus its mandated one-second waits     <= 0.3 s
#   (b) the relay of 1,000,000 data mover progress lines                    >= 100 MB/s
#   (c) the program's peak resident memory during a backup                  <  20 MB
# Exits 1 when a figure misses its target. BUILD_DIR names another build tree (default build;
# configure it with an optimised build type).
set -euo pipefail
cd "$(dirname "$0")/.."

build_dir=${BUILD_DIR:-build}
cmake --build "$build_dir" --target backup_bench >/dev/null
build_type=$(sed -n 's/^CMAKE_BUILD_TYPE:STRING=//p' "$build_dir/CMakeCache.txt")
case "$build_type" in
  Release|RelWithDebInfo) ;;
  *) echo "warning: $build_dir is a '${build_type:-no}' build type; the figures mean little" >&2 ;;
esac
"$build_dir/bin/backup_bench"
