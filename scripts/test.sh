#!/usr/bin/env bash
# Build (incrementally) and run the tests: the Linux 32-bit suites, the
# 32-bit Windows DLL (must build without warnings), the same suites built
# for 64-bit Windows and run under wine64, then the sanitizer builds of the
# suites (scripts/sanitize.sh) and a bounded fuzzing run from the committed
# corpora (scripts/fuzz.sh).  KIVE_QUICK=1 stops after the wine64 suites.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
JOBS=$(nproc 2>/dev/null || echo 2)
BUILD_TYPE=${BUILD_TYPE:-RelWithDebInfo}

configure() { # dir, extra args...
  local dir=$1; shift
  if [ ! -f "$dir/CMakeCache.txt" ]; then
    cmake -S "$ROOT" -B "$dir" -DCMAKE_BUILD_TYPE="$BUILD_TYPE" "$@" >"$dir.configure.log" 2>&1 ||
      { cat "$dir.configure.log"; exit 1; }
  fi
}

mkdir -p build
configure build/linux32
configure build/win32 -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-i686.cmake" -DKIVE_TESTS=OFF
configure build/win64 -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-x86_64.cmake"

echo "== build: Linux 32-bit"
cmake --build build/linux32 -j"$JOBS"
echo "== build: Windows i686 kive.dll"
cmake --build build/win32 -j"$JOBS"
echo "== build: Windows x86_64 tests"
cmake --build build/win64 -j"$JOBS"

[ "${1:-}" = "--build-only" ] && exit 0

echo "== test: Linux 32-bit"
(cd build/linux32 && ctest --output-on-failure -j"$JOBS")

echo "== test: Windows x86_64 under wine64"
export WINEPREFIX="$ROOT/build/win64/wineprefix"
export WINEDEBUG=-all
# No Mono or Gecko prompts in a headless prefix.
export WINEDLLOVERRIDES="mscoree,mshtml="
# Start the prefix's server and finish the prefix set-up before the tests
# run side by side: several wine processes racing to create a fresh prefix
# can fail to meet their server.
WINE64=$(grep -m1 '^KIVE_WINE64:' build/win64/CMakeCache.txt | cut -d= -f2)
WINESERVER=$(dirname "$WINE64")/wineserver
[ -x "$WINESERVER" ] || WINESERVER=$(command -v wineserver || true)
"$WINE64" wineboot --init >/dev/null 2>&1 || true
[ -n "$WINESERVER" ] && { "$WINESERVER" -p || true; }
status=0
(cd build/win64 && ctest --output-on-failure -j"$JOBS") || status=$?
[ -n "$WINESERVER" ] && "$WINESERVER" -k 2>/dev/null || true
[ $status -ne 0 ] && exit $status
[ "${KIVE_QUICK:-0}" = 1 ] && exit 0

echo "== sanitizers: Linux 64-bit"
scripts/sanitize.sh
echo "== fuzzing"
scripts/fuzz.sh
