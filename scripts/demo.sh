#!/usr/bin/env bash
# The main job: build the Linux 32-bit tree, run the demo host under a trace,
# and print the formatted trace, the flow of its calls and the diagnostic log
# the host wrote.  BUILD names another build directory.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=${BUILD:-build/linux32}
JOBS=$(nproc 2>/dev/null || echo 2)

if [ ! -f "$BUILD/CMakeCache.txt" ]; then
  cmake -S . -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo >"$BUILD.configure.log" 2>&1 ||
    { cat "$BUILD.configure.log"; exit 1; }
fi
cmake --build "$BUILD" -j"$JOBS" --target kivtrc kivtrcdemo >/dev/null

BIN=$BUILD/bin
WORK=$(mktemp -d)
# Hosts attach at load to the trace this variable names, and kivtrc takes
# it as its default name.
export KIV_TRACE_NAME=kivdemo.$$
finish() {
  "$BIN/kivtrc" off >/dev/null 2>&1 || true
  rm -rf "$WORK"
}
trap finish EXIT

"$BIN/kivtrc" on
"$BIN/kivtrcdemo" -d "$WORK" -l "$WORK/kivtrcdemo.log"
"$BIN/kivtrc" dmp "$WORK/kivtrcdemo.dmp"
"$BIN/kivtrc" off

echo
echo "== the trace, oldest record first (kivtrc fmt)"
"$BIN/kivtrc" fmt "$WORK/kivtrcdemo.dmp"
echo
echo "== the flow of calls per thread (kivtrc flw)"
"$BIN/kivtrc" flw "$WORK/kivtrcdemo.dmp"
echo
echo "== the diagnostic log of kivtrcdemo"
cat "$WORK/kivtrcdemo.log"
