# shellcheck shell=bash
# Figure 8, connections: the TLS connections each launcher run of the start, install, latency
# and cut figures opened, from nginx's access log. Sourced by bench/run.sh after those figures;
# adds a row 8a to 8e for each run it has.

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
if wants install; then
  conn c "first install, 1 GiB file + coop.exe" "$c4" "$r4" 2
fi
if wants latency; then
  conn d "first install, 300 files" "$c5" "$r5" 8
fi
if wants cut; then
  conn e "first install, 256 MiB cut once + coop.exe" "$c6" "$r6" 3
fi
