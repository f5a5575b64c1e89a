#!/usr/bin/env bash
# Build the libFuzzer targets (incrementally, in build/fuzz) and run each
# from its committed corpus fuzz/corpus/<name>/ for FUZZ_SECONDS seconds
# (default 20).  New inputs go to a fresh temporary directory, never into
# the repository.  Exits non-zero on any crash, leak, timeout or sanitizer
# report, naming the reproducer; the temporary directory is kept then.
#
#   scripts/fuzz.sh                 every target
#   scripts/fuzz.sh dump trap       some of them
#   FUZZ_SECONDS=600 scripts/fuzz.sh logfmt
#   FUZZ_SEED=0 scripts/fuzz.sh     a random seed (default 1: repeatable)
set -uo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
BUILD=$ROOT/build/fuzz
SECONDS_EACH=${FUZZ_SECONDS:-20}
# A fixed seed by default, so that a run in CI can be repeated; give another
# (or 0 for a random one) to explore further.
SEED=${FUZZ_SEED:-1}
JOBS=${FUZZ_JOBS:-2}
TARGETS=("$@")
[ ${#TARGETS[@]} -gt 0 ] || TARGETS=(dump logfmt strtoint int128 memdbg trap)

# Inputs larger than a target's parser ever needs only slow it down; a dump
# needs room for the smallest instantaneous ring (see fuzz/fuzz_dump.cpp).
max_len() {
  case $1 in
    dump)   echo 600000 ;;
    logfmt) echo 8192 ;;
    trap)   echo 65536 ;;
    *)      echo 4096 ;;
  esac
}

mkdir -p build
if [ ! -f "$BUILD/CMakeCache.txt" ]; then
  CC=clang CXX=clang++ cmake -S "$ROOT" -B "$BUILD" -DKIVE_M32=OFF -DKIVE_TESTS=OFF \
    -DKIVE_WERROR=OFF -DKIVE_FUZZ=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >"$BUILD.configure.log" 2>&1 ||
    { cat "$BUILD.configure.log"; exit 1; }
fi
echo "== build: fuzz targets"
cmake --build "$BUILD" --target fuzz_all -j"$JOBS" >"$BUILD.build.log" 2>&1 ||
  { tail -n 50 "$BUILD.build.log"; exit 1; }

WORK=$(mktemp -d "${TMPDIR:-/tmp}/kivfuzz.XXXXXX")
failed=0
for name in "${TARGETS[@]}"; do
  program=$BUILD/bin/fuzz_$name
  seeds=$ROOT/fuzz/corpus/$name
  if [ ! -x "$program" ] || [ ! -d "$seeds" ]; then
    echo "== $name: no such target"
    failed=1
    continue
  fi
  mkdir -p "$WORK/$name/new" "$WORK/$name/artifacts"
  log=$WORK/$name/log
  echo "== fuzz: $name for ${SECONDS_EACH}s"
  "$program" -seed="$SEED" -max_total_time="$SECONDS_EACH" -max_len="$(max_len "$name")" -timeout=10 \
    -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$WORK/$name/artifacts/" \
    "$WORK/$name/new" "$seeds" >"$log" 2>&1
  rc=$?
  artifacts=$(ls -A "$WORK/$name/artifacts")
  if [ $rc -ne 0 ] || [ -n "$artifacts" ] ||
     grep -q -e 'ERROR: AddressSanitizer' -e 'ERROR: LeakSanitizer' -e 'runtime error:' "$log"; then
    failed=1
    tail -n 40 "$log"
    for a in $artifacts; do
      echo "reproducer: $WORK/$name/artifacts/$a"
      echo "  rerun:    $program $WORK/$name/artifacts/$a"
    done
    echo "== $name: FAILED (exit $rc, log $log)"
  else
    grep -E '^(stat::number_of_executed_units|stat::new_units_added)' "$log" | tr '\n' ' '
    echo
  fi
done

if [ $failed -ne 0 ]; then
  echo "fuzzing found problems; inputs and logs kept in $WORK"
  exit 1
fi
rm -rf "$WORK"
echo "fuzzing: no findings"
