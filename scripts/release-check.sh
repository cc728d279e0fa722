#!/usr/bin/env bash
# The release check: scripts/release.sh run twice, each from its own copy of the source in its
# own temporary folder (other paths, other lengths, a few seconds apart), must give the same
# bytes. The second run signs the exe as a release is signed (a throwaway certificate whose key
# has a password, a time stamp from tests/https/tsa_server.py): the signature must verify, be
# SHA-256, and come off again to give the first, unsigned build (README, "Checking a published
# exe"); the line release.sh prints must be the signed file's. The first exe is also signed
# with a PKCS#12 file by scripts/sign-exe.sh, and the release exe must keep its load flags and
# imports and carry no debug sections (tests/exe/pe_check.py --release); the debug data beside
# it must be the same in both runs.
#
#   scripts/release-check.sh          about two release builds' time; not part of test-all.sh
#   VELM_JOBS=N                       build parallelism (default: number of cores)
#
# Prints the SHA-256 values it compares; exits 1 when anything differs.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
check=$(mktemp -d "${TMPDIR:-/tmp}/velm-release-check.XXXXXX")
trap 'rm -rf "$check"' EXIT
status=0

# Fixed settings, so that the digests of one commit can be compared between runs and machines.
# Nothing is signed or checked with the key: any 64 hex digits will do.
release=(--host coop.example.org --key "$(printf '0123456789abcdef%.0s' 1 2 3 4)" --version 2.0.0)

# A throwaway signing certificate, its key under a password as a real one is, the same pair as a
# PKCS#12 file, and a throwaway time-stamp server.
export VELM_SIGN_PASSWORD="release check $$"
openssl req -x509 -newkey rsa:2048 -days 2 -subj "/CN=Velm Co-op release check" \
  -passout env:VELM_SIGN_PASSWORD -keyout "$check/sign-key.pem" -out "$check/sign-cert.pem" \
  2>/dev/null
openssl pkcs12 -export -passin env:VELM_SIGN_PASSWORD -passout env:VELM_SIGN_PASSWORD \
  -inkey "$check/sign-key.pem" -in "$check/sign-cert.pem" -out "$check/sign.pfx"
python3 "$root/tests/https/tsa_server.py" "$check/tsa" &
tsa=$!
trap 'kill $tsa 2>/dev/null; rm -rf "$check"' EXIT
for _ in $(seq 100); do [ -s "$check/tsa/port" ] && break; sleep 0.1; done

mkdir -p "$check/a" "$check/b/in another/folder"
echo "== first build"
TMPDIR="$check/a" "$root/scripts/release.sh" "${release[@]}" -o "$check/a/out"
sleep 2
echo "== second build, signed with a time stamp"
TMPDIR="$check/b/in another/folder" "$root/scripts/release.sh" "${release[@]}" -o "$check/b/out" \
  --sign-cert "$check/sign-cert.pem" --sign-key "$check/sign-key.pem" \
  --timestamp "http://127.0.0.1:$(cat "$check/tsa/port")/" | tee "$check/b/printed"

unsigned="$check/a/out/Velm Co-op.exe"
signed="$check/b/out/Velm Co-op.exe"

# verified NAME EXE [osslsigncode verify options...]: the signature verifies, and is SHA-256.
verified() {
  local name=$1 exe=$2
  shift 2
  if osslsigncode verify -CAfile "$check/sign-cert.pem" "$@" -in "$exe" \
       >"$check/$name.verify.log" 2>&1 &&
     grep -q -E "^Message digest algorithm +: SHA256$" "$check/$name.verify.log"; then
    echo "$name: osslsigncode verify: ok, SHA-256"
  else
    cat "$check/$name.verify.log"
    echo "$name: the signature does not verify as SHA-256"
    status=1
  fi
}

# stripped NAME SIGNED: removing the signature gives the unsigned first build back.
stripped() {
  local name=$1 exe=$2
  osslsigncode remove-signature -in "$exe" -out "$check/$name-stripped.exe" >/dev/null
  echo "$name:          $(sha256sum "$exe" | cut -d' ' -f1)"
  echo "$name, removed: $(sha256sum "$check/$name-stripped.exe" | cut -d' ' -f1)"
  if cmp -s "$unsigned" "$check/$name-stripped.exe"; then
    echo "$name, removed: the same bytes as the unsigned build"
  else
    echo "$name, removed: DIFFERENT from the unsigned build:"
    cmp -l "$unsigned" "$check/$name-stripped.exe" | head -20 || true
    status=1
  fi
}

echo "== comparison"
first=$(sha256sum "$check/a/out/velm-coop" | cut -d' ' -f1)
second=$(sha256sum "$check/b/out/velm-coop" | cut -d' ' -f1)
echo "velm-coop: $first (first build)"
echo "velm-coop: $second (second build)"
if cmp -s "$check/a/out/velm-coop" "$check/b/out/velm-coop"; then
  echo "velm-coop: the same bytes"
else
  echo "velm-coop: DIFFERENT ($(cmp -l "$check/a/out/velm-coop" "$check/b/out/velm-coop" | wc -l) bytes)"
  status=1
fi
echo "Velm Co-op.exe: $(sha256sum "$unsigned" | cut -d' ' -f1) (first build)"
verified time-stamped "$signed" -TSA-CAfile "$check/tsa/tsa.pem"
grep -q "Timestamp Server Signature verification: ok" "$check/time-stamped.verify.log" ||
  { echo "time-stamped: no verified time stamp"; status=1; }
stripped time-stamped "$signed"
# What release.sh printed is what a catalogue announces: it must be the signed file's.
announced=$(printf '"Velm Co-op.exe": {"sha256": "%s", "size": %d}' \
  "$(sha256sum "$signed" | cut -d' ' -f1)" "$(stat -c %s "$signed")")
grep -q -x -F "$announced" "$check/b/printed" && echo "printed: the signed exe's size and SHA-256" ||
  { echo "printed: not the signed exe's size and SHA-256 ($announced)"; status=1; }

echo "== signed with a PKCS#12 file"
"$root/scripts/sign-exe.sh" "$unsigned" "$check/pkcs12.exe" --sign "$check/sign.pfx"
verified pkcs12 "$check/pkcs12.exe"
stripped pkcs12 "$check/pkcs12.exe"

echo "== load flags, imports and debug sections of the release exe"
python3 "$root/tests/exe/pe_check.py" --release "$unsigned" || status=1
debug="Velm Co-op.exe.debug"
if [ -s "$check/a/out/$debug" ] && cmp -s "$check/a/out/$debug" "$check/b/out/$debug"; then
  echo "$debug: beside the exe, the same bytes in both builds"
else
  echo "$debug: missing, or DIFFERENT between the builds"
  status=1
fi
grep -q -a -F "velm-build: release" "$unsigned" && grep -q -a -F "velm-build: release" \
  "$check/a/out/velm-coop" && echo "both files carry the release marker" ||
  { echo "a file lacks the release marker"; status=1; }

[ $status -eq 0 ] && echo "release check: passed" || echo "release check: FAILED"
exit $status
