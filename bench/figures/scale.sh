# shellcheck shell=bash
# Figure 3, start, at scale: up-to-date starts of velm-coop with 20,000 files of 1 MiB (about
# 20 GiB) and with 100,000 files of 4 KiB, against openssl dgst over the same files. Sourced by
# bench/figures/start.sh while nginx serves the published site. To keep the data on disk once,
# each package is made in its game folder and only its manifest is published: written and signed
# with velm-publish beside the site's catalogue, which gains the game and is signed again. The
# first start hashes every file and leaves the record; the timed ones (after an untimed warm-up)
# read none. Adds rows 3b and 3c, and for the second the same start under Wine (wine_figure);
# `scale_rows=small bench/run.sh start` measures only the second (scale_rows: "large", "small",
# both by default, or "" for none).

# scale_package ID FILES BYTES: a game folder whose package holds FILES files of BYTES each,
# published as game ID; prints the folder.
scale_package() {
  local id=$1 files=$2 bytes=$3 folder package round per_round
  folder=$(game_folder "$id" "bench-$id.exe")
  package=$folder/Velm\ Co-op
  mkdir -p "$package" "$data/site/$host/$id"
  # Rounds of at most 1,000 files from one random stream; the content only has to be hashed.
  per_round=$((files < 1000 ? files : 1000))
  head -c $((per_round * bytes)) /dev/urandom >"$data/tmp/round"
  for ((round = 0; round < files / per_round; round++)); do
    split -b "$bytes" -a 3 -d --additional-suffix=.pak "$data/tmp/round" \
      "$package/part-$(printf '%03d' "$round")-"
  done
  rm -f "$data/tmp/round"
  cp "$data/coop.exe" "$package/coop.exe"
  local manifest=$data/site/$host/$id/manifest.json
  "$publish" manifest --version 1.0.0 --launcher coop.exe "$package" -o "$manifest" >/dev/null
  "$publish" sign --key "$bench/keys/bench.pem" --as manifest --launcher coop.exe "$manifest" \
    >/dev/null
  python3 - "$data/site/$host/games.json" "$id" "https://$host/$id/manifest.json" <<'PY'
import json, sys
path, game, url = sys.argv[1:]
with open(path) as f:
    catalogue = json.load(f)
catalogue["games"].append({"id": game, "name": "Bench " + game, "exe": "bench-%s.exe" % game,
                           "steam_appid": 480, "manifest": url, "launcher": "coop.exe"})
with open(path, "w") as f:
    json.dump(catalogue, f, indent=2)
    f.write("\n")
PY
  "$publish" sign --key "$bench/keys/bench.pem" --as catalogue "$data/site/$host/games.json" \
    >/dev/null
  echo "$folder"
}

# scale_figure ID FILES BYTES LABEL SECONDS KIB: the figure of one package against its goal (a
# local part under SECONDS, a peak under KIB), then its data goes.
scale_figure() {
  local id=$1 label=$4 goal_seconds=$5 goal_kib=$6 folder
  say "3. an up-to-date start at scale: velm-coop with $label"
  folder=$(scale_package "$1" "$2" "$3")
  launch "$folder"  # the first start: every file hashed, nothing to fetch
  if grep -q '^\[\*\] downloading' "$data/launch.log"; then
    cat "$data/launch.log"
    fail "the first start downloaded"
  fi
  local record
  record=$(record_time "$folder")
  measure auto "$data/scale.txt" "" --in "$folder" ./velm-coop
  untouched_record "$folder" "$record"
  # xargs: 100,000 names do not fit one command line.
  measure auto "$data/scale_ssl.txt" "" sh -c \
    "cd '$folder/Velm Co-op' && find . -name 'part-*.pak' -print0 | xargs -0 openssl dgst -sha256"
  read -r a_min a_med a_max < <(stats "$data/scale.txt" 1)
  read -r b_min b_med b_max < <(stats "$data/scale_ssl.txt" 1)
  read -r _ _ peak < <(stats "$data/scale.txt" 2)
  local peak_mib ratio local_part
  peak_mib=$(calc "$peak / 1024" 1)
  ratio=$(calc "$a_med / $b_med" 3)
  local_part=$(calc "$a_med - $start_median" 3)
  printf '%-22s %8s %8s %8s   (seconds, %d runs)\n' "" min median max "$(wc -l <"$data/scale.txt")"
  printf '%-22s %8.3f %8.3f %8.3f   peak %s MiB\n' "velm-coop" "$a_min" "$a_med" "$a_max" \
    "$peak_mib"
  printf '%-22s %8.3f %8.3f %8.3f\n' "openssl dgst" "$b_min" "$b_med" "$b_max"
  echo "local part: $local_part s (the median less the 200-file start's, $start_median s)"
  summary+=("3 up-to-date start, $label|s|$(seconds "$a_min" "$a_med" "$a_max")|openssl dgst over the files|$(seconds "$b_min" "$b_med" "$b_max")|$ratio|local part $local_part s < $goal_seconds s, peak $peak_mib MiB < $((goal_kib / 1024)) MiB|$(met "$local_part < $goal_seconds && $peak < $goal_kib")")
  [[ $id != tiny ]] || wine_figure "$folder" "$label" "$goal_seconds"
  rm -rf "$folder"
}

