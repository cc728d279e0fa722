# shellcheck shell=bash
# Figure 9, delta: updates of one 1 GiB file from one published version to the next, and from
# three versions behind, against zsync -i OLD over plain HTTP from the same nginx: the bytes
# nginx sent for each update (every request of the run, the documents and the .zsync included)
# and its time. Sourced by bench/run.sh after bench/common.sh's set-up; publishes its own site
# (the catalogue holds one game, "delta") and adds rows 9a to 9k.

say "9. delta updates of one 1 GiB file: velm-coop against zsync -i OLD"
if ! command -v zsync >/dev/null || ! command -v zsyncmake >/dev/null; then
  fail "zsync is missing (scripts/install-deps.sh)"
fi
echo "$(zsync -V 2>&1 | head -1 | cut -d" " -f1-2) (zsync and zsyncmake)"
delta=$data/delta
rm -rf "$delta"
mkdir -p "$delta/versions" "$delta/installed" "$data/tmp"
"$root/tests/https/make_certs.sh" "$bench/certs" >/dev/null

# The versions, each from the last; a seeded AES-CTR stream stands in for the game's bytes, so
# every run of the bench measures the same files.
# stream SEED BYTES: that many pseudo-random bytes, the same for the same SEED.
stream() {
  head -c "$2" /dev/zero | openssl enc -aes-128-ctr -nosalt -pbkdf2 -pass "pass:velm-delta-$1"
}
# rewrite FILE OFFSET BYTES SEED: overwrites BYTES of FILE from OFFSET, keeping its size.
rewrite() {
  stream "$4" "$3" | dd of="$1" bs=64K seek="$2" oflag=seek_bytes conv=notrunc status=none
}
versions=$delta/versions
mib=$((1 << 20))
# v2: 1 MiB rewritten in the middle, off any power-of-two boundary.
# v3: 100,003 bytes inserted at the front, shifting everything after them.
# v4: eight 64 KiB rewrites spread over the file and 1 MiB appended.
stream v1 "$gib" >"$versions/v1"
cp "$versions/v1" "$versions/v2"
rewrite "$versions/v2" $((gib / 2 + 4099)) $mib v2
{ stream v3 100003 && cat "$versions/v2"; } >"$versions/v3"
cp "$versions/v3" "$versions/v4"
for k in 0 1 2 3 4 5 6 7; do
  rewrite "$versions/v4" $((k * gib / 8 + 7777 * (k + 1))) 65536 "v4-$k"
done
stream v4-end $mib >>"$versions/v4"
# The bytes each update brings that the player's file does not hold, by construction.
declare -A changed=([1-2]=$mib [2-3]=100003 [3-4]=$((8 * 65536 + mib))
  [1-4]=$((mib + 100003 + 8 * 65536 + mib)))

# publish_version N: the site as velm-publish writes it for version N of the package (its
# serial N), replacing the one nginx serves, and zsyncmake's control file for the new big.pak
# beside it, as zsync's own users publish one.
site=$delta/site
write_catalogue "$delta/games.json" \
  '    {"id": "delta", "name": "Bench delta update", "exe": "bench-delta.exe", "steam_appid": 480,
     "manifest": "https://'"$host"'/delta/manifest.json", "launcher": "coop.exe"}'
publish_version() {
  local package=$delta/package previous=()
  rm -rf "$package" "$delta/next"
  mkdir -p "$package"
  ln "$versions/v$1" "$package/big.pak"
  printf '#!/bin/sh\nexit 0\n' >"$package/coop.exe"
  chmod 755 "$package/coop.exe"
  "$publish" manifest --version "1.0.$1" --launcher coop.exe "$package" >/dev/null
  [[ ! -d $site ]] || previous=(--previous "$site")
  "$publish" publish --catalogue "$delta/games.json" --host "$host" --key "$bench/keys/bench.pem" \
    --launcher-key "$public" --package "delta=$package" --launcher-build "$launcher" \
    --allow-test-build --serial "$1" "${previous[@]}" -o "$delta/next" >/dev/null
  rm -rf "$package" "$site"
  mv "$delta/next" "$site"
  zsyncmake -u "http://localhost:$plain_port/delta/big.pak" -o "$site/$host/delta/big.pak.zsync" \
    "$site/$host/delta/big.pak" >/dev/null
  cmp -s "$site/$host/delta/big.pak" "$versions/v$1" || fail "the site does not hold version $1"
}

