# shellcheck shell=bash
# Figure 7, memory: the launcher's peak resident memory in the installs that the install, latency
# and cut figures timed, beside their anchors'. Sourced by bench/run.sh after those figures; adds
# a row 7a, 7b, 7c for each of them that ran.

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
if wants install; then
  peak a "1 GiB file install" install.txt "largest of sh, curl, openssl" install_curl.txt
fi
if wants latency; then
  peak b "300 files of 16 KiB" latency.txt "curl -Z --parallel-max 8" latency_curl.txt
fi
if wants cut; then
  peak c "256 MiB file, cut once" cut.txt "largest of curl, openssl, sync" cut_curl.txt
fi
printf '%-36s %8s %8s %8s\n' "velm-coop --version" "$(mib "$l_min")" "$(mib "$l_med")" "$(mib "$l_max")"
printf '%-36s %8s %8s %8s\n' "/bin/true (floor)" "$(mib "$f_min")" "$(mib "$f_med")" "$(mib "$f_max")"
echo "goal: < 16 MiB, every run"
