#!/usr/bin/env bash
# The launcher's whole-process performance figures, each beside an anchor measured in the same
# run on the same machine:
#
#   bench/run.sh [FIGURE ...]
#
# It builds a Release native launcher, velm-publish and the benchmarks under build/bench (with a
# throwaway key pair and the catalogue host localhost:9443, so it never clashes with the demo on
# 8443), makes the packages the chosen figures need there, publishes them with
# `velm-publish publish`, serves them with nginx on localhost:9443 (its CA trusted only inside
# tests/https/run_with_ca.sh's mount namespace) and measures these FIGUREs, all of them when none
# is named:
#
#   hash         1. fileSha256 on a 1 GiB file against openssl dgst -sha256 and sha256sum
#                   (bench/hash_file.sh)
#   sha256       2. the Sha256 hasher in MB/s, hardware and portable path, against openssl speed
#   start        3. an up-to-date start of velm-coop (200 files, 1 GiB) against openssl dgst
#                   over those files
#   install      4. a first install of one 1 GiB file against curl -o FILE followed by openssl
#                   dgst FILE, and against the same with sync FILE (the launcher flushes a file
#                   before moving it in)
#   latency      5. a first install of 300 files of 16 KiB over a 50 ms round trip against
#                   curl -Z --parallel-max 8 fetching the same 300 URLs the same way
#   cut          6. a first install of one 256 MiB file whose transfer is cut once half-way: the
#                   bytes nginx sent for it as a multiple of its size, and the time, against
#                   curl -o FILE, then curl -C - -o FILE after the same cut
#   memory       7. the peak resident memory of the installs measured (GNU time's %M of the
#                   launcher process itself); alone, it brings in "install"
#   connections  8. the TLS connections each launcher run opened, from nginx's access log
#                   ($connection_requests == 1); alone, it brings in "start" and "install"
#
# e.g. `bench/run.sh latency cut memory` needs neither 1 GiB package. For "latency" and "cut",
# nginx moves to localhost:9444 behind bench/relay.py on 9443, which delays every chunk by 25 ms
# each way (latency), or closes one connection after 128 MiB from the server (cut).
#
# Every timing is min/median/max over 5 runs (3 when 5 would take over a minute); ratios use the
# medians. Unmet goals are reported, not failures; a step that fails ends the script non-zero.
# nginx and the relay are stopped and the generated data (up to about 4.5 GiB under
# build/bench/data) removed on exit.
# The set-up the figures share (the build, the packages, nginx and the relay, the timing and the
# summary) is in bench/common.sh.
# Needs: scripts/install-deps.sh's packages (curl, nginx, openssl, time, Google Benchmark).
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=bench/common.sh
. "$here/common.sh"

figures=(hash sha256 start install latency cut memory connections)
declare -A chosen=()
for figure in "${@:-${figures[@]}}"; do
  [[ " ${figures[*]} " == *" $figure "* ]] ||
    { echo "usage: bench/run.sh [FIGURE ...]; FIGUREs: ${figures[*]}" >&2; exit 2; }
  chosen[$figure]=1
done
wants() {
  local figure
  for figure; do [[ -n ${chosen[$figure]:-} ]] && return 0; done
  return 1
}
# memory and connections report on the runs of other figures; alone, they bring in the ones
# they always had.
if wants memory && ! wants install latency cut; then chosen[install]=1; fi
if wants connections && ! wants start install latency cut; then
  chosen[start]=1 chosen[install]=1
fi

trap cleanup EXIT
trap 'exit 130' INT TERM

check_tools
running=()
for figure in "${figures[@]}"; do
  if wants "$figure"; then running+=("$figure"); fi
done
describe_machine "${running[@]}"
build_release

# ---------------------------------------------------------------------------------------------
if wants hash; then
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
fi

# ---------------------------------------------------------------------------------------------
if wants sha256; then
say "2. the Sha256 hasher in MB/s (velm_bench, 5 repetitions) against openssl speed -evp sha256"
"$build/bench/velm_bench" --benchmark_filter='^BM_Sha256(Portable|Hardware|Hasher)$' \
  --benchmark_repetitions=5 --benchmark_format=json >"$data/velm_bench.json" 2>"$data/velm_bench.err" ||
  { cat "$data/velm_bench.err"; fail "velm_bench failed"; }
# One "name label MB/s" line per repetition; a benchmark skipped with an error has none.
python3 - "$data/velm_bench.json" >"$data/velm_bench.txt" <<'PY'
import json, sys
for run in json.load(open(sys.argv[1]))["benchmarks"]:
    if run.get("run_type") == "iteration" and not run.get("error_occurred"):
        print(run["name"].split("/")[0], run.get("label") or "-", run["bytes_per_second"] / 1e6)
