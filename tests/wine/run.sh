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
source "$HERE/common.sh"
export WINEPREFIX="$BUILD/wineprefix"

RESULTS="$BUILD/wine-results"
mkdir -p "$RESULTS"

stop_all() {
    stop_server_host
    "$WINESERVER" -k 2>/dev/null
}
trap stop_all EXIT

start=$(date +%s)
if [ ! -f "$WINEPREFIX/.tw-ready" ]; then
    echo "wine: making the prefix $WINEPREFIX"
    make_prefix "$RESULTS/wineboot.log" || { echo "wine: wineboot failed; see $RESULTS/wineboot.log" >&2; exit 1; }
fi
"$WINESERVER" -p
echo "wine: prefix ready in $(($(date +%s) - start)) s"

# The loopback servers live on the Linux side; the Windows programs reach them
# through the host's control port.
start_server_host "$RESULTS" || exit 1

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
    while read -r pattern reason; do
        echo "wine: known difference, left out: $prog $pattern: $reason"
        filter="$filter:$pattern"
    done < <(known_differences "$prog")
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
