#!/usr/bin/env bash
# Builds the release launcher from the checked-out commit: "Velm Co-op.exe" (MinGW-w64) and the
# native velm-coop, with VELM_RELEASE=ON. The same commit built with the same Debian 12
# toolchain gives the same bytes in any folder at any time (cmake/reproducible.cmake); anyone
# can rebuild a published exe and compare (README, "Checking a published exe").
#
#   scripts/release.sh --host HOST --key HEX[;HEX...] [--version X.Y.Z] [-o OUT]
#                      [--sign CERT.pfx | --sign-cert CERT.pem --sign-key KEY.pem]
#                      [--timestamp URL]
#
#   --host, --key, --version  VELM_CATALOGUE_HOST, VELM_TRUSTED_KEYS, VELM_VERSION
#   -o OUT                    where the files go (default build/release)
#   --sign ...                sign the exe with Authenticode (scripts/sign-exe.sh); the password
#                             comes from VELM_SIGN_PASSWORD, never from the command line
#   --timestamp URL           with --sign: an RFC 3161 time stamp from URL
#   VELM_JOBS=N               build parallelism (default: number of cores)
#
# It builds HEAD as committed (git archive; uncommitted changes are not in it) in a temporary
# folder, with SOURCE_DATE_EPOCH set to the commit's time, and prints each file's SHA-256 and
# size as the catalogue's "launcher" block takes them. The exe goes out without debug sections;
# "Velm Co-op.exe.debug" beside it keeps them for a debugger (never published).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
usage() {
  sed -n '7,9p' "$0" | sed 's/^#   //' >&2
  exit 2
}

host=""
keys=""
version=""
out="$root/build/release"
sign=()
while [ $# -gt 0 ]; do
  [ $# -ge 2 ] || usage
  case $1 in
    --host) host=$2 ;;
    --key) keys=$2 ;;
    --version) version=$2 ;;
    -o|--out) out=$2 ;;
    --sign|--sign-cert|--sign-key|--timestamp) sign+=("$1" "$2") ;;
    *) usage ;;
  esac
  shift 2
done
[ -n "$host" ] && [ -n "$keys" ] || usage
signing=0
for option in "${sign[@]}"; do
  case $option in --sign|--sign-cert) signing=1 ;; esac
done
if [ ${#sign[@]} -gt 0 ] && [ $signing -eq 0 ]; then
  echo "release.sh: --sign-key and --timestamp need --sign or --sign-cert" >&2
  exit 2
fi

commit=$(git -C "$root" rev-parse HEAD)
if [ -n "$(git -C "$root" status --porcelain --untracked-files=no)" ]; then
  echo "release.sh: note: uncommitted changes are not built; this builds $commit" >&2
fi
# Time stamps that any tool still writes (__DATE__, archive members) are the commit's time.
SOURCE_DATE_EPOCH=$(git -C "$root" log -1 --format=%ct "$commit")
export SOURCE_DATE_EPOCH LC_ALL=C TZ=UTC

work=$(mktemp -d "${TMPDIR:-/tmp}/velm-release.XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir "$work/source"
git -C "$root" archive --format=tar "$commit" | tar -x -C "$work/source"

settings=(-G Ninja -DCMAKE_BUILD_TYPE=Release -DVELM_RELEASE=ON -DVELM_BUILD_TESTS=OFF
          -DVELM_CATALOGUE_HOST="$host" -DVELM_TRUSTED_KEYS="$keys")
[ -z "$version" ] || settings+=(-DVELM_VERSION="$version")
build() {  # build DIR [cmake args...]: configures and builds the launcher alone
  local dir=$1
  shift
  cmake -S "$work/source" -B "$dir" "${settings[@]}" "$@" >"$dir.log" 2>&1 &&
    ninja -C "$dir" -j"${VELM_JOBS:-$(nproc)}" velm_coop >>"$dir.log" 2>&1 ||
    { cat "$dir.log" >&2; echo "release.sh: the build in $dir failed" >&2; return 1; }
}
echo "== building $commit (Windows)" >&2
build "$work/win" -DCMAKE_TOOLCHAIN_FILE="$work/source/cmake/mingw-w64.cmake"
echo "== building $commit (native)" >&2
build "$work/linux"

mkdir -p "$out"
rm -f "$out/Velm Co-op.exe" "$out/Velm Co-op.exe.debug" "$out/velm-coop"
if [ $signing -eq 1 ]; then
  echo "== signing Velm Co-op.exe" >&2
  "$root/scripts/sign-exe.sh" "$work/win/Velm Co-op.exe" "$out/Velm Co-op.exe" "${sign[@]}"
else
  cp "$work/win/Velm Co-op.exe" "$out/Velm Co-op.exe"
fi
cp "$work/win/Velm Co-op.exe.debug" "$out/Velm Co-op.exe.debug"
cp "$work/linux/velm-coop" "$out/velm-coop"

# One line per file, in the launcher block's own words.
for name in "Velm Co-op.exe" velm-coop; do
  file="$out/$name"
  printf '"%s": {"sha256": "%s", "size": %d}\n' "$name" "$(sha256sum "$file" | cut -d' ' -f1)" \
    "$(stat -c %s "$file")"
done
