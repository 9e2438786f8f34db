#!/usr/bin/env bash
# Runs bench_sha256 once for each of three OpenSSL code paths (OpenSSL picks its path from
# OPENSSL_ia32cap) and prints the throughput table and the target ratios at 16 KiB:
#   AVX2+BMI2 block function / OpenSSL's AVX2+BMI2 path  >= 0.9
#   SSE4.1 block function    / OpenSSL's SSSE3 path      >= 0.9
#   portable block function  / plain C                   >= 1.0
# Each ratio compares two figures of the same run. Exits 1 when a ratio misses its target.
#
# Environment: BUILD_DIR (default build; configure it with an optimised build type),
# REPETITIONS (default 5; the median is used), BENCH_CPU (a CPU number to pin the runs to).
set -euo pipefail
cd "$(dirname "$0")/.."

build_dir=${BUILD_DIR:-build}
cmake --build "$build_dir" --target bench_sha256 >/dev/null
bench="$build_dir/bin/bench_sha256"
build_type=$(sed -n 's/^CMAKE_BUILD_TYPE:STRING=//p' "$build_dir/CMakeCache.txt")
case "$build_type" in
  Release|RelWithDebInfo) ;;
  *) echo "warning: $build_dir is a '${build_type:-no}' build type; the figures mean little" >&2 ;;
esac

pin=()
if [ -n "${BENCH_CPU:-}" ]; then pin=(taskset -c "$BENCH_CPU"); fi

out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT

run() {  # run NAME [OPENSSL_ia32cap value]; no value leaves the variable unset
  local name=$1
  echo "== OpenSSL path: $name"
  if [ $# -gt 1 ]; then export OPENSSL_ia32cap=$2; else unset OPENSSL_ia32cap; fi
  "${pin[@]}" "$bench" \
    --benchmark_repetitions="${REPETITIONS:-5}" \
    --benchmark_enable_random_interleaving=true \
    --benchmark_report_aggregates_only=true \
    --benchmark_min_time=0.2 \
    --benchmark_out="$out/$name.json" --benchmark_out_format=json \
    | grep -E '_median|^OPENSSL' || true
  unset OPENSSL_ia32cap
}

run default
run avx2 ':~0x20000000'
run ssse3 '~0x1000000000000000:~0x20000020'

python3 - "$out" <<'PY'
import json, sys

out = sys.argv[1]
runs = ("default", "avx2", "ssse3")
speed = {}  # (run, function, size) -> MB/s (10^6 bytes per second), median of the repetitions
for run in runs:
    with open(f"{out}/{run}.json") as f:
        for b in json.load(f)["benchmarks"]:
            if b.get("aggregate_name") != "median":
                continue
            _, function, size = b["run_name"].split("/")
            speed[(run, function, int(size))] = b["bytes_per_second"] / 1e6

functions = sorted({f for (_, f, _) in speed}, key=lambda f: (
    ["portable", "sse2", "sse4", "rorx", "object", "openssl", "plain_c"] + [f]).index(f))
sizes = sorted({s for (_, _, s) in speed})
print()
print(f"{'MB/s at 16 KiB':16}" + "".join(f"{'OpenSSL ' + r:>16}" for r in runs))
for f in functions:
    print(f"{f:16}" + "".join(f"{speed.get((r, f, 16384), 0):16.0f}" for r in runs))
print()
print("all sizes, default run:")
print(f"{'':16}" + "".join(f"{s:>12}" for s in sizes))
for f in functions:
    print(f"{f:16}" + "".join(f"{speed.get(('default', f, s), 0):12.0f}" for s in sizes))

targets = [
    ("AVX2+BMI2 block function / OpenSSL AVX2+BMI2 path", "avx2", "rorx", "openssl", 0.9),
    ("SSE4.1 block function / OpenSSL SSSE3 path", "ssse3", "sse4", "openssl", 0.9),
    ("portable block function / plain C", "default", "portable", "plain_c", 1.0),
]
print()
print("ratios at 16 KiB, each within one run:")
missed = False
for label, run, ours, theirs, target in targets:
    a, b = speed.get((run, ours, 16384)), speed.get((run, theirs, 16384))
    if a is None or b is None:
        print(f"  {label}: not measured on this processor")
        continue
    ratio = a / b
    ok = ratio >= target
    missed |= not ok
    print(f"  {label}: {a:.0f} / {b:.0f} MB/s = {ratio:.2f} "
          f"(target >= {target}) {'met' if ok else 'MISSED'}")
sys.exit(1 if missed else 0)
PY
