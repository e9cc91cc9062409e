#!/usr/bin/env bash
# Formats every C++ file in the tree with the repository's .clang-format, or with --check
# lists the files that are not formatted and fails.
set -euo pipefail
cd "$(dirname "$0")/.."
mapfile -t files < <(git ls-files '*.cpp' '*.h' '*.hpp' '*.cc')
if [[ ${1:-} == --check ]]; then
  bad=()
  for f in "${files[@]}"; do
    clang-format --dry-run --Werror "$f" >/dev/null 2>&1 || bad+=("$f")
  done
  if ((${#bad[@]})); then
    printf 'format: not formatted (run scripts/format.sh): %s\n' "${bad[@]}"
    exit 1
  fi
  echo "format: all ${#files[@]} files are formatted"
else
  clang-format -i "${files[@]}"
fi
