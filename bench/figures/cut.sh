# shellcheck shell=bash
# Figure 6, cut: a first install of one 256 MiB file whose transfer the relay cuts once half-way:
# the bytes nginx sent as a multiple of its size, and the time, against curl then curl -C -.
# Sourced by bench/run.sh once the packages are published; adds rows 6a, 6b, leaves c6 r6 for the
# connections figure and cut*.txt for the memory one.

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
