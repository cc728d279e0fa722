# shellcheck shell=bash
# Figure 1, hash: fileSha256 on a 1 GiB file against openssl dgst -sha256 and sha256sum, timed
# by bench/hash_file.sh. Sourced by bench/run.sh after bench/common.sh's set-up; adds rows 1a, 1b.

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
