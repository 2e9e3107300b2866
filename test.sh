#!/usr/bin/env bash
# Sets up, builds and runs every test under one CMake preset (default: "default").
#   ./test.sh            optimised build, all tests including the exhaustive calendar checks and
#                        the differential runs under Wine; the 32-bit Windows build is built too
#   ./test.sh asan       AddressSanitizer + UndefinedBehaviorSanitizer (exhaustive checks and
#                        Wine runs left out)
#   ./test.sh tsan       ThreadSanitizer (exhaustive checks and Wine runs left out)
set -euo pipefail
cd "$(dirname "$0")"
preset="${1:-default}"
./setup.sh
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset" -j"$(nproc)"
# A data race stops the process that found it, so that the run fails instead of only printing.
if [ "$preset" = tsan ]; then export TSAN_OPTIONS="halt_on_error=1 ${TSAN_OPTIONS:-}"; fi
if [ "$preset" = default ]; then
  # The handset's own word size: the 32-bit Windows build must build, warning-free.
  cmake --preset windows32 >/dev/null
  cmake --build --preset windows32 -j"$(nproc)"
  ctest --preset "$preset"
else
  ctest --preset "$preset" -LE "exhaustive|wine"
fi