publish_version 1
# This figure's own site on the catalogue's port, and over plain HTTP for zsync; serve() starts
# the other figures' nginx afresh when it sees another port.
stop_relay
stop_nginx
start_nginx "$data/nginx" "$port" "$bench/certs" "$site/$host" "$plain_port" ||
  fail "nginx did not start"
nginx_port=delta
game=$data/games/delta
rm -rf "$game"
game=$(game_folder delta bench-delta.exe)
launch "$game"
grep -q '^\[+\] big.pak' "$data/launch.log" || { cat "$data/launch.log"; fail "big.pak not installed"; }
mv "$game" "$delta/installed/v1"

# last_run MARKS WHO: nginx's log of the last run that MARKS marked, its first 12 requests.
last_run() {
  echo "nginx's log of the last $2 run:"
  tail -n +"$(($(tail -1 "$1") + 1))" "$access_log" |
    awk 'NR <= 12 {print "  | " $0} END {if (NR > 12) print "  | ... " NR - 12 " more"}'
}
# is_version FILE N: whether FILE holds version N.
is_version() { cmp -s "$1" "$versions/v$2"; }
# update OLD NEW: times velm-coop bringing a copy of the game folder that version OLD left up to
# the served version NEW, then zsync making NEW from OLD's file; each leaves "bytes requests"
# per run in velm_OLD-NEW.sent and zsync_OLD-NEW.sent, and times zsync followed by sync OUT as
# well. Leaves the game folder at NEW.
update() {
  local case=$1-$2 out=$data/tmp/big.pak
  local zsync_url=http://localhost:$plain_port/delta/big.pak.zsync
  echo "-- version $1 -> $2: ${changed[$case]} bytes changed"
  rm -rf "$game" && cp -a "$delta/installed/v$1" "$game"
  launch "$game"
  grep -q '^\[+\] big.pak' "$data/launch.log" || { cat "$data/launch.log"; fail "big.pak not updated"; }
  echo "velm-coop output, update $case:"
  grep -v '%$' "$data/launch.log" | sed 's/^/  | /'
  # Each run starts from the old folder, copied and on disk, and marks where its lines begin.
  local mark="wc -l <'$access_log' >>'$delta/velm_$case.marks'"
  measure auto "$delta/velm_$case.txt" \
    "rm -rf '$game' && cp -a '$delta/installed/v$1' '$game' && sync && sleep 0.2 && $mark" \
    sh -c "cd '$game' && exec ./velm-coop"
  sent_per_run "$delta/velm_$case.marks" "" >"$delta/velm_$case.sent"
  last_run "$delta/velm_$case.marks" velm-coop
  is_version "$game/Velm Co-op/big.pak" "$2" || fail "velm-coop did not make version $2"
  mark="wc -l <'$access_log' >>'$delta/zsync_$case.marks'"
  measure auto "$delta/zsync_$case.txt" \
    "rm -f '$out' '$out.part' '$out.zs-old' && sync && sleep 0.2 && $mark" \
    zsync -q -i "$versions/v$1" -o "$out" "$zsync_url"
  sent_per_run "$delta/zsync_$case.marks" "" >"$delta/zsync_$case.sent"
  last_run "$delta/zsync_$case.marks" zsync
  is_version "$out" "$2" || fail "zsync did not make version $2"
  # The launcher puts a file's bytes on disk before it moves the file in; zsync does not. The
  # same work with that flush added:
  measure auto "$delta/zsync_sync_$case.txt" "rm -f '$out' '$out.part' '$out.zs-old' && sync" \
    sh -c "zsync -q -i '$versions/v$1' -o '$out' '$zsync_url' && exec sync '$out'"
  rm -f "$out" "$out.zs-old"
}

publish_version 2
update 1 2
mv "$game" "$delta/installed/v2"
publish_version 3
update 2 3
rm -rf "$delta/installed/v2"
mv "$game" "$delta/installed/v3"
publish_version 4
update 3 4
rm -rf "$delta/installed/v3"
update 1 4
rm -rf "$game" "$delta/installed"
stop_nginx

# The rows: each case's bytes and time beside zsync's, then the sums over the three one-version
# updates, the figure the goals judge.
mib_of() { calc "$1 / 1048576" 3; }
printf '%-34s %12s %12s %12s %9s %9s %9s\n' "" "min bytes" "median" "max" \
  "min s" "median" "max"
