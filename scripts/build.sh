#!/usr/bin/env bash
# Install what a fresh Debian machine lacks for building and testing, then
# build the three trees: build/linux32 (the primary build and its tests),
# build/win32 (kive.dll for 32-bit Windows) and build/win64 (the test suite
# for 64-bit Windows, run under wine64).
set -euo pipefail
cd "$(dirname "$0")/.."

# Builds and tests: the compilers, wine and GoogleTest; the sanitizer
# builds use gcc's runtimes, the fuzz targets clang and its runtimes.
# Benchmarks: Google Benchmark and LTTng-UST with its session daemon.
PACKAGES="cmake make g++ g++-multilib mingw-w64 wine64 googletest clang libclang-rt-14-dev
          libbenchmark-dev pkg-config liblttng-ust-dev lttng-tools"
missing=""
for p in $PACKAGES; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
if [ -n "$missing" ]; then
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  echo "installing:$missing"
  $SUDO apt-get update -q
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q --no-install-recommends $missing
fi

exec scripts/test.sh --build-only
