# shellcheck shell=bash
# Figure 4, install: a first install of one 1 GiB file against curl -o FILE and openssl dgst FILE,
# without and with sync FILE. Sourced by bench/run.sh once the packages are published; adds rows
# 4a, 4b, leaves c4 r4 for the connections figure and install*.txt for the memory one.

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
