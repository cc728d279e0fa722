#!/usr/bin/env bash
# Times fileSha256 against openssl and sha256sum on one 1 GiB file: min/median/max of 5 runs each,
# all from the page cache, and the ratios of the medians.
# Usage: bench/hash_file.sh [path/to/velm_hash_file]   (default: build-shani-linux/bench/...)
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
velm_hash_file=${1:-$root/build-shani-linux/bench/velm_hash_file}
runs=5
[[ -x $velm_hash_file ]] || { echo "no velm_hash_file at $velm_hash_file" >&2; exit 1; }

folder=$(mktemp -d)
trap 'rm -rf "$folder"' EXIT
file=$folder/big.bin
head -c 1073741824 /dev/urandom >"$file"

# Prints "min median max" in seconds over $runs runs of the command, whose output is dropped.
time_runs() {
  local times=()
  for ((i = 0; i < runs; i++)); do
    local start end
    start=$(date +%s.%N)
    "$@" >/dev/null
    end=$(date +%s.%N)
    times+=("$(awk -v a="$start" -v b="$end" 'BEGIN {printf "%.6f", b - a}')")
  done
  printf '%s\n' "${times[@]}" | sort -g | awk '{t[NR] = $1} END {printf "%.3f %.3f %.3f\n", t[1], t[int((NR + 1) / 2)], t[NR]}'
}

# Same answer from all three, and the file read once so every tool starts from the page cache.
velm=$("$velm_hash_file" "$file" | cut -d' ' -f1)
ssl=$(openssl dgst -sha256 -r "$file" | cut -d' ' -f1)
sum=$(sha256sum "$file" | cut -d' ' -f1)
if [[ $velm != "$ssl" || $velm != "$sum" ]]; then
  echo "digests differ: velm $velm, openssl $ssl, sha256sum $sum" >&2
  exit 1
fi

read -r velm_min velm_med velm_max < <(time_runs "$velm_hash_file" "$file")
read -r ssl_min ssl_med ssl_max < <(time_runs openssl dgst -sha256 "$file")
read -r sum_min sum_med sum_max < <(time_runs sha256sum "$file")

printf '%-12s %8s %8s %8s   (seconds, 1 GiB, %d runs)\n' tool min median max "$runs"
printf '%-12s %8s %8s %8s\n' fileSha256 "$velm_min" "$velm_med" "$velm_max"
printf '%-12s %8s %8s %8s\n' openssl "$ssl_min" "$ssl_med" "$ssl_max"
printf '%-12s %8s %8s %8s\n' sha256sum "$sum_min" "$sum_med" "$sum_max"
printf 'fileSha256 / openssl   = %.2f  (goal <= 1.10)\n' "$(awk -v a="$velm_med" -v b="$ssl_med" 'BEGIN {print a / b}')"
printf 'sha256sum / fileSha256 = %.2f  (goal >= 4)\n' "$(awk -v a="$sum_med" -v b="$velm_med" 'BEGIN {print a / b}')"
