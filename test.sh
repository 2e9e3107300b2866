#!/usr/bin/env bash
# Sets up, builds and runs every test under one CMake preset (default: "default").
#   ./test.sh            optimised build, all tests including the exhaustive calendar checks and
#                        the differential runs under Wine; the 32-bit Windows build is built too
#   ./test.sh asan       AddressSanitizer + UndefinedBehaviorSanitizer (exhaustive checks, Wine
#                        runs and the checks of the source tree and its tools left out)
#   ./test.sh tsan       ThreadSanitizer (likewise)
set -euo pipefail
cd "$(dirname "$0")"
preset="${1:-default}"
./setup.sh test
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset" -j"$(nproc)"
# A data race stops the process that found it, so that the run fails instead of only printing.
if [ "$preset" = tsan ]; then export TSAN_OPTIONS="halt_on_error=1 ${TSAN_OPTIONS:-}"; fi
if [ "$preset" = default ]; then
  # The Windows builds: the 64-bit one runs under Wine in the differential test; the 32-bit one,
  # the handset's own word size, must build warning-free.
  for windows in windows windows32; do
    cmake --preset "$windows" >/dev/null
    cmake --build --preset "$windows" -j"$(nproc)"
  done
  ctest --preset "$preset"
else
  # Tests labelled "tool" check the source tree or run Python tools: the default build runs them,
  # and nothing of theirs is sanitized.
  ctest --preset "$preset" -LE "exhaustive|wine|tool"
fi
