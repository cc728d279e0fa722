#!/usr/bin/env bash
# The build settings are checked when the project is configured: a malformed key or version,
# or a release build without a host or a key, stops the configure step with a clear message.
# (CMake wraps its messages, so the log is read with its line breaks folded.)
#   settings_test.sh SOURCE_DIR WORK_DIR
set -u
source_dir=$1
work=$2
rm -rf "$work"
mkdir -p "$work"
key=$(printf 'ab%.0s' $(seq 32))
passed=0
failed=0

expect() {  # expect ok|fail MESSAGE_PART CMAKE_ARGS...
  local want=$1 message=$2
  shift 2
  local dir="$work/case$((passed + failed))"
  local status=0
  cmake -S "$source_dir" -B "$dir" -G Ninja -DVELM_BUILD_TESTS=OFF "$@" >"$dir.log" 2>&1 ||
    status=$?
  if { [ "$want" = ok ] && [ $status -eq 0 ]; } ||
     { [ "$want" = fail ] && [ $status -ne 0 ] &&
       tr '\n' ' ' <"$dir.log" | tr -s ' ' | grep -qF -- "$message"; }; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    echo "FAIL: cmake $* (exit $status, expected $want with \"$message\")"
    cat "$dir.log"
  fi
  rm -rf "$dir" "$dir.log"
}

expect fail "has 63 digits, not 64" -DVELM_TRUSTED_KEYS="${key:1}"
expect fail "is not a hex Ed25519 public key" -DVELM_TRUSTED_KEYS="$key;zz${key:2}"
expect fail "is not MAJOR.MINOR.PATCH" -DVELM_VERSION=2.0
expect fail "is not MAJOR.MINOR.PATCH" -DVELM_VERSION=v2.0.0
expect fail "is above 2147483647" -DVELM_VERSION=2147483648.0.0
expect fail "is not a host with an optional :port" -DVELM_CATALOGUE_HOST="a b"
expect fail "needs an explicit VELM_CATALOGUE_HOST" -DVELM_RELEASE=ON -DVELM_TRUSTED_KEYS="$key"
expect fail "needs at least one key" -DVELM_RELEASE=ON -DVELM_CATALOGUE_HOST=coop.example.org
expect ok "" -DVELM_RELEASE=ON -DVELM_CATALOGUE_HOST=coop.example.org:443 \
  -DVELM_TRUSTED_KEYS="$key;${key^^}" -DVELM_VERSION=10.2147483647.0
echo "$passed passed, $failed failed"
[ $failed -eq 0 ]