bytes_velm=0 bytes_zsync=0 time_velm=0 time_zsync=0 time_zsync_sync=0
rows=abcdefghijk row=0
for case in 1-2 2-3 3-4 1-4; do
  case $case in
    1-2) label="v1 -> v2, 1 MiB rewritten mid-file" ;;
    2-3) label="v2 -> v3, 100,003 bytes at the front" ;;
    3-4) label="v3 -> v4, 8 x 64 KiB rewritten, 1 MiB added" ;;
    1-4) label="v1 -> v4, three versions behind" ;;
  esac
  read -r vb_min vb_med vb_max < <(stats "$delta/velm_$case.sent" 1)
  read -r zb_min zb_med zb_max < <(stats "$delta/zsync_$case.sent" 1)
  read -r vt_min vt_med vt_max < <(stats "$delta/velm_$case.txt" 1)
  read -r zt_min zt_med zt_max < <(stats "$delta/zsync_$case.txt" 1)
  read -r st_min st_med st_max < <(stats "$delta/zsync_sync_$case.txt" 1)
  echo "$label ($(wc -l <"$delta/velm_$case.txt") and $(wc -l <"$delta/zsync_$case.txt") runs):"
  printf '  %-32s %12d %12d %12d %9.3f %9.3f %9.3f\n' velm-coop "$vb_min" "$vb_med" "$vb_max" \
    "$vt_min" "$vt_med" "$vt_max"
  printf '  %-32s %12d %12d %12d %9.3f %9.3f %9.3f\n' "zsync -i OLD" "$zb_min" "$zb_med" "$zb_max" \
    "$zt_min" "$zt_med" "$zt_max"
  printf '  %-32s %12s %12s %12s %9.3f %9.3f %9.3f\n' "  ... + sync OUT" "" "" "" \
    "$st_min" "$st_med" "$st_max"
  printf '  %-32s %12d   velm-coop sent %s x that, zsync %s x\n' "bytes changed" \
    "${changed[$case]}" "$(calc "$vb_med / ${changed[$case]}")" "$(calc "$zb_med / ${changed[$case]}")"
  ratio=$(calc "$vb_med / $zb_med")
  summary+=("9${rows:row++:1} bytes sent, $label|MiB|$(mib_of "$vb_min") $(mib_of "$vb_med") $(mib_of "$vb_max")|zsync -i OLD, .zsync included|$(mib_of "$zb_min") $(mib_of "$zb_med") $(mib_of "$zb_max")|$ratio|<= 1.25|$(met "$ratio <= 1.25")")
  summary+=("9${rows:row++:1} the same update's time|s|$(seconds "$vt_min" "$vt_med" "$vt_max")|the same zsync|$(seconds "$zt_min" "$zt_med" "$zt_max")|$(calc "$vt_med / $zt_med")|-|-")
  if [[ $case != 1-4 ]]; then
    bytes_velm=$((bytes_velm + vb_med)) bytes_zsync=$((bytes_zsync + zb_med))
    time_velm=$(calc "$time_velm + $vt_med" 6) time_zsync=$(calc "$time_zsync + $zt_med" 6)
    time_zsync_sync=$(calc "$time_zsync_sync + $st_med" 6)
  fi
done
ratio=$(calc "$bytes_velm / $bytes_zsync")
echo "bytes sent over the three one-version updates: velm-coop $bytes_velm, zsync $bytes_zsync," \
  "ratio $ratio; goal <= 0.80"
summary+=("9${rows:row++:1} bytes sent, v1 -> v2 -> v3 -> v4 summed|MiB|$(mib_of "$bytes_velm")|zsync, the same|$(mib_of "$bytes_zsync")|$ratio|<= 0.80|$(met "$ratio <= 0.80")")
ratio=$(calc "$time_velm / $time_zsync")
echo "time of the three one-version updates, medians summed: velm-coop $(calc "$time_velm" 3) s," \
  "zsync $(calc "$time_zsync" 3) s, ratio $ratio; goal <= 1.00"
summary+=("9${rows:row++:1} update time, v1 -> v2 -> v3 -> v4 summed|s|$(calc "$time_velm" 3)|zsync, the same|$(calc "$time_zsync" 3)|$ratio|<= 1.00|$(met "$ratio <= 1.00")")
ratio=$(calc "$time_velm / $time_zsync_sync")
echo "the same against zsync followed by sync OUT: $(calc "$time_zsync_sync" 3) s, ratio $ratio"
summary+=("9${rows:row++:1} update time, v1 -> v2 -> v3 -> v4 summed|s|$(calc "$time_velm" 3)|zsync; sync OUT|$(calc "$time_zsync_sync" 3)|$ratio|<= 1.00|$(met "$ratio <= 1.00")")
rm -rf "$delta"
