# shellcheck shell=bash
# Figure 3, start, at scale: up-to-date starts of velm-coop with 20,000 files of 1 MiB (about
# 20 GiB) and with 100,000 files of 4 KiB, against openssl dgst over the same files. Sourced by
# bench/figures/start.sh while nginx serves the published site. To keep the data on disk once,
# each package is made in its game folder and only its manifest is published: written and signed
# with velm-publish beside the site's catalogue, which gains the game and is signed again. The
# first start hashes every file and leaves the record; the timed ones (after an untimed warm-up)
# read none. Adds rows 3b and 3c; `scale_rows=small bench/run.sh start` measures only the second
# (scale_rows: "large", "small", both by default, or "" for none).

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
  measure auto "$data/scale.txt" "" sh -c "cd '$folder' && exec ./velm-coop"
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
  rm -rf "$folder"
}

# The ids differ from the other figures' games ("small" is latency's), which share the catalogue.
scale_rows=${scale_rows-large small}
if [[ " $scale_rows " == *" large "* ]]; then
  scale_figure large 20000 1048576 "20,000 files of 1 MiB" 1 65536
fi
if [[ " $scale_rows " == *" small "* ]]; then
  scale_figure tiny 100000 4096 "100,000 files of 4 KiB" 3 65536
fi
