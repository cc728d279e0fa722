# shellcheck shell=bash
# Figure 2, sha256: the Sha256 hasher in MB/s, hardware and portable path (velm_bench), against
# openssl speed. Sourced by bench/run.sh after bench/common.sh's set-up; adds one row per path.

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
