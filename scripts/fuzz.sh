#!/usr/bin/env bash
# The longer fuzz run: builds every libFuzzer target with clang, AddressSanitizer and
# UndefinedBehaviorSanitizer in build/fuzz, runs each for SECONDS_PER_TARGET, and prints one line
# per target. Exits non-zero when any target crashed, hit a sanitizer report or broke one of its
# invariants; the failing input is then in build/fuzz/fuzz/<target>/artifacts/ and the whole run
# in build/fuzz/fuzz/<target>/log.txt.
#   scripts/fuzz.sh [SECONDS_PER_TARGET]     default 600
#   VELM_JOBS=N                              build parallelism (default: number of cores)
# The working corpora in build/fuzz/fuzz/<target>/corpus/ grow from run to run; the seeds in
# fuzz/corpus/ are only read. Reproduce a failure with: build/fuzz/fuzz/velm_fuzz_<target> <file>
set -euo pipefail

seconds=${1:-600}
case "$seconds" in
  '' | *[!0-9]*) echo "usage: scripts/fuzz.sh [SECONDS_PER_TARGET]" >&2; exit 2 ;;
esac

root=$(cd "$(dirname "$0")/.." && pwd)
out="$root/build/fuzz"
jobs=${VELM_JOBS:-$(nproc)}

mkdir -p "$out"
CC=clang-14 CXX=clang++-14 cmake -S "$root" -B "$out" -G Ninja -DVELM_SANITIZE=ON -DVELM_FUZZ=ON \
  -DVELM_BUILD_TESTS=OFF -DVELM_FUZZ_SECONDS="$seconds" >"$out/configure.log" 2>&1 ||
  { cat "$out/configure.log" >&2; exit 1; }
ninja -C "$out" -j"$jobs" velm_fuzz_all >"$out/build.log" 2>&1 ||
  { tail -n 50 "$out/build.log" >&2; exit 1; }

# One ctest test per target (fuzz/CMakeLists.txt holds how each one runs), one at a time.
status=0
tests=$(ctest --test-dir "$out" -L fuzz -N | sed -n 's/^ *Test *#[0-9]*: *\(fuzz_[a-z_]*\)$/\1/p')
for test in $tests; do
  if output=$(ctest --test-dir "$out" -R "^$test\$" -V 2>&1); then
    echo "$output" | grep -o "$test: ok.*" || echo "$test: ok"
  else
    echo "$test: FAILED, see $out/fuzz/${test#fuzz_}/log.txt and its artifacts/"
    status=1
  fi
done
exit $status
