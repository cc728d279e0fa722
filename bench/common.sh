# shellcheck shell=bash
# Sourced by bench/run.sh: the set-up its figures share. Sourcing only sets paths and defines
# functions; run.sh calls them. Expects `wants FIGURE...` from run.sh (true when one of them is
# to be measured).
#
# Paths: root, bench (build/bench), build (its Release tree), data (generated, removed on exit),
# host and port (the catalogue, localhost:9443), behind_relay (9444), plain_port (9445), publish,
# launcher, run_with_ca, access_log, gib.
# Set-up: check_tools, describe_machine, build_release, publish_packages; cleanup on exit.
# Serving and timing: serve, measure, launch, game_folder, log_lines, connections, sent_per_run.
# Figures: stats, calc, met, seconds, the summary rows and print_summary.

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
bench=$root/build/bench
build=$bench/native
data=$bench/data
host=localhost:9443
port=${host##*:}
# Where nginx listens while the relay holds $port.
behind_relay=9444
# Where nginx also answers plain HTTP, for anchors that speak nothing else (zsync).
plain_port=9445
publish=$build/tools/publish/velm-publish
launcher=$build/velm-coop
run_with_ca=$root/tests/https/run_with_ca.sh
access_log=$data/nginx/logs/access.log
gib=1073741824

say() { printf '\n== %s\n' "$*"; }
fail() { echo "bench/run.sh: $*" >&2; exit 1; }

# write_catalogue FILE ENTRIES: the bench's catalogue with ENTRIES, the JSON objects of its games.
write_catalogue() {
  cat >"$1" <<JSON
{
  "schema": 1,
  "launcher": {
    "version": "2.0.0",
    "url": "https://$host/launcher/velm-coop",
    "sha256": "$(printf '0%.0s' $(seq 64))",
    "size": 1
  },
  "games": [
$2
  ]
}
JSON
}

# ---------------------------------------------------------------------------------------------
nginx_pid=
nginx_port=
relay_pid=
stop_relay() {
  if [[ -n $relay_pid ]]; then
    kill "$relay_pid" 2>/dev/null || true
    wait "$relay_pid" 2>/dev/null || true
    relay_pid=
  fi
}
stop_nginx() {
  if [[ -n $nginx_pid ]]; then
    kill "$nginx_pid" 2>/dev/null || true
    wait "$nginx_pid" 2>/dev/null || true
    nginx_pid=
    nginx_port=
  fi
}
# cleanup: run.sh's exit trap.
cleanup() {
  stop_relay
  stop_nginx
  rm -rf "$data"
}

check_tools() {
  "$root/scripts/install-deps.sh"
  local tool
  for tool in curl nginx openssl /usr/bin/time python3 unshare; do
    command -v "$tool" >/dev/null || fail "$tool is missing (scripts/install-deps.sh)"
  done
}

# describe_machine FIGURE...: the machine, the tools' versions and the figures to be measured.
# Sets cpu for the summary.
describe_machine() {
  say "machine"
  cpu=$(awk -F': ' '/^model name/ {print $2; exit}' /proc/cpuinfo)
  local sha_flag
  sha_flag=$(grep -qw sha_ni /proc/cpuinfo && echo yes || echo no)
  echo "nproc $(nproc), CPU ${cpu:-unknown} (SHA instructions: $sha_flag), kernel $(uname -r)"
  echo "$(openssl version | cut -d' ' -f1-2), $(curl --version | head -1 | cut -d' ' -f1-2)," \
    "$(nginx -v 2>&1 | sed 's/.*: //'), $(python3 --version)"
  echo "figures: $(printf '%s ' "$@")"
}

# ---------------------------------------------------------------------------------------------
configure() {
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVELM_BUILD_TESTS=OFF \
    -DVELM_CATALOGUE_HOST="$host" "$@" >"$bench/configure.log" 2>&1 ||
    { cat "$bench/configure.log"; fail "cmake failed"; }
}
# build_release: velm-publish, a key pair (kept between runs), then the launcher trusting that
# key and the benchmarks; sets public and leaves an empty $data.
build_release() {
  say "building (Release, build/bench/native)"
  mkdir -p "$bench"
  configure
  ninja -C "$build" -j"$(nproc)" velm_publish >/dev/null || fail "velm-publish does not build"
  if [[ ! -s $bench/keys/bench.pem ]]; then
    mkdir -p "$bench/keys"
    "$publish" keygen "$bench/keys/bench.pem" >/dev/null
  fi
  public=$("$publish" public-key "$bench/keys/bench.pem")
  configure -DVELM_TRUSTED_KEYS="$public"
  ninja -C "$build" -j"$(nproc)" velm_coop velm_bench velm_hash_file >/dev/null ||
    fail "the launcher or the benchmarks do not build"
  [[ -x $build/bench/velm_bench ]] || fail "no velm_bench (is libbenchmark-dev installed?)"
  rm -rf "$data"
  mkdir -p "$data"
}

# ---------------------------------------------------------------------------------------------
# Figures are kept as "name|unit|velm min med max|anchor name|anchor min med max|ratio|goal|met"
# rows for the summary at the end.
summary=()
# stats FILE COLUMN: "min median max" of one column of numbers.
stats() {
  awk -v c="$2" '{print $c}' "$1" | sort -g |
    awk '{t[NR] = $1} END {if (NR == 0) exit 1; printf "%s %s %s\n", t[1], t[int((NR + 1) / 2)], t[NR]}'
}
calc() { awk "BEGIN {printf \"%.${2:-2}f\", $1}"; }
met() { awk "BEGIN {exit !($1)}" && echo "met" || echo "NOT MET"; }
# seconds MIN MEDIAN MAX: the three as a summary row shows times.
seconds() { echo "$(calc "$1" 3) $(calc "$2" 3) $(calc "$3" 3)"; }

print_summary() {
  say "summary (min / median / max; ratios of the medians)"
  echo "machine: nproc $(nproc), ${cpu:-unknown CPU}, kernel $(uname -r)"
  local row name unit velm anchor anchor_value ratio goal result
  {
    echo "figure|unit|velm min / median / max|anchor|anchor min / median / max|ratio|goal|result"
    for row in "${summary[@]}"; do
      IFS='|' read -r name unit velm anchor anchor_value ratio goal result <<<"$row"
      echo "$name|$unit|${velm// / \/ }|$anchor|${anchor_value// / \/ }|$ratio|$goal|$result"
    done
  } | column -t -s '|'
}

# ---------------------------------------------------------------------------------------------
# publish_packages: the launcher figures' packages, one per kind of install, published in one
# catalogue under $data/site, with the test CA's certificates in $bench/certs.
publish_packages() {
  say "making and publishing the packages (build/bench/data)"
  mkdir -p "$data/packages" "$data/tmp"
  "$root/tests/https/make_certs.sh" "$bench/certs" >/dev/null
  # The co-op launcher stand-in exits at once; the launcher does not wait for it anyway.
  local coop=$data/coop.exe
  printf '#!/bin/sh\nexit 0\n' >"$coop"
  chmod 755 "$coop"
  # "id|name|exe" of each game the catalogue lists.
  local games=()
  if wants start install; then
    mkdir -p "$data/packages/one"
    head -c $gib /dev/urandom >"$data/packages/one/big.pak"
  fi
  if wants start; then
    # 200 files of 5368709 or 5368710 bytes, 1 GiB together.
    mkdir -p "$data/packages/many"
    split -n 200 -d -a 3 --additional-suffix=.pak "$data/packages/one/big.pak" \
      "$data/packages/many/part-"
    games+=("many|Bench 200 files|bench-many.exe")
  fi
  if wants install; then
    games+=("one|Bench one file|bench-one.exe")
  else
    rm -rf "$data/packages/one"
  fi
  if wants latency; then
    # 300 files of 16 KiB: the round trips, not the bytes, are what takes the time.
    mkdir -p "$data/packages/small"
    head -c $((300 * 16384)) /dev/urandom |
      split -b 16384 -d -a 3 --additional-suffix=.pak - "$data/packages/small/part-"
    games+=("small|Bench 300 small files|bench-small.exe")
  fi
  if wants cut; then
    mkdir -p "$data/packages/half"
    head -c $((256 << 20)) /dev/urandom >"$data/packages/half/big.pak"
    games+=("half|Bench one file cut half-way|bench-half.exe")
  fi
  local package_options=() entries="" game id name exe
  for game in "${games[@]}"; do
    IFS='|' read -r id name exe <<<"$game"
    cp "$coop" "$data/packages/$id/coop.exe"
    "$publish" manifest --version 1.0.0 --launcher coop.exe "$data/packages/$id" >/dev/null
    package_options+=(--package "$id=$data/packages/$id")
    entries+="${entries:+,
}    {\"id\": \"$id\", \"name\": \"$name\", \"exe\": \"$exe\", \"steam_appid\": 480,
     \"manifest\": \"https://$host/$id/manifest.json\", \"launcher\": \"coop.exe\"}"
  done
  write_catalogue "$data/games.json" "$entries"
  # The bench build is a Release build with a throwaway key, not a release to publish.
  "$publish" publish --catalogue "$data/games.json" --host "$host" --key "$bench/keys/bench.pem" \
    --launcher-key "$public" "${package_options[@]}" --launcher-build "$launcher" \
    --allow-test-build \
    -o "$data/site" >/dev/null
  # The sources are no longer needed; the site holds its own copies.
  rm -rf "$data/packages"
}

# ---------------------------------------------------------------------------------------------
# shellcheck source=scripts/serve-nginx.sh
. "$root/scripts/serve-nginx.sh"
# serve direct: nginx on $port.
# serve relayed RELAY_OPTION...: nginx on $behind_relay, and bench/relay.py with those options
#   on $port in front of it.
serve() {
  local mode=$1 want_port=$port
  shift
  stop_relay
  [[ $mode == relayed ]] && want_port=$behind_relay
  if [[ $nginx_port != "$want_port" ]]; then
    stop_nginx
    start_nginx "$data/nginx" "$want_port" "$bench/certs" "$data/site/$host" ||
      fail "nginx did not start"
    nginx_port=$want_port
  fi
  [[ $mode == relayed ]] || return 0
  rm -f "$data/relay.ready"
  python3 "$root/bench/relay.py" --listen "$port" --to "$behind_relay" --ready "$data/relay.ready" \
    "$@" 2>>"$data/relay.log" &
  relay_pid=$!
  for _ in $(seq 100); do
    [[ -s $data/relay.ready ]] && return 0
    kill -0 "$relay_pid" 2>/dev/null || break
    sleep 0.1
  done
  cat "$data/relay.log" >&2
  fail "the relay did not start"
}

# measure RUNS|auto OUT SETUP [--in DIR] COMMAND...: runs COMMAND (in DIR) inside the CA's
# namespace under GNU time, after SETUP (a shell line, untimed) each time, and writes one
# "seconds peak_kib" line per run to OUT. The first run is a warm-up, not counted; with "auto" it
# also picks 5 runs, or 3 when 5 would take over a minute. The timer is this small Python
# process, which never holds much memory, and the peak comes from GNU time, a small fresh
# process, so neither inflates it. --in spares a short command the shell that would change
# folder for it (about a millisecond).
measure() {
  local runs=$1 out=$2 setup=$3 folder=.
  shift 3
  if [[ $1 == --in ]]; then
    folder=$2
    shift 2
  fi
  "$run_with_ca" "$bench/certs/ca.pem" python3 - "$runs" "$out" "$setup" "$folder" "$@" <<'PY' ||
import os, subprocess, sys, tempfile, threading, time
runs, out, setup, folder, command = sys.argv[1], sys.argv[2], sys.argv[3], sys.argv[4], sys.argv[5:]
peak_file = tempfile.NamedTemporaryFile(delete=False).name
def once():
    if setup:
        subprocess.run(setup, shell=True, check=True)
    start = time.perf_counter()
    done = subprocess.Popen(["/usr/bin/time", "-f", "%M", "-o", peak_file] + command,
                            cwd=folder, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL)
    # A wait with a time-out polls at growing intervals (up to 50 ms) and would round every
    # time up to its next poll; this one blocks, and a timer ends a run that hangs.
    limit = threading.Timer(600, done.kill)
    limit.start()
    try:
        done.wait()
    finally:
        limit.cancel()
    seconds = time.perf_counter() - start
    if done.returncode != 0:
        sys.exit("exit code %d from %s" % (done.returncode, " ".join(command)))
    with open(peak_file) as f:
        return seconds, int(f.read().split()[-1])
try:
    warm, _ = once()
    count = (5 if warm * 5 <= 60 else 3) if runs == "auto" else int(runs)
    with open(out, "w") as f:
        for _ in range(count):
            f.write("%.6f %d\n" % once())
finally:
    os.unlink(peak_file)
PY
    fail "measuring $* failed"
}

# log_lines: how many lines nginx's access log has so far, the mark the next two read after.
log_lines() {
  sleep 0.2  # nginx writes a line as the answer ends; let the last one land
  wc -l <"$access_log"
}
# connections FROM_LINE: "connections requests" in the access log after line FROM_LINE.
connections() {
  sleep 0.2
  tail -n +"$(($1 + 1))" "$access_log" | awk '$2 == 1 {c++} {r++} END {printf "%d %d\n", c, r}'
}
# sent_per_run MARKS PATH: for each run after the first (the warm-up), "bytes requests" that
# nginx logged for PATH (for every path when it is "") between that run's mark in MARKS (log
# lines before it) and the next.
sent_per_run() {
  sleep 0.2
  awk -v path="$2" '
    NR == FNR {mark[++marks] = $1; next}
    {for (k = marks; k >= 1; k--) if (FNR > mark[k]) break
     if (k >= 1 && (path == "" || $6 == path)) {bytes[k] += $4; requests[k]++}}
    END {for (k = 2; k <= marks; k++) printf "%d %d\n", bytes[k], requests[k]}' "$1" "$access_log"
}

# launch GAME_FOLDER: one visible run of the launcher, checked, with its output in launch.log.
launch() {
  (cd "$1" && "$run_with_ca" "$bench/certs/ca.pem" ./velm-coop </dev/null >"$data/launch.log" 2>&1) ||
    { cat "$data/launch.log"; fail "velm-coop failed in $1"; }
  # The progress line is redrawn with carriage returns: one line per redraw here.
  tr '\r' '\n' <"$data/launch.log" | grep -v '^ *$' >"$data/launch.txt" || true
  mv "$data/launch.txt" "$data/launch.log"
  grep -q '^Starting .* with co-op: coop.exe' "$data/launch.log" ||
    { cat "$data/launch.log"; fail "velm-coop did not start the co-op launcher in $1"; }
}
# record_time FOLDER: when the record of verified files in FOLDER's package was last written.
# An up-to-date start leaves it as it is; one that writes it has hashed some file.
record_time() { stat -c %.9Y "$1/Velm Co-op/..verified"; }
# untouched_record FOLDER TIME: fails unless the record is still the one written at TIME.
untouched_record() {
  [[ $(record_time "$1") == "$2" ]] ||
    fail "the timed starts in $1 hashed files (the record was written again)"
}
# game_folder ID EXE: a fresh folder with the game's exe and the launcher beside it.
game_folder() {
  local folder=$data/games/$1
  mkdir -p "$folder"
  : >"$folder/$2"
  cp "$launcher" "$folder/velm-coop"
  echo "$folder"
}