PY
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
fi

# ---------------------------------------------------------------------------------------------
# The launcher figures: one package per kind of install, published in one catalogue.
if wants start install latency cut; then publish_packages; fi

# ---------------------------------------------------------------------------------------------
if wants start; then
say "3. an up-to-date start: velm-coop with 200 installed files (1 GiB)"
serve direct
many=$(game_folder many bench-many.exe)
lines=$(log_lines)
launch "$many"  # the first install
read -r c3i r3i < <(connections "$lines")
installed=$(grep -c '^\[+\]' "$data/launch.log" || true)
[[ $installed -ge 200 ]] || { cat "$data/launch.log"; fail "only $installed files installed"; }
lines=$(log_lines)
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
summary+=("3 up-to-date start, 200 files|s|$(seconds "$a_min" "$a_med" "$a_max")|openssl dgst, 200 files|$(seconds "$b_min" "$b_med" "$b_max")|$ratio|<= 1.15 x + 0.2 s ($budget s)|$(met "$a_med <= $budget")")
rm -rf "$many"
fi

# ---------------------------------------------------------------------------------------------
if wants install; then
say "4. a first install of one 1 GiB file: velm-coop against curl -o FILE; openssl dgst FILE"
serve direct
one=$(game_folder one bench-one.exe)
lines=$(log_lines)
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
summary+=("4a first install, 1 GiB file|s|$(seconds "$a_min" "$a_med" "$a_max")|curl -o; openssl dgst|$(seconds "$b_min" "$b_med" "$b_max")|$ratio|<= 1.10|$(met "$ratio <= 1.10")")
summary+=("4b first install, 1 GiB file|s|$(seconds "$a_min" "$a_med" "$a_max")|the same + sync FILE|$(seconds "$d_min" "$d_med" "$d_max")|$ratio_sync|<= 1.10|$(met "$ratio_sync <= 1.10")")
rm -rf "$one"
fi

# ---------------------------------------------------------------------------------------------
if wants latency; then
say "5. a first install of 300 files of 16 KiB, 50 ms round trip: velm-coop against curl -Z"
# Every chunk waits 25 ms in the relay each way, so each request costs at least 50 ms.
serve relayed --delay-ms 25
small=$(game_folder small bench-small.exe)
lines=$(log_lines)
launch "$small"
read -r c5 r5 < <(connections "$lines")
installed=$(grep -c '^\[+\] part-' "$data/launch.log" || true)
[[ $installed -eq 300 ]] || { cat "$data/launch.log"; fail "$installed of 300 files installed"; }
(cd "$data/site/$host/small" && sha256sum part-*.pak) >"$data/small.sha256"
(cd "$small/Velm Co-op" && sha256sum --quiet -c "$data/small.sha256") ||
  fail "the installed files differ from the published ones"
echo "velm-coop output, first install (300 files, $c5 connection(s) for $r5 request(s)):"
# Its first and last lines; head would cut sed's pipe short.
sed -n '1,4s/^/  | /p' "$data/launch.log"
echo "  | ..."
tail -n 3 "$data/launch.log" | sed 's/^/  | /'
measure auto "$data/latency.txt" "rm -rf '$small/Velm Co-op' && sync" \
  sh -c "cd '$small' && exec ./velm-coop"
# curl's own list of the same 300 URLs, each with its file.
fetched=$data/tmp/small
for part in $(cd "$data/site/$host/small" && ls part-*.pak); do
  printf 'url = "https://%s/small/%s"\noutput = "%s/%s"\n' "$host" "$part" "$fetched" "$part"
done >"$data/small.curl"
# curl -Z draws its progress meter even with -s: its standard error goes to a file.
measure auto "$data/latency_curl.txt" "rm -rf '$fetched' && mkdir -p '$fetched' && sync" \
  sh -c "exec curl -s -S -f -Z --parallel-max 8 -K '$data/small.curl' 2>'$data/curl.err'"
