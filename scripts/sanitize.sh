#!/usr/bin/env bash
# Sanitizer runs of the test suite on native 64-bit Linux:
#   build/asan  AddressSanitizer + UndefinedBehaviorSanitizer (+ LeakSanitizer),
#               every test program;
#   build/tsan  ThreadSanitizer, the programs that run threads or several
#               processes against shared state.
# Exits non-zero when a build fails or any test reports a finding.
# Usage: scripts/sanitize.sh [asan|tsan]...   (default: both)
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
SUPP=$ROOT/scripts/sanitizers
JOBS=2
BUILD_TYPE=${BUILD_TYPE:-RelWithDebInfo}

# Programs built and run under ThreadSanitizer.
TSAN_TESTS="test_thread test_atomic test_rambo test_trace test_ipctrace test_queue
            test_ipc test_waitpost test_log test_mem test_process test_compatipc
            test_symbols test_tick test_stress"

# The options reach the test programs' children too: they re-run their own
# program with --kiv-child and inherit the environment. halt_on_error and
# abort_on_error make the first report end the process with a failure that
# ctest (or the parent test, through the child's exit code) sees.
export ASAN_OPTIONS="halt_on_error=1:abort_on_error=1:detect_leaks=1:strict_string_checks=1:check_initialization_order=1:detect_invalid_pointer_pairs=0:allow_user_segv_handler=1:handle_segv=1:symbolize=1"
export LSAN_OPTIONS="suppressions=$SUPP/lsan.supp:print_suppressions=0:report_objects=1"
export UBSAN_OPTIONS="halt_on_error=1:abort_on_error=1:print_stacktrace=1:suppressions=$SUPP/ubsan.supp"
export TSAN_OPTIONS="halt_on_error=1:abort_on_error=1:second_deadlock_stack=1:report_signal_unsafe=0:suppressions=$SUPP/tsan.supp"

# Tests that cannot run under a sanitizer, by design (see docs/sanitizers.md):
# the debug allocator's double-free detection reads the freed block, which
# ASan stops as a use after free.
ASAN_TEST_EXCLUDE="Mem.DoubleFreeIsReportedAndNotPerformed:Mem.OffModeInAFreshProcess"
# ThreadSanitizer sees the double-free detection's read as a use after free too.
TSAN_TEST_EXCLUDE="Mem.DoubleFreeIsReportedAndNotPerformed:Mem.OffModeInAFreshProcess"

configure() { # dir, sanitizers
    local dir=$1 san=$2
    mkdir -p build
    if [ ! -f "$dir/CMakeCache.txt" ]; then
        cmake -S "$ROOT" -B "$dir" -DCMAKE_BUILD_TYPE="$BUILD_TYPE" -DKIVE_M32=OFF \
            -DKIVE_SANITIZE="$san" >"$dir.configure.log" 2>&1 ||
            { cat "$dir.configure.log"; exit 1; }
    else
        # New test sources are picked up by the glob on re-configure.
        cmake "$dir" >"$dir.configure.log" 2>&1 || { cat "$dir.configure.log"; exit 1; }
    fi
}

# ThreadSanitizer needs its shadow at fixed addresses; kernels that place
# mappings high with randomisation on make it abort at start ("unexpected
# memory mapping"). Running without address randomisation avoids that, and
# children inherit the personality.
tsan_runner() {
    local probe=$1
    if "$probe" --gtest_list_tests >/dev/null 2>&1; then
        return 0
    fi
    if setarch "$(uname -m)" -R "$probe" --gtest_list_tests >/dev/null 2>&1; then
        echo "setarch $(uname -m) -R"
        return 0
    fi
    echo "ThreadSanitizer cannot start here:" >&2
    "$probe" --gtest_list_tests 2>&1 | head -5 >&2
    return 1
}

run_asan() {
    echo "== build: ASan+UBSan (build/asan)"
    configure build/asan "address,undefined"
    cmake --build build/asan -j"$JOBS" || return 1
    echo "== test: ASan+UBSan"
    (cd build/asan && GTEST_FILTER="-$ASAN_TEST_EXCLUDE" ctest --output-on-failure -j"$JOBS") ||
        return 1
}

run_tsan() {
    echo "== build: TSan (build/tsan)"
    configure build/tsan "thread"
    local targets=() regex=""
    for t in $TSAN_TESTS; do
        [ -f "tests/$t.cpp" ] || continue
        targets+=(--target "$t")
        regex="$regex|^$t\$"
    done
    cmake --build build/tsan -j"$JOBS" "${targets[@]}" || return 1
    echo "== test: TSan"
    local runner
    runner=$(tsan_runner "build/tsan/bin/${targets[1]}") || return 1
    [ -n "$runner" ] && echo "(running under: $runner)"
    # ctest runs the programs itself; the personality is inherited from it.
    (cd build/tsan && GTEST_FILTER="-$TSAN_TEST_EXCLUDE" $runner ctest --output-on-failure -j"$JOBS" -R "${regex#|}") || return 1
}

steps=("$@")
[ ${#steps[@]} -eq 0 ] && steps=(asan tsan)
status=0
for s in "${steps[@]}"; do
    case $s in
    asan) run_asan || status=1 ;;
    tsan) run_tsan || status=1 ;;
    *) echo "unknown step: $s (asan, tsan)" >&2; exit 2 ;;
    esac
done
[ $status -eq 0 ] && echo "== sanitizers: clean" || echo "== sanitizers: FINDINGS (see above)"
exit $status
