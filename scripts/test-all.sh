#!/usr/bin/env bash
# Checks the layers of src/, the format of the C++ files and the commit subjects; builds the
# native launcher and the Windows launcher and runs every test: unit tests (natively
# and under Wine), platform tests against a local HTTPS server, end-to-end scenarios and crash
# injection; then a clang build with AddressSanitizer and UndefinedBehaviorSanitizer runs the
# unit tests, the native end-to-end scenarios and a short run of every fuzz target.
# Works on a fresh Debian 12 machine: installs the Debian packages it needs when they are missing.
#   scripts/test-all.sh            everything
#   VELM_JOBS=N                    build parallelism (default: number of cores)
#   VELM_FUZZ_SECONDS=N            how long each fuzz target runs (default 20)
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
out="$root/build/test"
jobs=${VELM_JOBS:-$(nproc)}

"$root/scripts/install-deps.sh"

status=0
echo "== checks (layers, format, commit subjects)"
python3 "$root/scripts/check_layers.py" "$root" || status=1
"$root/scripts/check-format.sh" || status=1
python3 "$root/scripts/check_commits.py" || status=1

# A key pair made here, never committed: the test builds trust its public half, the end-to-end
# scenarios sign their catalogues and manifests with the private one.
mkdir -p "$out/keys"
if [ ! -s "$out/keys/private.pem" ]; then
  openssl genpkey -algorithm ed25519 -out "$out/keys/private.pem"
  chmod 600 "$out/keys/private.pem"
fi
public=$(openssl pkey -in "$out/keys/private.pem" -pubout -outform DER | tail -c 32 |
         od -An -tx1 -v | tr -d ' \n')
host=${VELM_TEST_HOST:-localhost:48443}

configure() {  # configure DIR [extra cmake args...]
  local dir=$1
  shift
  cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DVELM_CATALOGUE_HOST="$host" -DVELM_TRUSTED_KEYS="$public" \
    -DVELM_TEST_PRIVATE_KEY="$out/keys/private.pem" "$@" >"$dir.configure.log" 2>&1 ||
    { cat "$dir.configure.log"; return 1; }
}

mkdir -p "$out"
echo "== configure"
# The native build's publish tests also check that velm-publish refuses the Windows test build.
configure "$out/linux" -DVELM_TEST_WINDOWS_LAUNCHER="$out/win/Velm Co-op.exe"
configure "$out/win" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake"
CC=clang-14 CXX=clang++-14 configure "$out/sanitize" -DVELM_SANITIZE=ON -DVELM_FUZZ=ON \
  -DVELM_FUZZ_SECONDS="${VELM_FUZZ_SECONDS:-20}"

echo "== build (native)"
ninja -C "$out/linux" -j"$jobs"

# The native tests spend most of their time waiting on servers, time-outs and killed processes
# (about half a core): the Windows and sanitizer builds run beside them, into a log of their own.
builds_log="$out/builds.log"
echo "== build (Windows; native, with sanitizers), beside the native tests: $builds_log"
(
  ninja -C "$out/win" -j"$jobs"
  # Only what its tests run: the rest is the same code as the plain native build.
  ninja -C "$out/sanitize" -j"$jobs" velm_unit_tests velm_coop velm_coop_next velm_recorder \
    velm_fuzz_all
) >"$builds_log" 2>&1 &
builds=$!

# One Wine server for the whole run, so each Windows test does not pay for its start-up.
export WINEDEBUG=-all
export WINEPREFIX="$out/win/wineprefix"
trap 'kill "$builds" 2>/dev/null || true; WINEPREFIX="$out/win/wineprefix" wineserver -k 2>/dev/null || true' EXIT

echo "== tests (native)"
# publish_launcher checks the Windows build too: it waits for it.
(cd "$out/linux" && ctest --output-on-failure -E '^publish_launcher$') || status=1
# The next ctest writes its own LastTest.log: the summary reads this one too.
native_log="$out/linux/Testing/Temporary/LastTest.log"
if [ -f "$native_log" ]; then cp "$native_log" "$out/linux/Testing/Temporary/LastTest_native.log"; fi
if ! wait "$builds"; then
  cat "$builds_log"
  echo "the Windows or sanitizer build failed" >&2
  exit 1
fi
tail -n 3 "$builds_log"
(cd "$out/linux" && ctest --output-on-failure -R '^publish_launcher$') || status=1

mkdir -p "$WINEPREFIX"
wineserver -p 2>/dev/null || true  # already running for this prefix is fine
wineboot -i </dev/null >/dev/null 2>&1 || true

echo "== tests (Windows, under Wine)"
(cd "$out/win" && ctest --output-on-failure </dev/null) || status=1
echo "== tests (native, with sanitizers; fuzz targets)"
# Any report ends the process with an error, so a passing test had none.
(cd "$out/sanitize" && ASAN_OPTIONS=detect_leaks=1 \
   ctest --output-on-failure -j2 -R '^(unit|e2e|fuzz_.*)$') || status=1

echo "== summary"
# What the passing tests measured: the scenario counts, the crash injection's kills and the
# launcher's peak memory when sent a huge document.
for build in linux win sanitize; do
  for log in "$out/$build"/Testing/Temporary/LastTest*.log; do
    [ -f "$log" ] || continue
    grep -h -e '^[0-9]* passed, [0-9]* failed$' -e '^crash: [0-9]* kills' -e '^INFO peak memory' \
      "$log" | sed "s/^/$build: /" || true
  done
done
exit $status
