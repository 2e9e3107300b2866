#!/usr/bin/env bash
# Sets up, builds and runs the simulator on the built-in handset. Arguments go to devsim;
# without any, the program switches the handset off at once (mode 1).
#   ./run.sh                       mode 1 on the built-in handset
#   ./run.sh 2 --answer yes@1500   mode 2, the user answers Yes 1.5 s after the box shows
#   ./run.sh --help                every option
set -euo pipefail
cd "$(dirname "$0")"
# Only what devsim needs: the tests, the benchmarks and the Windows build are ./test.sh's. The
# build is optimised as the default one but without debug information, which is about a quarter
# of the compiler's time; ./test.sh (and `cmake --preset default`) switch back to the default's
# RelWithDebInfo, which debugging needs.
./setup.sh run
cmake --preset default -DHS_BUILD_TESTS=OFF -DHS_BUILD_BENCH=OFF -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_CXX_FLAGS_RELEASE="-O2 -DNDEBUG" >/dev/null
cmake --build --preset default --target devsim -j"$(nproc)" >/dev/null
if [ $# -eq 0 ]; then set -- 1; fi
exec ./build/default/devsim "$@"
