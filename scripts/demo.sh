#!/usr/bin/env bash
# The demo: a whole first run of the launcher against a real static HTTPS server on this machine.
#
#   scripts/demo.sh              the native launcher (velm-coop)
#   scripts/demo.sh --windows    also "Velm Co-op.exe" under Wine
#
# It installs what it needs (Debian 12), builds the launcher and velm-publish, makes a demo key
# pair and a localhost certificate under build/demo, publishes a small demo package with
# `velm-publish publish`, serves the tree with nginx on localhost:8443 (the certificate's CA is
# trusted only inside a private mount namespace), makes a demo game folder and runs the launcher
# in it: the first run (catalogue, downloads with progress, the game start), a second run
# (nothing to download) and an offline run (VELM_COOP_OFFLINE=1). nginx is stopped at the end.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
demo="$root/build/demo"
host=localhost:8443
windows=0
for argument in "$@"; do
  case $argument in
    --windows) windows=1 ;;
    -h|--help) sed -n '2,12p' "$0"; exit 0 ;;
    *) echo "usage: $0 [--windows]" >&2; exit 2 ;;
  esac
done

say() { printf '\n\033[1m== %s\033[0m\n' "$*"; }

"$root/scripts/install-deps.sh"
mkdir -p "$demo"
jobs=$(nproc)

say "building velm-publish"
cmake -S "$root" -B "$demo/native" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVELM_BUILD_TESTS=OFF \
  -DVELM_CATALOGUE_HOST="$host" >"$demo/native.configure.log" 2>&1 ||
  { cat "$demo/native.configure.log"; exit 1; }
ninja -C "$demo/native" -j"$jobs" velm_publish >/dev/null
publish="$demo/native/tools/publish/velm-publish"

say "making the demo key pair"
if [ ! -s "$demo/keys/demo.pem" ]; then
  mkdir -p "$demo/keys"
  "$publish" keygen "$demo/keys/demo.pem" >/dev/null
fi
public=$("$publish" public-key "$demo/keys/demo.pem")
echo "public key: $public"

say "building the launcher with that key built in"
cmake -S "$root" -B "$demo/native" -DVELM_TRUSTED_KEYS="$public" >>"$demo/native.configure.log" 2>&1
ninja -C "$demo/native" -j"$jobs" velm_coop velm_demo_coop >/dev/null
if [ $windows = 1 ]; then
  cmake -S "$root" -B "$demo/win" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVELM_BUILD_TESTS=OFF \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake" -DVELM_CATALOGUE_HOST="$host" \
    -DVELM_TRUSTED_KEYS="$public" >"$demo/win.configure.log" 2>&1 ||
    { cat "$demo/win.configure.log"; exit 1; }
  ninja -C "$demo/win" -j"$jobs" velm_coop velm_demo_coop >/dev/null
fi

say "publishing the demo package"
"$root/tests/https/make_certs.sh" "$demo/certs" >/dev/null
make_package() {  # make_package FOLDER COOP_EXE
  local folder=$1
  rm -rf "$folder"
  mkdir -p "$folder"
  cp "$2" "$folder/coop.exe"
  printf 'Velm Co-op demo package\n' >"$folder/readme.txt"
  printf '{"players": 4, "friendly_fire": false}\n' >"$folder/coop-settings.json"
  # Over 4 MiB, so the download shows its progress line.
  head -c 6291456 /dev/zero | tr '\0' 'v' >"$folder/coop-assets.pak"
  "$publish" manifest --version 1.0.0 --launcher coop.exe "$folder"
}
make_package "$demo/package-native" "$demo/native/tools/demo/velm_demo_coop"
games='{"id": "demo", "name": "Demo Game", "exe": "demo-game.exe", "steam_appid": 480,
      "manifest": "https://'$host'/demo/manifest.json", "launcher": "coop.exe"}'