(cd "$fetched" && sha256sum --quiet -c "$data/small.sha256") || fail "curl fetched something else"
rm -rf "$fetched" "$small"
read -r a_min a_med a_max < <(stats "$data/latency.txt" 1)
read -r b_min b_med b_max < <(stats "$data/latency_curl.txt" 1)
printf '%-22s %8s %8s %8s   (seconds, %d runs)\n' "" min median max "$(wc -l <"$data/latency.txt")"
printf '%-22s %8.3f %8.3f %8.3f\n' "velm-coop" "$a_min" "$a_med" "$a_max"
printf '%-22s %8.3f %8.3f %8.3f\n' "curl -Z, 8 at once" "$b_min" "$b_med" "$b_max"
ratio=$(calc "$a_med / $b_med")
echo "velm-coop / curl = $ratio; goal <= 1.25"
summary+=("5 first install, 300 x 16 KiB, 50 ms RTT|s|$(seconds "$a_min" "$a_med" "$a_max")|curl -Z --parallel-max 8|$(seconds "$b_min" "$b_med" "$b_max")|$ratio|<= 1.25|$(met "$ratio <= 1.25")")
fi

# ---------------------------------------------------------------------------------------------
if wants cut; then
say "6. a first install of one 256 MiB file cut once half-way: bytes sent and time"
# The relay closes the first connection that has carried 128 MiB from nginx, once a run.
size=$((256 << 20))
serve relayed --cut-after $((128 << 20))
half=$(game_folder half bench-half.exe)
lines=$(log_lines)
launch "$half"
grep -q '^\[+\] big.pak' "$data/launch.log" || { cat "$data/launch.log"; fail "big.pak not installed"; }
read -r c6 r6 < <(connections "$lines")
expected=$(sha256sum "$data/site/$host/half/big.pak" | cut -d' ' -f1)
[[ $(sha256sum "$half/Velm Co-op/big.pak" | cut -d' ' -f1) == "$expected" ]] ||
  fail "the installed big.pak differs from the published one"
echo "velm-coop output, first install:"
grep -v '%$' "$data/launch.log" | sed 's/^/  | /'
echo "nginx's log of big.pak:"
tail -n +"$((lines + 1))" "$access_log" | awk '$6 == "/half/big.pak"' | sed 's/^/  | /'
# Each run arms the relay's one cut again and marks where its lines begin in nginx's log.
arm="kill -USR1 $relay_pid && wc -l <'$access_log'"
measure auto "$data/cut.txt" "rm -rf '$half/Velm Co-op' && sync && $arm >>'$data/cut.marks'" \
  sh -c "cd '$half' && exec ./velm-coop"
[[ $(sha256sum "$half/Velm Co-op/big.pak" | cut -d' ' -f1) == "$expected" ]] ||
  fail "the last run installed another big.pak"
sent_per_run "$data/cut.marks" /half/big.pak >"$data/cut_sent.txt"
fetched=$data/tmp/big.pak
url=https://$host/half/big.pak
# What curl does by hand: the cut ends the first curl; after the launcher's 1 s, a second one
# continues from the file's end. Then the launcher's other work: the digest and the flush.
measure auto "$data/cut_curl.txt" "rm -f '$fetched' && sync && $arm >>'$data/cut_curl.marks'" \
  sh -c "{ curl -s -o '$fetched' '$url' || { sleep 1 && curl -s -S -f -C - -o '$fetched' '$url'; }; } &&
    openssl dgst -sha256 '$fetched' && exec sync '$fetched'"
[[ $(openssl dgst -sha256 -r "$fetched" | cut -d' ' -f1) == "$expected" ]] ||
  fail "curl fetched something else"
sent_per_run "$data/cut_curl.marks" /half/big.pak >"$data/cut_curl_sent.txt"
rm -rf "$fetched" "$half"
# Each run must have been cut: two requests for the file, or the figure measures nothing.
for file in cut_sent cut_curl_sent; do
  awk '$2 != 2 {exit 1}' "$data/$file.txt" ||
    { cat "$data/relay.log" "$data/$file.txt"; fail "a run of $file was not cut exactly once"; }
  awk -v size=$size '{print $1 / size}' "$data/$file.txt" >"$data/$file.ratio"
