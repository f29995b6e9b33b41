#!/bin/bash
# Runs the Windows test programs of an x86_64 build under wine64.
#   tests/wine/run.sh <mingw-x86_64 build folder> [program ...]
# One Wine prefix under the build folder, one wineserver kept up (-p) for the
# whole run and stopped at the end, one Wine start per test program. The test
# cases listed in known-differences.txt are left out and printed every time.
# Environment: TW_LINUX_BUILD, a Linux build folder whose tests/tw_server_host
# serves the loopback servers to the Windows programs (optional).
set -u -o pipefail

if [ $# -lt 1 ] || [ ! -d "$1" ]; then
    echo "usage: $0 <mingw-x86_64 build folder> [program ...]" >&2
    exit 2
fi
BUILD=$(cd "$1" && pwd)
shift
HERE=$(cd "$(dirname "$0")" && pwd)
# Debian's wine wrapper prefers the 32-bit loader, which this kernel cannot run.
WINE=${TW_WINE:-/usr/lib/wine/wine64}
WINESERVER=${TW_WINESERVER:-/usr/lib/wine/wineserver}
export WINEPREFIX="$BUILD/wineprefix"
export WINEDEBUG=-all
# No Mono or Gecko installer prompts when the prefix is made.
export WINEDLLOVERRIDES="mscoree=;mshtml="
export DISPLAY=

RESULTS="$BUILD/wine-results"
mkdir -p "$RESULTS"

stop_all() {
    if [ -n "${HOST_PID:-}" ]; then
        kill "$HOST_PID" 2>/dev/null
        wait "$HOST_PID" 2>/dev/null
    fi
    "$WINESERVER" -k 2>/dev/null
}
trap stop_all EXIT

start=$(date +%s)
if [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "wine: making the prefix $WINEPREFIX"
    "$WINE" wineboot -i >"$RESULTS/wineboot.log" 2>&1
    "$WINESERVER" -w
fi
"$WINESERVER" -p
# Windows 10, the version of the example machines.
"$WINE" reg add 'HKCU\Software\Wine' /v Version /t REG_SZ /d win10 /f >/dev/null 2>&1
echo "wine: prefix ready in $(($(date +%s) - start)) s"

# The loopback servers live on the Linux side; the Windows programs reach them
# through the host's control port.
HOST="${TW_LINUX_BUILD:-}/tests/tw_server_host"
if [ -n "${TW_LINUX_BUILD:-}" ] && [ -x "$HOST" ]; then
    PORT_FILE="$RESULTS/server_host.port"
    rm -f "$PORT_FILE"
    "$HOST" "$PORT_FILE" >"$RESULTS/server_host.log" 2>&1 &
    HOST_PID=$!
    for _ in $(seq 1 200); do
        [ -s "$PORT_FILE" ] && break
        sleep 0.05
    done
    if [ ! -s "$PORT_FILE" ]; then
        echo "wine: the loopback server host did not start" >&2
        exit 1
    fi
    export TW_SERVER_HOST="127.0.0.1:$(cat "$PORT_FILE")"
fi

programs=("$@")
if [ ${#programs[@]} -eq 0 ]; then
    for p in "$BUILD"/tests/*.exe; do
        [ -e "$p" ] && programs+=("$(basename "$p" .exe)")
    done
fi

passed=0
failed=0
failed_programs=()
for prog in "${programs[@]}"; do
    exe="$BUILD/tests/$prog.exe"
    if [ ! -f "$exe" ]; then
        echo "wine: $exe is missing" >&2
        failed=$((failed + 1))
        failed_programs+=("$prog")
        continue
    fi
    filter=""
    while read -r name pattern reason; do
        [ "$name" = "$prog" ] || continue
        echo "wine: known difference, left out: $prog $pattern: $reason"
        filter="$filter:$pattern"
    done < <(grep -v '^[[:space:]]*#' "$HERE/known-differences.txt" | grep -v '^[[:space:]]*$')
    # Wine shows the Linux file system as drive Z:.
    args=(--gtest_output="xml:Z:$RESULTS/$prog.xml")
    [ -n "$filter" ] && args+=(--gtest_filter="-${filter#:}")
    t0=$(date +%s)
    # A safety net for a hung program only; no test depends on it.
    timeout 1200 "$WINE" "$exe" "${args[@]}" >"$RESULTS/$prog.log" 2>&1
    rc=$?
    tr -d '\r' <"$RESULTS/$prog.log" | grep -E '^\[  (FAILED|PASSED|SKIPPED) |^\[==========\]|Failure$' || true
    p=$(tr -d '\r' <"$RESULTS/$prog.log" | sed -n 's/^\[  PASSED  \] \([0-9]*\) test.*/\1/p' | tail -1)
    f=$(tr -d '\r' <"$RESULTS/$prog.log" | sed -n 's/^\[  FAILED  \] \([0-9]*\) test.*/\1/p' | tail -1)
    passed=$((passed + ${p:-0}))
    failed=$((failed + ${f:-0}))
    if [ $rc -ne 0 ]; then
        [ -z "$f" ] && failed=$((failed + 1)) # crashed or hung: count the program
        failed_programs+=("$prog")
        echo "wine: $prog exited with $rc after $(($(date +%s) - t0)) s; full output in $RESULTS/$prog.log"
    else
        echo "wine: $prog passed in $(($(date +%s) - t0)) s"
    fi
done

echo "wine: $passed passed, $failed failed"
[ ${#failed_programs[@]} -eq 0 ]
