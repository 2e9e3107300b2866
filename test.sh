#!/usr/bin/env bash
# Sets up, builds and runs every test under one CMake preset (default: "default").
#   ./test.sh            optimised build, all tests including the exhaustive calendar checks
#   ./test.sh asan       AddressSanitizer + UndefinedBehaviorSanitizer (exhaustive checks left out)
#   ./test.sh tsan       ThreadSanitizer (exhaustive checks left out)
set -euo pipefail
cd "$(dirname "$0")"
preset="${1:-default}"
./setup.sh
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset" -j"$(nproc)"
# A data race stops the process that found it, so that the run fails instead of only printing.
if [ "$preset" = tsan ]; then export TSAN_OPTIONS="halt_on_error=1 ${TSAN_OPTIONS:-}"; fi
if [ "$preset" = default ]; then
  ctest --preset "$preset"
else
  ctest --preset "$preset" -LE exhaustive
fi