# wine_figure FOLDER LABEL SECONDS: the same start of the Windows launcher under Wine, which
# Linux and Steam Deck players run and where every call on a file is a round trip to the Wine
# server. Its local part is its median less that of a one-file package's start under Wine,
# measured alike (Wine's own start, about 1.5 s, is most of that). Left out without Wine.
wine_figure() {
  local folder=$1 label=$2 goal_seconds=$3 exe="Velm Co-op.exe" one
  if ! command -v wine >/dev/null || ! command -v x86_64-w64-mingw32-g++-posix >/dev/null; then
    echo "no wine or mingw-w64 (scripts/install-deps.sh): the start under Wine is left out"
    return 0
  fi
  say "3. the same start of $exe under Wine (a Release build, build/bench/win)"
  cmake -S "$root" -B "$bench/win" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVELM_BUILD_TESTS=OFF \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake" -DVELM_CATALOGUE_HOST="$host" \
    -DVELM_TRUSTED_KEYS="$public" >"$bench/win.configure.log" 2>&1 ||
    { cat "$bench/win.configure.log"; fail "cmake failed for Windows"; }
  ninja -C "$bench/win" -j"$(nproc)" velm_coop >/dev/null || fail "$exe does not build"
  one=$(scale_package wine-one 1 4096)
  cp "$bench/win/$exe" "$folder/$exe"
  cp "$bench/win/$exe" "$one/$exe"
  export WINEPREFIX=$bench/wineprefix WINEDEBUG=-all
  local start="wineserver -p; wine '$exe' </dev/null >'$data/wine.log' 2>&1; code=\$?; wineserver -k; exit \$code"
  # The first starts hash every file and leave the Windows record (another kind than the
  # native one's, which they replace).
  local dir
  for dir in "$folder" "$one"; do
    (cd "$dir" && "$run_with_ca" "$bench/certs/ca.pem" sh -c "$start") ||
      { cat "$data/wine.log"; fail "$exe failed under Wine in $dir"; }
  done
  local record one_record
  record=$(record_time "$folder")
  one_record=$(record_time "$one")
  measure auto "$data/wine.txt" "" sh -c "cd '$folder' && $start"
  measure auto "$data/wine_one.txt" "" sh -c "cd '$one' && $start"
  untouched_record "$folder" "$record"
  untouched_record "$one" "$one_record"
  if grep -q '^\[\*\] downloading' "$data/wine.log"; then
    cat "$data/wine.log"
    fail "the start under Wine downloaded"
  fi
  local a_min a_med a_max b_min b_med b_max local_part peak one_peak
  read -r a_min a_med a_max < <(stats "$data/wine.txt" 1)
  read -r b_min b_med b_max < <(stats "$data/wine_one.txt" 1)
  read -r _ _ peak < <(stats "$data/wine.txt" 2)
  read -r _ _ one_peak < <(stats "$data/wine_one.txt" 2)
  local_part=$(calc "$a_med - $b_med" 3)
  peak=$(calc "$peak / 1024" 1)
  one_peak=$(calc "$one_peak / 1024" 1)
  printf '%-22s %8s %8s %8s   (seconds, %d runs)\n' "" min median max "$(wc -l <"$data/wine.txt")"
  printf '%-22s %8.3f %8.3f %8.3f   peak %s MiB\n' "under Wine" "$a_min" "$a_med" "$a_max" "$peak"
  printf '%-22s %8.3f %8.3f %8.3f   peak %s MiB\n' "one file, under Wine" "$b_min" "$b_med" \
    "$b_max" "$one_peak"
  echo "local part: $local_part s"
  summary+=("3 up-to-date start under Wine, $label|s|$(seconds "$a_min" "$a_med" "$a_max")|the same, one file|$(seconds "$b_min" "$b_med" "$b_max")|$(calc "$a_med / $b_med" 3)|local part $local_part s < $goal_seconds s (peak $peak MiB, one file's $one_peak)|$(met "$local_part < $goal_seconds")")
  rm -rf "$one"
}

# The ids differ from the other figures' games ("small" is latency's), which share the catalogue.
scale_rows=${scale_rows-large small}
if [[ " $scale_rows " == *" large "* ]]; then
  scale_figure large 20000 1048576 "20,000 files of 1 MiB" 1 65536
fi
if [[ " $scale_rows " == *" small "* ]]; then
  scale_figure tiny 100000 4096 "100,000 files of 4 KiB" 3 65536
fi
