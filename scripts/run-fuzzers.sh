#!/usr/bin/env bash
# Runs every libFuzzer program of a fuzz build for a bounded time each, from its seed corpus.
#   scripts/run-fuzzers.sh BUILD_DIR SECONDS
set -euo pipefail
cd "$(dirname "$0")/.."
build=$1
seconds=$2
status=0
for program in "$build"/fuzz/*_fuzz; do
    [ -x "$program" ] || continue
    name=$(basename "$program" _fuzz)
    corpus=$(mktemp -d)
    [ -d "fuzz/corpus/$name" ] && cp -r "fuzz/corpus/$name/." "$corpus/"
    echo "fuzzing $name for ${seconds}s"
    if ! "$program" -max_total_time="$seconds" -print_final_stats=1 "$corpus" 2>"$corpus.log"; then
        tail -n 40 "$corpus.log" >&2
        status=1
    else
        tail -n 3 "$corpus.log"
    fi
    rm -rf "$corpus" "$corpus.log"
done
exit $status
