#!/usr/bin/env bash
# Fails, naming each file, when a tracked C++ file is not laid out as its folder's .clang-format
# says (the simulator's style at the top, the program's in its own folders). Mend with
#   git ls-files '*.cpp' '*.h' | xargs clang-format -i
set -euo pipefail
cd "${1:-$(dirname "$0")/../..}"
command -v clang-format >/dev/null || { echo "code_layout: clang-format is missing (./setup.sh test installs it)"; exit 1; }
bad=0
while IFS= read -r f; do
  if ! clang-format --dry-run --Werror "$f" >/dev/null 2>&1; then
    echo "code_layout: $f is not laid out as its .clang-format says"
    bad=$((bad + 1))
  fi
done < <(git ls-files '*.cpp' '*.h')
echo "code_layout: $bad files to lay out"
[ "$bad" -eq 0 ]
