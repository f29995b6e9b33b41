#!/bin/sh
# Builds the libFuzzer targets (preset "fuzz") and, for each, replays every
# stored case under fuzz/corpus/<target>/ as a regression test, then fuzzes
# for a bounded time. New inputs go to a scratch folder, so the stored corpus
# changes only when someone adds a case on purpose. A crash, leak, sanitizer
# report or time-out fails the script; the input lands in build/fuzz/artifacts/.
#   FUZZ_SECONDS  seconds of fuzzing per target (default 20; 0 replays only)
#   FUZZ_TARGETS  the targets to run (default: all)
#   JOBS          build jobs (default 2)
set -eu
cd "$(dirname "$0")/.."
seconds=${FUZZ_SECONDS:-20}
all="fuzz_criteria fuzz_xml_loader fuzz_options fuzz_twfetch_args fuzz_agent_registry fuzz_reg_import fuzz_http_response"
targets=${FUZZ_TARGETS:-$all}
cmake --preset fuzz >/dev/null
# shellcheck disable=SC2086
cmake --build --preset fuzz -j "${JOBS:-2}" --target $targets
artifacts=build/fuzz/artifacts
mkdir -p "$artifacts"
for target in $targets; do
    bin=build/fuzz/fuzz/$target
    corpus=fuzz/corpus/$target
    case $target in
        fuzz_criteria|fuzz_options|fuzz_twfetch_args) max_len=4096 ;;
        *) max_len=65536 ;;
    esac
    echo "== $target: replaying $(ls "$corpus" | wc -l) stored cases"
    "$bin" -artifact_prefix="$artifacts/$target-" -timeout=10 -rss_limit_mb=2048 "$corpus"/* \
        >"$artifacts/$target-replay.log" 2>&1 || { tail -40 "$artifacts/$target-replay.log"; exit 1; }
    if [ "$seconds" -gt 0 ]; then
        echo "== $target: fuzzing for $seconds s"
        scratch=$(mktemp -d)
        "$bin" -max_total_time="$seconds" -max_len="$max_len" -timeout=10 -rss_limit_mb=2048 \
            -artifact_prefix="$artifacts/$target-" -print_final_stats=1 "$scratch" "$corpus" \
            >"$artifacts/$target-fuzz.log" 2>&1 || { rm -rf "$scratch"; tail -40 "$artifacts/$target-fuzz.log"; exit 1; }
        rm -rf "$scratch"
        grep -E '^stat::number_of_executed_units' "$artifacts/$target-fuzz.log" || true
    fi
done
echo "fuzz: all targets passed"