packages=(--package "demo=$demo/package-native")
if [ $windows = 1 ]; then
  make_package "$demo/package-win" "$demo/win/tools/demo/velm_demo_coop.exe"
  games+=', {"id": "demo-win", "name": "Demo Game (Windows)", "exe": "demo-game-win.exe",
      "steam_appid": 480, "manifest": "https://'$host'/demo-win/manifest.json",
      "launcher": "coop.exe"}'
  packages+=(--package "demo-win=$demo/package-win")
fi
cat >"$demo/games.json" <<EOF
{
  "schema": 1,
  "launcher": {
    "version": "2.0.0",
    "url": "https://$host/launcher/velm-coop",
    "sha256": "$(printf '0%.0s' $(seq 64))",
    "size": 1
  },
  "games": [$games]
}
EOF
rm -rf "$demo/site"
"$publish" publish --catalogue "$demo/games.json" --host "$host" --key "$demo/keys/demo.pem" \
  --launcher-key "$public" "${packages[@]}" \
  --launcher-build "$demo/native/velm-coop" --allow-test-build -o "$demo/site"
find "$demo/site" -type f | sed "s|$demo/site/||" | sort
say "checking every signature in the tree with openssl itself"
openssl pkey -in "$demo/keys/demo.pem" -pubout -out "$demo/keys/demo.pub.pem"
find "$demo/site" -name '*.sig' | sort | while read -r sig; do
  python3 -c 'import sys; sys.stdout.buffer.write(bytes.fromhex(open(sys.argv[1]).read()))' \
    "$sig" >"$demo/signature.raw"
  openssl pkeyutl -verify -rawin -pubin -inkey "$demo/keys/demo.pub.pem" \
    -in "${sig%.sig}" -sigfile "$demo/signature.raw" >/dev/null
  echo "${sig#$demo/site/}: openssl pkeyutl -verify -rawin: OK"
done

say "serving it with nginx on https://$host"
. "$root/scripts/serve-nginx.sh"
trap 'kill $nginx_pid 2>/dev/null || true; wait $nginx_pid 2>/dev/null || true' EXIT
start_nginx "$demo/nginx" "${host##*:}" "$demo/certs" "$demo/site/$host"

run_launcher() {  # run_launcher TITLE GAME_FOLDER COMMAND...
  local title=$1 folder=$2
  shift 2
  say "$title"
  echo "\$ cd ${folder#$root/} && ${*##*/}"
  (cd "$folder" && "$root/tests/https/run_with_ca.sh" "$demo/certs/ca.pem" "$@" </dev/null) &&
    status=0 || status=$?
  echo "(exit code $status)"
  sleep 0.3  # the co-op launcher runs on its own; let it finish its lines
}

game="$demo/game"
rm -rf "$game"
mkdir -p "$game"
: >"$game/demo-game.exe"
cp "$demo/native/velm-coop" "$game/velm-coop"
run_launcher "first run: catalogue, downloads, game start" "$game" "$game/velm-coop" -windowed
run_launcher "second run: nothing to download" "$game" "$game/velm-coop" -windowed
run_launcher "offline run: the installed version starts" "$game" \
  env VELM_COOP_OFFLINE=1 "$game/velm-coop" -windowed

if [ $windows = 1 ]; then
  export WINEDEBUG=-all WINEPREFIX="$demo/wineprefix"
  wineboot -i >/dev/null 2>&1 || true
  wine_game="$demo/game-win"
  rm -rf "$wine_game"
  mkdir -p "$wine_game"
  : >"$wine_game/demo-game-win.exe"
  cp "$demo/win/Velm Co-op.exe" "$wine_game/"
  run_launcher "Windows, first run under Wine" "$wine_game" wine "$wine_game/Velm Co-op.exe"
  run_launcher "Windows, offline run under Wine" "$wine_game" \
    env VELM_COOP_OFFLINE=1 wine "$wine_game/Velm Co-op.exe"
  wineserver -k 2>/dev/null || true
fi

say "done: nginx stops now; the files are under ${demo#$root/}"
