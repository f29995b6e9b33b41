#!/bin/bash
# Runs the end-to-end scenarios against the shipped 32-bit program under
# Wine's WOW64 (32-bit code through qemu-user; see setup-wow64.sh):
#   tests/wine/shipped.sh <release folder> <mingw-x86_64 build folder> [Debian package ...]
# The program run is the release folder's twprereqhandler.exe itself, with its
# twlibxml2.dll; the scenario runner is the x86_64 e2e_tests.exe, told which
# program to run by TW_SCENARIO_PROGRAM. The scenarios are shared out among
# workers, each with its own copy of one Wine prefix and its own wineserver;
# each scenario is one e2e_tests.exe start.
# Environment: TW_SKIP_SHIPPED=1 skips the whole step (saying so);
# TW_LINUX_BUILD, a Linux build folder with tests/tw_server_host;
# TW_SHIPPED_WORKERS (default: the number of cores);
# TW_SHIPPED_FILTER, a gtest pattern to run only some scenarios;
# TW_SHIPPED_LIMIT, the safety net for one scenario in seconds (default 480);
# TW_SHIPPED_BUDGET, the step's time in seconds (default 1200): no scenario
# starts later than BUDGET - LIMIT after the step's start, and those left
# count as failed;
# TW_SHIPPED_GATE=0 reports failures without failing the step (see "A fault
# of the emulation" in tests/wine/README.md).
set -u -o pipefail

if [ "${TW_SKIP_SHIPPED:-}" = 1 ]; then
    echo "shipped: SKIPPED: TW_SKIP_SHIPPED=1, the shipped 32-bit program is NOT run under Wine."
    echo "shipped: qemu-user, the only way these machines run 32-bit code, gives all threads one GDT, so a"
    echo "shipped: multi-threaded 32-bit Wine program loses its threads' TEBs and hangs in about half its runs"
    echo "shipped: (tests/wine/README.md). As root, 'make windows-shipped-check' runs it alone; any failure fails it."
    exit 0
