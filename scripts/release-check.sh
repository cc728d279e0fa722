#!/usr/bin/env bash
# The release check: scripts/release.sh run twice, each from its own copy of the source in its
# own temporary folder (other paths, other lengths, a few seconds apart), must give the same
# bytes. Then the first exe is signed with a throwaway certificate, once without and once with a
# time stamp (from tests/https/tsa_server.py), and each signature removed again, which must give
# the unsigned exe back (README, "Checking a published exe"); and the release exe must keep its
# load flags and imports (tests/exe/pe_check.py).
#
#   scripts/release-check.sh          about two release builds' time; not part of test-all.sh
#   VELM_JOBS=N                       build parallelism (default: number of cores)
#
# Prints both SHA-256 values of each file; exits 1 when anything differs.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
check=$(mktemp -d "${TMPDIR:-/tmp}/velm-release-check.XXXXXX")
trap 'rm -rf "$check"' EXIT
status=0

# Fixed settings, so that the digests of one commit can be compared between runs and machines.
# Nothing is signed or checked with the key: any 64 hex digits will do.
release=(--host coop.example.org --key "$(printf '0123456789abcdef%.0s' 1 2 3 4)" --version 2.0.0)

mkdir -p "$check/a" "$check/b/in another/folder"
echo "== first build"
TMPDIR="$check/a" "$root/scripts/release.sh" "${release[@]}" -o "$check/a/out"
sleep 2
echo "== second build"
TMPDIR="$check/b/in another/folder" "$root/scripts/release.sh" "${release[@]}" -o "$check/b/out"

echo "== comparison"
for name in "Velm Co-op.exe" velm-coop; do
  first=$(sha256sum "$check/a/out/$name" | cut -d' ' -f1)
  second=$(sha256sum "$check/b/out/$name" | cut -d' ' -f1)
  echo "$name: $first (first build)"
  echo "$name: $second (second build)"
  if cmp -s "$check/a/out/$name" "$check/b/out/$name"; then
    echo "$name: the same bytes"
  else
    echo "$name: DIFFERENT ($(cmp -l "$check/a/out/$name" "$check/b/out/$name" | wc -l) bytes)"
    status=1
  fi
done

unsigned="$check/a/out/Velm Co-op.exe"
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Velm Co-op release check" \
  -keyout "$check/sign-key.pem" -out "$check/sign-cert.pem" 2>/dev/null

# signed_and_stripped NAME [sign-exe.sh options...] [-- osslsigncode verify options...]: signs
# the first build's exe, verifies the signature and checks that removing it gives the exe back.
signed_and_stripped() {
  local name=$1
  shift
  local sign=() verify=()
  while [ $# -gt 0 ] && [ "$1" != -- ]; do sign+=("$1"); shift; done
  [ $# -eq 0 ] || { shift; verify=("$@"); }
  local signed="$check/$name.exe" stripped="$check/$name-stripped.exe"
  (unset VELM_SIGN_PASSWORD
   "$root/scripts/sign-exe.sh" "$unsigned" "$signed" --sign-cert "$check/sign-cert.pem" \
     --sign-key "$check/sign-key.pem" "${sign[@]}")
  if osslsigncode verify -CAfile "$check/sign-cert.pem" "${verify[@]}" -in "$signed" \
       >"$check/$name.verify.log" 2>&1; then
    echo "$name: osslsigncode verify: ok"
  else
    cat "$check/$name.verify.log"
    status=1
  fi
  osslsigncode remove-signature -in "$signed" -out "$stripped" >/dev/null
  echo "$name:          $(sha256sum "$signed" | cut -d' ' -f1)"
  echo "$name, removed: $(sha256sum "$stripped" | cut -d' ' -f1)"
  if cmp -s "$unsigned" "$stripped"; then
    echo "$name, removed: the same bytes as the unsigned build"
  else
    echo "$name, removed: DIFFERENT from the unsigned build:"
    cmp -l "$unsigned" "$stripped" | head -20 || true
    status=1
  fi
}

echo "== signed, then the signature removed"
signed_and_stripped signed

echo "== signed with a time stamp, then the signature removed"
python3 "$root/tests/https/tsa_server.py" "$check/tsa" &
tsa=$!
for _ in $(seq 100); do [ -s "$check/tsa/port" ] && break; sleep 0.1; done
signed_and_stripped time-stamped --timestamp "http://127.0.0.1:$(cat "$check/tsa/port")/" -- \
  -TSA-CAfile "$check/tsa/tsa.pem"
grep -q "Timestamp Server Signature verification: ok" "$check/time-stamped.verify.log" ||
  { echo "time-stamped: no verified time stamp"; status=1; }
kill "$tsa"

echo "== load flags and imports of the release exe"
python3 "$root/tests/exe/pe_check.py" "$unsigned" || status=1
grep -q -a -F "velm-build: release" "$unsigned" && grep -q -a -F "velm-build: release" \
  "$check/a/out/velm-coop" && echo "both files carry the release marker" ||
  { echo "a file lacks the release marker"; status=1; }

[ $status -eq 0 ] && echo "release check: passed" || echo "release check: FAILED"
exit $status
