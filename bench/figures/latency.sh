# shellcheck shell=bash
# Figure 5, latency: a first install of 300 files of 16 KiB over a 50 ms round trip (the relay)
# against curl -Z --parallel-max 8 (the launcher keeps as many files in flight as its Net carries:
# more than 8 over HTTP/2). Sourced by bench/run.sh once the packages are published; adds
# row 5, leaves c5 r5 for the connections figure and latency*.txt for the memory one.

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
printf '%-22s %8.3f %8.3f %8.3f\n' "curl -Z, 8 in flight" "$b_min" "$b_med" "$b_max"
ratio=$(calc "$a_med / $b_med")
echo "velm-coop / curl = $ratio; goal <= 0.5"
summary+=("5 first install, 300 x 16 KiB, 50 ms RTT|s|$(seconds "$a_min" "$a_med" "$a_max")|curl -Z --parallel-max 8|$(seconds "$b_min" "$b_med" "$b_max")|$ratio|<= 0.5|$(met "$ratio <= 0.5")")
