# shellcheck shell=bash
# Figure 3, start: an up-to-date start of velm-coop with 200 installed files (1 GiB) against
# openssl dgst over those files, then the same at scale (bench/figures/scale.sh). Sourced by
# bench/run.sh once the packages are published; adds row 3 and leaves c3 r3 (the up-to-date run)
# and c3i r3i (the first install) as "connections requests" for the connections figure. The
# timed starts read no file: the first ones leave the record of the files they checked, and a
# timed one that hashed a file would have written it again (untouched_record).

say "3. an up-to-date start: velm-coop with 200 installed files (1 GiB)"
serve direct
many=$(game_folder many bench-many.exe)
lines=$(log_lines)
launch "$many"  # the first install
read -r c3i r3i < <(connections "$lines")
installed=$(grep -c '^\[+\]' "$data/launch.log" || true)
[[ $installed -ge 200 ]] || { cat "$data/launch.log"; fail "only $installed files installed"; }
# A file last written within the file system's time resolution (a second here) of the record is
# not trusted by it: the install's last ones are hashed again by the next start, and again by
# each start within that second. One start after it settles them, as a player's next one does.
sleep 1
lines=$(log_lines)
launch "$many"  # up to date: nothing may download
if grep -q '^\[\*\] downloading' "$data/launch.log"; then
  cat "$data/launch.log"
  fail "the second start downloaded again"
fi
read -r c3 r3 < <(connections "$lines")
echo "velm-coop output, up to date:"
sed 's/^/  | /' "$data/launch.log"
record=$(record_time "$many")
sync  # the package and the site just written: their write-back would share the two cores
measure auto "$data/start.txt" "" --in "$many" ./velm-coop
untouched_record "$many" "$record"
mapfile -t parts < <(cd "$many/Velm Co-op" && ls part-*.pak)
[[ ${#parts[@]} -eq 200 ]] || fail "expected 200 package files, found ${#parts[@]}"
measure auto "$data/start_ssl.txt" "" --in "$many/Velm Co-op" openssl dgst -sha256 "${parts[@]}"
read -r a_min a_med a_max < <(stats "$data/start.txt" 1)
read -r b_min b_med b_max < <(stats "$data/start_ssl.txt" 1)
printf '%-22s %8s %8s %8s   (seconds, %d runs)\n' "" min median max "$(wc -l <"$data/start.txt")"
printf '%-22s %8.3f %8.3f %8.3f\n' "velm-coop" "$a_min" "$a_med" "$a_max"
printf '%-22s %8.3f %8.3f %8.3f\n' "openssl dgst, 200" "$b_min" "$b_med" "$b_max"
budget=$(calc "0.05 * $b_med" 3)
ratio=$(calc "$a_med / $b_med" 3)
echo "velm-coop / openssl = $ratio; goal: median <= 0.05 x openssl = $budget s"
summary+=("3 up-to-date start, 200 files|s|$(seconds "$a_min" "$a_med" "$a_max")|openssl dgst, 200 files|$(seconds "$b_min" "$b_med" "$b_max")|$ratio|<= 0.05 x ($budget s)|$(met "$a_med <= $budget")")
rm -rf "$many"
# What an up-to-date start costs beyond its files (start-up, TLS, four requests): the scale
# figures' local part is their median less this.
start_median=$a_med
. "$here/figures/scale.sh"
