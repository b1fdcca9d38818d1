#!/usr/bin/env bash
# Checks that every C++ file under version control is as clang-format (with
# the project's .clang-format) would write it; lists the files that are not.
# With --fix, formats them in place instead.
set -euo pipefail
cd "$(dirname "$0")/.."
mapfile -t files < <(git ls-files '*.cpp' '*.hpp' '*.h')
if [ "${1:-}" = --fix ]; then
  clang-format -i "${files[@]}"
  exit 0
fi
unformatted=()
for f in "${files[@]}"; do
  clang-format "$f" | cmp -s - "$f" || unformatted+=("$f")
done
if [ ${#unformatted[@]} -gt 0 ]; then
  echo "check-format: not clang-formatted (scripts/check-format.sh --fix formats them):" >&2
  printf '  %s\n' "${unformatted[@]}" >&2
  exit 1
fi
echo "check-format: ${#files[@]} files clang-formatted"
