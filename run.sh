#!/usr/bin/env bash
# Sets up, builds and runs the simulator on the built-in handset. Arguments go to devsim;
# without any, the program switches the handset off at once (mode 1).
#   ./run.sh                       mode 1 on the built-in handset
#   ./run.sh 2 --answer yes@1500   mode 2, the user answers Yes 1.5 s after the box shows
#   ./run.sh --help                every option
set -euo pipefail
cd "$(dirname "$0")"
# Only what devsim needs: the tests, the benchmarks and the Windows build are ./test.sh's. The
# build is the default one, optimised with line tables only (-g1: backtraces name lines, at about
# a sixth of the compiler's time, where full debug information costs two thirds more), so that
# ./test.sh afterwards compiles only the tests and the benchmarks. Full debug information for a
# debugger: the "debug" preset.
./setup.sh run
cmake --preset default -DHS_BUILD_TESTS=OFF -DHS_BUILD_BENCH=OFF >/dev/null
cmake --build --preset default --target devsim -j"$(nproc)" >/dev/null
if [ $# -eq 0 ]; then set -- 1; fi
exec ./build/default/devsim "$@"
