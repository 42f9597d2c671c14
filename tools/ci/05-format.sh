#!/usr/bin/env bash
# Every C and C++ source is clang-formatted. Without clang-format (or git) the stage exits 77.
set -euo pipefail

for tool in git clang-format; do
  if ! command -v "$tool" >/dev/null; then
    echo "05-format: skipped: $tool is not installed"
    exit 77
  fi
done

files=$(git ls-files '*.c' '*.cpp' '*.h' '*.hpp')
clang-format --dry-run --Werror $files
echo "format: $(echo "$files" | wc -l) files clean"
