#!/bin/sh
# run_peers.sh - runs bench_peers with an LTTng session daemon: first with no
# tracing session, then (from inside the same run) with an active session
# recording the benchmark's user-space tracepoints to a scratch directory.
#   bench/run_peers.sh [build directory] [benchmark options...]
set -eu
build=${1:-build/bench}
[ $# -gt 0 ] && shift
bin=$build/bin/bench_peers
[ -x "$bin" ] || { echo "no $bin: configure with -DKIVE_BENCH=ON and lttng-ust installed" >&2; exit 1; }

out=$(mktemp -d "${TMPDIR:-/tmp}/kivpeers.XXXXXX")
session=kivpeers$$
daemon=
cleanup() {
    lttng destroy "$session" >/dev/null 2>&1 || true
    [ -n "$daemon" ] && kill "$daemon" 2>/dev/null || true
    rm -rf "$out"
}
trap cleanup EXIT
# A session daemon of our own unless one runs; it must be up before the
# benchmark starts, so that the program registers with it at load.
if ! lttng list >/dev/null 2>&1; then
    lttng-sessiond >/dev/null 2>&1 &
    daemon=$!
    tries=0
    until lttng list >/dev/null 2>&1; do
        tries=$((tries + 1))
        [ $tries -lt 50 ] || { echo "lttng-sessiond did not start" >&2; exit 1; }
        sleep 0.2
    done
fi

lttng create "$session" --output="$out" >/dev/null
lttng enable-channel --userspace --session="$session" --subbuf-size=4M --num-subbuf=8 peers >/dev/null
lttng enable-event --userspace --session="$session" --channel=peers 'kive_peers:*' >/dev/null

KIVE_PEERS_SESSION_START="lttng start $session >/dev/null" \
KIVE_PEERS_SESSION_STOP="lttng stop $session >/dev/null && lttng destroy $session >/dev/null" \
    "$bin" "$@"
echo "events recorded by the session: $(du -sh "$out" | cut -f1) in $out (removed on exit)"