done
read -r a_min a_med a_max < <(stats "$data/cut.txt" 1)
read -r b_min b_med b_max < <(stats "$data/cut_curl.txt" 1)
read -r x_min x_med x_max < <(stats "$data/cut_sent.ratio" 1)
read -r y_min y_med y_max < <(stats "$data/cut_curl_sent.ratio" 1)
printf '%-30s %8s %8s %8s   (%d runs)\n' "" min median max "$(wc -l <"$data/cut.txt")"
printf '%-30s %8.3f %8.3f %8.3f\n' "velm-coop, sent / size" "$x_min" "$x_med" "$x_max"
printf '%-30s %8.3f %8.3f %8.3f\n' "curl; curl -C -, sent / size" "$y_min" "$y_med" "$y_max"
printf '%-30s %8.3f %8.3f %8.3f\n' "velm-coop, seconds" "$a_min" "$a_med" "$a_max"
printf '%-30s %8.3f %8.3f %8.3f\n' "curl; curl -C -; dgst; sync" "$b_min" "$b_med" "$b_max"
echo "bytes sent / file size, every run: goal <= 1.10"
summary+=("6a bytes sent, 256 MiB file cut once|x size|$(seconds "$x_min" "$x_med" "$x_max")|curl; after 1 s curl -C -|$(seconds "$y_min" "$y_med" "$y_max")|$(calc "$x_med / $y_med")|<= 1.10 every run|$(met "$x_max <= 1.10")")
summary+=("6b the same install's time|s|$(seconds "$a_min" "$a_med" "$a_max")|the same; dgst; sync|$(seconds "$b_min" "$b_med" "$b_max")|$(calc "$a_med / $b_med")|-|-")
fi

# ---------------------------------------------------------------------------------------------
if wants memory; then
say "7. peak resident memory of those installs (GNU time %M of the launcher process)"
# The floor: what GNU time reports for a process that does nothing.
measure 5 "$data/floor.txt" "" /bin/true
# What loading the launcher's shared libraries (libcurl, OpenSSL and theirs) alone costs.
measure 5 "$data/libraries.txt" "" "$launcher" --version
read -r f_min f_med f_max < <(stats "$data/floor.txt" 2)
read -r l_min l_med l_max < <(stats "$data/libraries.txt" 2)
mib() { calc "$1 / 1024" 1; }
printf '%-36s %8s %8s %8s   (MiB)\n' "" min median max
# peak ROW LABEL VELM_FILE ANCHOR_LABEL ANCHOR_FILE: one install's peak beside its anchor's.
peak() {
  local m_min m_med m_max k_min k_med k_max
  read -r m_min m_med m_max < <(stats "$data/$3" 2)
  read -r k_min k_med k_max < <(stats "$data/$5" 2)
  printf '%-36s %8s %8s %8s\n' "velm-coop, $2" "$(mib "$m_min")" "$(mib "$m_med")" "$(mib "$m_max")"
  printf '%-36s %8s %8s %8s\n' "  $4" "$(mib "$k_min")" "$(mib "$k_med")" "$(mib "$k_max")"
  summary+=("7$1 peak RSS, $2|MiB|$(mib "$m_min") $(mib "$m_med") $(mib "$m_max")|$4|$(mib "$k_min") $(mib "$k_med") $(mib "$k_max")|$(calc "$m_med / $k_med")|< 16 MiB|$(met "$m_max < 16 * 1024")")
}
wants install && peak a "1 GiB file install" install.txt "largest of sh, curl, openssl" install_curl.txt
wants latency && peak b "300 files, 8 at once" latency.txt "curl -Z --parallel-max 8" latency_curl.txt
wants cut && peak c "256 MiB file, cut once" cut.txt "largest of curl, openssl, sync" cut_curl.txt
printf '%-36s %8s %8s %8s\n' "velm-coop --version" "$(mib "$l_min")" "$(mib "$l_med")" "$(mib "$l_max")"
printf '%-36s %8s %8s %8s\n' "/bin/true (floor)" "$(mib "$f_min")" "$(mib "$f_med")" "$(mib "$f_max")"
echo "goal: < 16 MiB, every run"
fi

# ---------------------------------------------------------------------------------------------
if wants connections; then
say "8. TLS connections opened by one run (nginx log, \$connection_requests == 1)"
# One connection carries a run's documents; each file in flight needs its own, so an install
# opens one per file it fetches at once, up to kMaxTransfers (8), and a cut connection is
# replaced. Every package also holds coop.exe: the "one file" installs fetch two files.
# conn ROW LABEL CONNECTIONS REQUESTS GOAL
conn() {
  printf '%-40s %d connection(s) for %d request(s)\n' "$2:" "$3" "$4"
  summary+=("8$1 connections, $2|conn.|$3|requests|$4|-|<= $5|$(met "$3 <= $5")")
}
if wants start; then
  conn a "up-to-date start" "$c3" "$r3" 1
  conn b "first install, 200 files" "$c3i" "$r3i" 8
fi
wants install && conn c "first install, 1 GiB file + coop.exe" "$c4" "$r4" 2
wants latency && conn d "first install, 300 files" "$c5" "$r5" 8
wants cut && conn e "first install, 256 MiB cut once + coop.exe" "$c6" "$r6" 3
fi

print_summary
