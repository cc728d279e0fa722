#!/usr/bin/env bash
# Fails when a C or C++ file of src/ tools/ tests/ bench/ fuzz/ differs from the repository's
# .clang-format, naming each one. Format a file with `clang-format -i FILE`.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
mapfile -t files < <(find src tools tests bench fuzz -type f \( -name '*.h' -o -name '*.cpp' -o -name '*.c' \) | sort)
if clang-format --dry-run --Werror "${files[@]}" 2>/dev/null; then
  echo "format: ${#files[@]} files as .clang-format has them"
  exit 0
fi
for file in "${files[@]}"; do
  clang-format --dry-run --Werror "$file" >/dev/null 2>&1 || echo "format: $file differs (clang-format -i $file)"
done
exit 1
