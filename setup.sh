#!/usr/bin/env bash
# Installs what the project needs from Debian's packages (only what is missing).
#   ./setup.sh run [PKG...]      what building and running devsim needs (./run.sh)
#   ./setup.sh test [PKG...]     that and what the tests add (./test.sh)
#   ./setup.sh [PKG...]          as "test"; PKG... are installed as well (fuzz/run.sh: clang)
#   ./setup.sh --list run|test   prints the list, one package a line, and installs nothing
set -euo pipefail
# Building and running devsim: the C++ compiler, CMake and Ninja, and the libraries it links.
# Ninja builds everything, so make and the rest of build-essential are not needed.
RUN_PACKAGES=(g++ cmake ninja-build libcli11-dev libtomlplusplus-dev nlohmann-json3-dev libboost-context-dev
              libmimalloc-dev)
# The tests add GoogleTest and Google Benchmark, Python for the tool tests, Chromium for the
# pictures, clang-format for the layout check, the MinGW-w64 compilers for the Windows builds,
# and Wine (64-bit, and 32-bit through i386 multiarch for the handset's word size) and Xvfb to
# run them.
TEST_PACKAGES=("${RUN_PACKAGES[@]}" libgtest-dev libbenchmark-dev python3 chromium clang-format
               g++-mingw-w64-x86-64 g++-mingw-w64-i686 wine wine64 wine32:i386 xvfb xauth)

if [ "${1:-}" = "--list" ]; then
  case "${2:-}" in
    run) printf '%s\n' "${RUN_PACKAGES[@]}" ;;
    test) printf '%s\n' "${TEST_PACKAGES[@]}" ;;
    *) echo "setup: --list takes run or test, not '${2:-}'" >&2; exit 2 ;;
  esac
  exit 0
fi
list=("${TEST_PACKAGES[@]}")
# What the run's packages merely recommend (manual pages, GnuPG, locales, ...) is about as much
# again to fetch and unpack, and building devsim uses none of it. The tests' packages keep theirs
# (Wine's recommendations are part of a working Wine).
recommends=()
case "${1:-}" in
  run) list=("${RUN_PACKAGES[@]}"); recommends=(--no-install-recommends); shift ;;
  test) shift ;;
esac
need=()
for pkg in "${list[@]}" "$@"; do
  dpkg -s "$pkg" >/dev/null 2>&1 || need+=("$pkg")
done
if [ ${#need[@]} -gt 0 ]; then
  echo "setup: installing ${need[*]}"
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  # A package of another architecture (wine32:i386) needs that architecture known to dpkg.
  for pkg in "${need[@]}"; do
    case "$pkg" in
      *:i386) dpkg --print-foreign-architectures | grep -qx i386 || $SUDO dpkg --add-architecture i386 ;;
    esac
  done
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${recommends[@]}" "${need[@]}" >/dev/null
fi
