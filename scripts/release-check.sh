#!/usr/bin/env bash
# The release check: scripts/release.sh run twice, each from its own copy of the source in its
# own temporary folder (other paths, other lengths, a few seconds apart), must give the same
# bytes. Then the first exe is signed with a throwaway certificate and its signature removed
# again, which must give the unsigned exe back (README, "Checking a published exe"), and the
# release exe must keep its load flags and imports (tests/exe/pe_check.py).
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

# A throwaway key pair: the check needs some key, and none that anybody trusts.
openssl genpkey -algorithm ed25519 -out "$check/key.pem"
public=$(openssl pkey -in "$check/key.pem" -pubout -outform DER | tail -c 32 |
         od -An -tx1 -v | tr -d ' \n')
release=(--host coop.example.org --key "$public" --version 2.0.0)

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

echo "== signed, then the signature removed"
unsigned="$check/a/out/Velm Co-op.exe"
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Velm Co-op release check" \
  -keyout "$check/sign-key.pem" -out "$check/sign-cert.pem" 2>/dev/null
(unset VELM_SIGN_PASSWORD
 "$root/scripts/sign-exe.sh" "$unsigned" "$check/signed.exe" --sign-cert "$check/sign-cert.pem" \
   --sign-key "$check/sign-key.pem")
if osslsigncode verify -CAfile "$check/sign-cert.pem" -in "$check/signed.exe" >"$check/verify.log" 2>&1
then
  echo "signed: osslsigncode verify: ok"
else
  cat "$check/verify.log"
  status=1
fi
osslsigncode remove-signature -in "$check/signed.exe" -out "$check/stripped.exe" >/dev/null
echo "signed:   $(sha256sum "$check/signed.exe" | cut -d' ' -f1)"
echo "stripped: $(sha256sum "$check/stripped.exe" | cut -d' ' -f1)"
if cmp -s "$unsigned" "$check/stripped.exe"; then
  echo "stripped: the same bytes as the unsigned build"
else
  echo "stripped: DIFFERENT from the unsigned build:"
  cmp -l "$unsigned" "$check/stripped.exe" | head -20 || true
  status=1
fi

echo "== load flags and imports of the release exe"
python3 "$root/tests/exe/pe_check.py" "$unsigned" || status=1
grep -q -a -F "velm-build: release" "$unsigned" && grep -q -a -F "velm-build: release" \
  "$check/a/out/velm-coop" && echo "both files carry the release marker" ||
  { echo "a file lacks the release marker"; status=1; }

[ $status -eq 0 ] && echo "release check: passed" || echo "release check: FAILED"
exit $status
