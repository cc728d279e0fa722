#!/usr/bin/env bash
# The launcher's whole-process performance figures, each beside an anchor measured in the same
# run on the same machine:
#
#   bench/run.sh
#
# It builds a Release native launcher, velm-publish and the benchmarks under build/bench (with a
# throwaway key pair and the catalogue host localhost:9443, so it never clashes with the demo on
# 8443), makes two 1 GiB packages there (200 files of about 5 MiB, and one 1 GiB file),
# publishes them with `velm-publish publish`, serves them with nginx on localhost:9443 (its CA
# trusted only inside tests/https/run_with_ca.sh's mount namespace) and measures:
#
#   1. fileSha256 on a 1 GiB file against openssl dgst -sha256 and sha256sum (bench/hash_file.sh)
#   2. the Sha256 hasher in MB/s, hardware and portable path, against openssl speed
#   3. an up-to-date start of velm-coop (200 files, 1 GiB) against openssl dgst over those files
#   4. a first install of one 1 GiB file against curl -o FILE followed by openssl dgst FILE,
#      and against the same with sync FILE (the launcher flushes a file before moving it in)
#   5. the peak resident memory of that install (GNU time's %M of the launcher process itself)
#   6. the TLS connections one run opens, from nginx's access log ($connection_requests == 1)
#
# Every timing is min/median/max over 5 runs (3 when 5 would take over a minute); ratios use the
# medians. Unmet goals are reported, not failures; a step that fails ends the script non-zero.
# nginx is stopped and the generated data (about 4 GiB under build/bench/data) removed on exit.
# Needs: scripts/install-deps.sh's packages (curl, nginx, openssl, time, Google Benchmark).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
bench=$root/build/bench
build=$bench/native
data=$bench/data
host=localhost:9443
port=${host##*:}
publish=$build/tools/publish/velm-publish
run_with_ca=$root/tests/https/run_with_ca.sh
gib=1073741824

say() { printf '\n== %s\n' "$*"; }
fail() { echo "bench/run.sh: $*" >&2; exit 1; }

nginx_pid=
cleanup() {
  if [[ -n $nginx_pid ]]; then
    kill "$nginx_pid" 2>/dev/null || true
    wait "$nginx_pid" 2>/dev/null || true
  fi
  rm -rf "$data"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

"$root/scripts/install-deps.sh"
for tool in curl nginx openssl /usr/bin/time python3 unshare; do
  command -v "$tool" >/dev/null || fail "$tool is missing (scripts/install-deps.sh)"
done

say "machine"
cpu=$(awk -F': ' '/^model name/ {print $2; exit}' /proc/cpuinfo)
sha_flag=$(grep -qw sha_ni /proc/cpuinfo && echo yes || echo no)
echo "nproc $(nproc), CPU ${cpu:-unknown} (SHA instructions: $sha_flag), kernel $(uname -r)"
echo "$(openssl version | cut -d' ' -f1-2), $(curl --version | head -1 | cut -d' ' -f1-2)," \
  "$(nginx -v 2>&1 | sed 's/.*: //')"

# ---------------------------------------------------------------------------------------------
say "building (Release, build/bench/native)"
mkdir -p "$bench"
configure() {
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVELM_BUILD_TESTS=OFF \
    -DVELM_CATALOGUE_HOST="$host" "$@" >"$bench/configure.log" 2>&1 ||
    { cat "$bench/configure.log"; fail "cmake failed"; }
}
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
launcher=$build/velm-coop
[[ -x $build/bench/velm_bench ]] || fail "no velm_bench (is libbenchmark-dev installed?)"
rm -rf "$data"
mkdir -p "$data"

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

# ---------------------------------------------------------------------------------------------
say "1. fileSha256 on a 1 GiB file (bench/hash_file.sh)"
hash_out=$("$root/bench/hash_file.sh" "$build/bench/velm_hash_file") || fail "hash_file.sh failed"
echo "$hash_out"
read -r _ h_velm_min h_velm_med h_velm_max < <(grep -m1 '^fileSha256 ' <<<"$hash_out")
read -r _ h_ssl_min h_ssl_med h_ssl_max < <(grep '^openssl ' <<<"$hash_out")
read -r _ h_sum_min h_sum_med h_sum_max < <(grep '^sha256sum ' <<<"$hash_out")
ratio=$(calc "$h_velm_med / $h_ssl_med")
summary+=("1a fileSha256, 1 GiB|s|$h_velm_min $h_velm_med $h_velm_max|openssl dgst|$h_ssl_min $h_ssl_med $h_ssl_max|$ratio|<= 1.10|$(met "$ratio <= 1.10")")
ratio=$(calc "$h_sum_med / $h_velm_med")
summary+=("1b fileSha256, 1 GiB|s|$h_velm_min $h_velm_med $h_velm_max|sha256sum|$h_sum_min $h_sum_med $h_sum_max|$ratio x faster|>= 4x faster|$(met "$ratio >= 4")")

# ---------------------------------------------------------------------------------------------
say "2. the Sha256 hasher in MB/s (velm_bench, 5 repetitions) against openssl speed -evp sha256"
"$build/bench/velm_bench" --benchmark_filter='^BM_Sha256(Portable|Hardware|Hasher)$' \
  --benchmark_repetitions=5 --benchmark_format=json >"$data/velm_bench.json" 2>"$data/velm_bench.err" ||
  { cat "$data/velm_bench.err"; fail "velm_bench failed"; }
# One "name label MB/s" line per repetition; a benchmark skipped with an error has none.
python3 - "$data/velm_bench.json" >"$data/velm_bench.txt" <<'EOF'
import json, sys
for run in json.load(open(sys.argv[1]))["benchmarks"]:
    if run.get("run_type") == "iteration" and not run.get("error_occurred"):
        print(run["name"].split("/")[0], run.get("label") or "-", run["bytes_per_second"] / 1e6)
EOF
# openssl's own SHA-256 over 64 KiB buffers, the piece size the hasher is fed above.
: >"$data/openssl_speed.txt"
for _ in 1 2 3 4 5; do
  openssl speed -evp sha256 -bytes 65536 -seconds 1 -mr 2>/dev/null |
    awk -F: '/^\+F:/ {print $4 / 1e6}' >>"$data/openssl_speed.txt"
done
read -r s_min s_med s_max < <(stats "$data/openssl_speed.txt" 1) || fail "openssl speed gave nothing"
printf '%-18s %10s %10s %10s   (MB/s, 64 KiB pieces, 5 runs)\n' path min median max
for name in Hardware Portable Hasher; do
  grep "^BM_Sha256$name " "$data/velm_bench.txt" >"$data/path.txt" || {
    echo "BM_Sha256$name: skipped ($(grep -o '"error_message": "[^"]*"' "$data/velm_bench.json" | head -1))"
    continue
  }
  read -r p_min p_med p_max < <(stats "$data/path.txt" 3)
  label=$(awk '{print $2; exit}' "$data/path.txt")
  [[ $label == - ]] && label= || label=" ($label)"
  printf '%-18s %10.0f %10.0f %10.0f\n' "$name$label" "$p_min" "$p_med" "$p_max"
  summary+=("2 Sha256 $name$label|MB/s|$(calc "$p_min" 0) $(calc "$p_med" 0) $(calc "$p_max" 0)|openssl speed|$(calc "$s_min" 0) $(calc "$s_med" 0) $(calc "$s_max" 0)|$(calc "$p_med / $s_med")|-|-")
done
printf '%-18s %10.0f %10.0f %10.0f\n' "openssl speed" "$s_min" "$s_med" "$s_max"
rm -f "$data/path.txt"

# ---------------------------------------------------------------------------------------------
say "making and publishing the packages (build/bench/data)"
mkdir -p "$data/packages/many" "$data/packages/one" "$data/tmp"
"$root/tests/https/make_certs.sh" "$bench/certs" >/dev/null
# The co-op launcher stand-in exits at once; the launcher does not wait for it anyway.
coop=$data/coop.exe
printf '#!/bin/sh\nexit 0\n' >"$coop"
chmod 755 "$coop"
head -c $gib /dev/urandom >"$data/packages/one/big.pak"
# 200 files of 5368709 or 5368710 bytes, 1 GiB together.
split -n 200 -d -a 3 --additional-suffix=.pak "$data/packages/one/big.pak" "$data/packages/many/part-"
cp "$coop" "$data/packages/many/coop.exe"
cp "$coop" "$data/packages/one/coop.exe"
for package in many one; do
  "$publish" manifest --version 1.0.0 --launcher coop.exe "$data/packages/$package" >/dev/null
done
cat >"$data/games.json" <<EOF
{
  "schema": 1,
  "launcher": {
    "version": "2.0.0",
    "url": "https://$host/launcher/velm-coop",
    "sha256": "$(printf '0%.0s' $(seq 64))",
    "size": 1
  },
  "games": [
    {"id": "many", "name": "Bench 200 files", "exe": "bench-many.exe", "steam_appid": 480,
     "manifest": "https://$host/many/manifest.json", "launcher": "coop.exe"},
    {"id": "one", "name": "Bench one file", "exe": "bench-one.exe", "steam_appid": 480,
     "manifest": "https://$host/one/manifest.json", "launcher": "coop.exe"}
  ]
}
EOF
"$publish" publish --catalogue "$data/games.json" --host "$host" --key "$bench/keys/bench.pem" \
  --launcher-key "$public" --package "many=$data/packages/many" --package "one=$data/packages/one" \
  --launcher-build "$launcher" -o "$data/site" >/dev/null
# The sources are no longer needed; the site holds its own copies.
rm -rf "$data/packages"

say "serving it with nginx on https://$host"
. "$root/scripts/serve-nginx.sh"
start_nginx "$data/nginx" "$port" "$bench/certs" "$data/site/$host" || fail "nginx did not start"
access_log=$data/nginx/logs/access.log

# measure RUNS|auto OUT SETUP COMMAND...: runs COMMAND inside the CA's namespace under GNU time,
# after SETUP (a shell line, untimed) each time, and writes one "seconds peak_kib" line per run
# to OUT. The first run is a warm-up, not counted; with "auto" it also picks 5 runs, or 3 when 5
# would take over a minute. The timer is this small Python process, which never holds much
# memory, and the peak comes from GNU time, a small fresh process, so neither inflates it.
measure() {
  local runs=$1 out=$2 setup=$3
  shift 3
  "$run_with_ca" "$bench/certs/ca.pem" python3 - "$runs" "$out" "$setup" "$@" <<'EOF' ||
import os, subprocess, sys, tempfile, time
runs, out, setup, command = sys.argv[1], sys.argv[2], sys.argv[3], sys.argv[4:]
peak_file = tempfile.NamedTemporaryFile(delete=False).name
def once():
    if setup:
        subprocess.run(setup, shell=True, check=True)
    start = time.perf_counter()
    done = subprocess.run(["/usr/bin/time", "-f", "%M", "-o", peak_file] + command,
                          stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, timeout=600)
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
EOF
    fail "measuring $* failed"
}

# connections FROM_LINE: "connections requests" in the access log after line FROM_LINE.
connections() {
  sleep 0.2  # nginx writes a line as the answer ends; let the last one land
  tail -n +"$(($1 + 1))" "$access_log" | awk '$2 == 1 {c++} {r++} END {printf "%d %d\n", c, r}'
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

# ---------------------------------------------------------------------------------------------
say "3. an up-to-date start: velm-coop with 200 installed files (1 GiB)"
many=$data/games/many
mkdir -p "$many"
: >"$many/bench-many.exe"
cp "$launcher" "$many/velm-coop"
launch "$many"  # the first install
installed=$(grep -c '^\[+\]' "$data/launch.log" || true)
[[ $installed -ge 200 ]] || { cat "$data/launch.log"; fail "only $installed files installed"; }
lines=$(wc -l <"$access_log")
launch "$many"  # up to date: nothing may download
if grep -q '^\[\*\] downloading' "$data/launch.log"; then
  cat "$data/launch.log"
  fail "the second start downloaded again"
fi
read -r c3 r3 < <(connections "$lines")
echo "velm-coop output, up to date:"
sed 's/^/  | /' "$data/launch.log"
measure auto "$data/start.txt" "" sh -c "cd '$many' && exec ./velm-coop"
mapfile -t parts < <(cd "$many/Velm Co-op" && ls part-*.pak)
[[ ${#parts[@]} -eq 200 ]] || fail "expected 200 package files, found ${#parts[@]}"
measure auto "$data/start_ssl.txt" "" sh -c "cd '$many/Velm Co-op' && exec openssl dgst -sha256 part-*.pak"
read -r a_min a_med a_max < <(stats "$data/start.txt" 1)
read -r b_min b_med b_max < <(stats "$data/start_ssl.txt" 1)
printf '%-22s %8s %8s %8s   (seconds, %d runs)\n' "" min median max "$(wc -l <"$data/start.txt")"
printf '%-22s %8.3f %8.3f %8.3f\n' "velm-coop" "$a_min" "$a_med" "$a_max"
printf '%-22s %8.3f %8.3f %8.3f\n' "openssl dgst, 200" "$b_min" "$b_med" "$b_max"
budget=$(calc "1.15 * $b_med + 0.2" 3)
ratio=$(calc "$a_med / $b_med")
echo "velm-coop / openssl = $ratio; goal: median <= 1.15 x openssl + 0.2 s = $budget s"
summary+=("3 up-to-date start, 200 files|s|$(calc "$a_min" 3) $(calc "$a_med" 3) $(calc "$a_max" 3)|openssl dgst, 200 files|$(calc "$b_min" 3) $(calc "$b_med" 3) $(calc "$b_max" 3)|$ratio|<= 1.15 x + 0.2 s ($budget s)|$(met "$a_med <= $budget")")
rm -rf "$many"

# ---------------------------------------------------------------------------------------------
say "4. a first install of one 1 GiB file: velm-coop against curl -o FILE; openssl dgst FILE"
one=$data/games/one
mkdir -p "$one"
: >"$one/bench-one.exe"
cp "$launcher" "$one/velm-coop"
lines=$(wc -l <"$access_log")
launch "$one"
grep -q '^\[+\] big.pak' "$data/launch.log" || { cat "$data/launch.log"; fail "big.pak not installed"; }
read -r c4 r4 < <(connections "$lines")
echo "velm-coop output, first install:"
grep -v '%$' "$data/launch.log" | sed 's/^/  | /'
expected=$(sha256sum "$data/site/$host/one/big.pak" | cut -d' ' -f1)
[[ $(sha256sum "$one/Velm Co-op/big.pak" | cut -d' ' -f1) == "$expected" ]] ||
  fail "the installed big.pak differs from the published one"
# Each run starts from an empty package folder, with nothing dirty waiting to be written back.
measure auto "$data/install.txt" "rm -rf '$one/Velm Co-op' && sync" \
  sh -c "cd '$one' && exec ./velm-coop"
fetched=$data/tmp/big.pak
measure auto "$data/install_curl.txt" "rm -f '$fetched' && sync" \
  sh -c "curl -s -f -o '$fetched' 'https://$host/one/big.pak' && exec openssl dgst -sha256 '$fetched'"
[[ $(openssl dgst -sha256 -r "$fetched" | cut -d' ' -f1) == "$expected" ]] ||
  fail "curl fetched something else"
# The launcher puts a file's bytes on disk before it moves the file into place (a power loss must
# not leave a replaced, empty file); curl does not. The same work with that flush added:
measure auto "$data/install_curl_sync.txt" "rm -f '$fetched' && sync" \
  sh -c "curl -s -f -o '$fetched' 'https://$host/one/big.pak' && openssl dgst -sha256 '$fetched' && exec sync '$fetched'"
rm -f "$fetched"
read -r a_min a_med a_max < <(stats "$data/install.txt" 1)
read -r b_min b_med b_max < <(stats "$data/install_curl.txt" 1)
read -r d_min d_med d_max < <(stats "$data/install_curl_sync.txt" 1)
printf '%-22s %8s %8s %8s   (seconds, %d runs)\n' "" min median max "$(wc -l <"$data/install.txt")"
printf '%-22s %8.3f %8.3f %8.3f\n' "velm-coop" "$a_min" "$a_med" "$a_max"
printf '%-22s %8.3f %8.3f %8.3f\n' "curl + openssl dgst" "$b_min" "$b_med" "$b_max"
printf '%-22s %8.3f %8.3f %8.3f\n' "  ... + sync FILE" "$d_min" "$d_med" "$d_max"
ratio=$(calc "$a_med / $b_med")
ratio_sync=$(calc "$a_med / $d_med")
echo "velm-coop / (curl + openssl) = $ratio; goal <= 1.10"
echo "velm-coop / (curl + openssl + sync) = $ratio_sync; goal <= 1.10"
summary+=("4a first install, 1 GiB file|s|$(calc "$a_min" 3) $(calc "$a_med" 3) $(calc "$a_max" 3)|curl -o; openssl dgst|$(calc "$b_min" 3) $(calc "$b_med" 3) $(calc "$b_max" 3)|$ratio|<= 1.10|$(met "$ratio <= 1.10")")
summary+=("4b first install, 1 GiB file|s|$(calc "$a_min" 3) $(calc "$a_med" 3) $(calc "$a_max" 3)|the same + sync FILE|$(calc "$d_min" 3) $(calc "$d_med" 3) $(calc "$d_max" 3)|$ratio_sync|<= 1.10|$(met "$ratio_sync <= 1.10")")

# ---------------------------------------------------------------------------------------------
say "5. peak resident memory of that install (GNU time %M of the launcher process)"
# The floor: what GNU time reports for a process that does nothing.
measure 5 "$data/floor.txt" "" /bin/true
# What loading the launcher's shared libraries (libcurl, OpenSSL and theirs) alone costs.
measure 5 "$data/libraries.txt" "" "$launcher" --version
read -r m_min m_med m_max < <(stats "$data/install.txt" 2)
read -r k_min k_med k_max < <(stats "$data/install_curl.txt" 2)
read -r f_min f_med f_max < <(stats "$data/floor.txt" 2)
read -r l_min l_med l_max < <(stats "$data/libraries.txt" 2)
mib() { calc "$1 / 1024" 1; }
printf '%-22s %8s %8s %8s   (MiB)\n' "" min median max
printf '%-22s %8s %8s %8s\n' "velm-coop install" "$(mib "$m_min")" "$(mib "$m_med")" "$(mib "$m_max")"
printf '%-22s %8s %8s %8s\n' "sh; curl; openssl" "$(mib "$k_min")" "$(mib "$k_med")" "$(mib "$k_max")"
printf '%-22s %8s %8s %8s\n' "velm-coop --version" "$(mib "$l_min")" "$(mib "$l_med")" "$(mib "$l_max")"
printf '%-22s %8s %8s %8s\n' "/bin/true (floor)" "$(mib "$f_min")" "$(mib "$f_med")" "$(mib "$f_max")"
echo "goal: < 16 MiB"
summary+=("5 peak RSS of the install|MiB|$(mib "$m_min") $(mib "$m_med") $(mib "$m_max")|largest of sh, curl, openssl|$(mib "$k_min") $(mib "$k_med") $(mib "$k_max")|$(calc "$m_med / $k_med")|< 16 MiB|$(met "$m_max < 16 * 1024")")

# ---------------------------------------------------------------------------------------------
say "6. TLS connections opened by one run (nginx log, \$connection_requests == 1)"
echo "up-to-date start: $c3 connection(s) for $r3 request(s)"
echo "first install:    $c4 connection(s) for $r4 request(s)"
summary+=("6a connections, up-to-date start|conn.|$c3|requests|$r3|-|1|$(met "$c3 == 1")")
summary+=("6b connections, first install|conn.|$c4|requests|$r4|-|1|$(met "$c4 == 1")")

# ---------------------------------------------------------------------------------------------
say "summary (min / median / max; ratios of the medians)"
echo "machine: nproc $(nproc), ${cpu:-unknown CPU}, kernel $(uname -r)"
{
  echo "figure|unit|velm min / median / max|anchor|anchor min / median / max|ratio|goal|result"
  for row in "${summary[@]}"; do
    IFS='|' read -r name unit velm anchor anchor_value ratio goal result <<<"$row"
    echo "$name|$unit|${velm// / \/ }|$anchor|${anchor_value// / \/ }|$ratio|$goal|$result"
  done
} | column -t -s '|'