fi
if [ $# -lt 2 ] || [ ! -d "$1" ] || [ ! -d "$2" ]; then
    echo "usage: $0 <release folder> <mingw-x86_64 build folder> [Debian package ...]" >&2
    exit 2
fi
RELEASE=$(cd "$1" && pwd)
BUILD=$(cd "$2" && pwd)
shift 2
HERE=$(cd "$(dirname "$0")" && pwd)
source "$HERE/common.sh"
WORKERS=${TW_SHIPPED_WORKERS:-$(nproc 2>/dev/null || echo 2)}
# A safety net for a hung run only: a scenario that reaches it fails, loudly.
SCENARIO_LIMIT=${TW_SHIPPED_LIMIT:-480}
BUDGET=${TW_SHIPPED_BUDGET:-1200}
LAST_START=$((BUDGET - SCENARIO_LIMIT))
WORK="$BUILD/shipped"
RESULTS="$WORK/results"
t_start=$(date +%s)

t0=$(date +%s)
"$HERE/setup-wow64.sh" "$@" || exit 1
echo "shipped: set-up checked in $(($(date +%s) - t0)) s"

PROGRAM="$RELEASE/twprereqhandler.exe"
RUNNER="$BUILD/tests/e2e_tests.exe"
for f in "$PROGRAM" "$RELEASE/twlibxml2.dll" "$RELEASE/manifest-check.txt" "$RUNNER"; do
    if [ ! -f "$f" ]; then
        echo "shipped: $f is missing; make windows-release and make windows-tests build it" >&2
        exit 1
    fi
done
# The file run is the file the release folder ships: its checksum now against
# the one windows-release recorded when it checked the manifest.
run_sum=$(sha256sum "$PROGRAM" | cut -d' ' -f1)
shipped_sum=$(sed -n 's/^sha256: //p' "$RELEASE/manifest-check.txt")
echo "shipped: program run:     $PROGRAM sha256 $run_sum"
echo "shipped: release ships:   $(grep -x 'machine: .*' "$RELEASE/manifest-check.txt"), sha256 $shipped_sum"
if [ "$run_sum" != "$shipped_sum" ]; then
    echo "shipped: the program differs from the one the release folder was made with" >&2
    exit 1
fi

rm -rf "$RESULTS"
mkdir -p "$RESULTS"
stop_all() {
    stop_server_host
    for ((i = 0; i < WORKERS; ++i)); do
        WINEPREFIX="$WORK/w$i" "$WINESERVER" -k 2>/dev/null
    done
}
trap stop_all EXIT

# One prefix made once (32-bit parts included, so several minutes), then a
# fresh copy of it per worker and run.
t0=$(date +%s)
export WINEPREFIX="$WORK/base"
if [ ! -f "$WINEPREFIX/.tw-ready" ]; then
    echo "shipped: making the prefix $WINEPREFIX (32-bit parts through qemu: minutes)"
    if ! make_prefix "$RESULTS/wineboot.log" || [ ! -d "$WINEPREFIX/drive_c/windows/syswow64" ]; then
        echo "shipped: step failed: making the WOW64 prefix; see $RESULTS/wineboot.log" >&2
        exit 1
    fi
fi
t_prefix=$(($(date +%s) - t0))
t0=$(date +%s)
for ((i = 0; i < WORKERS; ++i)); do
    rm -rf "$WORK/w$i"
    cp -a "$WORK/base" "$WORK/w$i"
    WINEPREFIX="$WORK/w$i" "$WINESERVER" -p
done
echo "shipped: prefix ready in $t_prefix s, $WORKERS copies in $(($(date +%s) - t0)) s"

start_server_host "$RESULTS" || exit 1

# The scenarios, less the known differences of Wine (those of the wine64 run
# and those of this run alone).
filter="${TW_SHIPPED_FILTER:-Checker/Scenarios.Run/*}"
exclude=""
while read -r pattern reason; do
    echo "shipped: known difference, left out: $pattern: $reason"
    exclude="$exclude:$pattern"
done < <(known_differences e2e_tests shipped)
[ -n "$exclude" ] && filter="$filter:-${exclude#:}"
export WINEPREFIX="$WORK/w0"
QUEUE="$RESULTS/queue"
"$WINE" "$RUNNER" --gtest_list_tests --gtest_filter="$filter" 2>/dev/null | tr -d '\r' |
    awk '/^[^ ]/ { suite = $1 } /^  / { print suite $1 }' >"$QUEUE"
total=$(wc -l <"$QUEUE")
if [ "$total" -eq 0 ]; then
    echo "shipped: $RUNNER lists no scenario" >&2
    exit 1
fi
echo "shipped: $total scenarios on $WORKERS workers"

# Wine shows the Linux file system as drive Z:.
export TW_SCENARIO_PROGRAM="Z:$PROGRAM"

# Takes the next scenario off the queue, or fails when it is empty.
next_scenario() {
    (
        flock 9
        line=$(head -n 1 "$QUEUE")
        [ -n "$line" ] || exit 1
        sed -i 1d "$QUEUE"
        echo "$line"
    ) 9>"$QUEUE.lock"
}

# The program's log of a run that did not end: its thread column shows whether
# the emulated main thread took over another thread's TEB (see README.md).
report_hang() {
    local name=$1 i=$2
    local log="$WORK/w$i/drive_c/Program Files (x86)/Tidewell/Agent/logs/twprereqhandler.log"
    [ -f "$log" ] || return 0
    cp "$log" "$RESULTS/$name.program.log"
    local ids
    # The last run's lines only: a scenario may run the program more than once.
    ids=$(tr -d '\r' <"$log" | awk '/^Log open time/ { run = "" } { run = run $0 "\n" } END { printf "%s", run }' |
        sed -n 's/^\[ [^]]* \] \[ \([0-9]*\) \].*/\1/p' | uniq | tr '\n' ' ')
    echo "shipped:   the program's last log line: $(tr -d '\r' <"$log" | tail -n 1 | cut -c1-160)"
    echo "shipped:   thread ids in its log, in order: $ids"
    if [ "$(echo "$ids" | wc -w)" -gt 1 ]; then
        echo "shipped:   the main thread's id changed during the run: it runs on another thread's TEB (qemu-user's shared GDT; see tests/wine/README.md)"
    fi
}

worker() {
    local i=$1 name log rc t0 took
    export WINEPREFIX="$WORK/w$i"
    while [ $(($(date +%s) - t_start)) -lt "$LAST_START" ] && name=$(next_scenario); do
        log="$RESULTS/${name##*/}.log"
        t0=$(date +%s)
        timeout "$SCENARIO_LIMIT" "$WINE" "$RUNNER" --gtest_filter="$name" \
            --gtest_output="xml:Z:$RESULTS/${name##*/}.xml" >"$log" 2>&1
        rc=$?
        took=$(($(date +%s) - t0))
        if [ $rc -eq 124 ]; then
            echo "shipped: FAILED ${name##*/}: still running after the ${SCENARIO_LIMIT} s safety net (hung); see $log"
            report_hang "${name##*/}" "$i"
            echo "FAILED $took ${name##*/}" >>"$RESULTS/summary"
            # The hung program dies with its wineserver; the next scenario gets a new one.
            "$WINESERVER" -k 2>/dev/null
            "$WINESERVER" -p
        elif [ $rc -ne 0 ] || ! tr -d '\r' <"$log" | grep -q '^\[  PASSED  \] 1 test'; then
            tr -d '\r' <"$log" | grep -E 'Failure$|^(Expected|  Actual|Value of|Which is|missing|present|exit code)' | head -20
            echo "shipped: FAILED ${name##*/} (exit $rc) in $took s; see $log"
            echo "FAILED $took ${name##*/}" >>"$RESULTS/summary"
        else
            echo "shipped: passed ${name##*/} in $took s (worker $i)"
            echo "passed $took ${name##*/}" >>"$RESULTS/summary"
        fi
    done
}

t0=$(date +%s)
pids=()
for ((i = 0; i < WORKERS; ++i)); do
    worker "$i" &
    pids+=($!)
done
for p in "${pids[@]}"; do
    wait "$p"
done
t_run=$(($(date +%s) - t0))

passed=$(grep -c '^passed ' "$RESULTS/summary" 2>/dev/null)
failed=$(grep -c '^FAILED ' "$RESULTS/summary" 2>/dev/null)
missing=$((total - ${passed:-0} - ${failed:-0}))
echo "shipped: scenarios took $t_run s on $WORKERS workers; the whole step $(($(date +%s) - t_start)) s"
if [ "$missing" -gt 0 ]; then
    echo "shipped: $missing scenarios did not start within the step's $BUDGET s: $(sed 's|.*/||' "$QUEUE" | tr '\n' ' ')"
    failed=$((failed + missing))
fi
echo "shipped: per scenario (seconds): $(sort -k2 -n -r "$RESULTS/summary" 2>/dev/null | awk '{ printf "%s %s %s; ", $3, $2, $1 }')"
if [ "${failed:-0}" -ne 0 ] && [ "${TW_SHIPPED_GATE:-1}" = 0 ]; then
    echo "shipped: NOT GATING (TW_SHIPPED_GATE=0): ${passed:-0} of $total scenarios passed, ${failed:-0} did not; qemu-user runs a multi-threaded 32-bit Wine program unreliably (tests/wine/README.md)"
    exit 0
fi
echo "shipped: ${passed:-0} passed, ${failed:-0} failed"
[ "${failed:-0}" -eq 0 ]
