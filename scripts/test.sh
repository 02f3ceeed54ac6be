#!/usr/bin/env bash
# Installs what is needed, then builds and runs every test in each CI row: gcc with warnings
# as errors, AddressSanitizer + UndefinedBehaviorSanitizer, ThreadSanitizer; then the
# libFuzzer targets for a bounded time and the lint step. Rows share nothing but the sources.
# The three build rows are CMake workflow presets (configure, build, test): the same row by
# hand is `cmake --workflow --preset werror`. A failing test fails its row; none is run again.
#   scripts/test.sh [ROW...]      rows: werror asan tsan fuzz lint (default: all)
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh test

rows=("$@")
[ ${#rows[@]} -gt 0 ] || rows=(werror asan tsan fuzz lint)
jobs=$(nproc)
# A workflow preset takes no -j: the build and ctest read their parallelism from here.
export CMAKE_BUILD_PARALLEL_LEVEL=$jobs CTEST_PARALLEL_LEVEL=$jobs
failed=()
times=()

seconds_since() {
    local start=$1 now=$EPOCHREALTIME
    printf '%d' $(((${now/[.,]/} - ${start/[.,]/}) / 1000000))
}

minutes() {
    printf '%dm%02ds' $(($1 / 60)) $(($1 % 60))
}

# Runs one workflow preset, hiding CMake's "-- " status lines (as a configure to /dev/null
# did), and notes when the test step begins so that build and test times can be told apart.
workflow_row() {
    local row=$1 start=$EPOCHREALTIME test_start= build_seconds= line
    local marker="Executing workflow step 3 of 3: test preset"
    # With pipefail the row's status is cmake's.
    cmake --workflow --preset "$row" 2>&1 | {
        while IFS= read -r line; do
            [[ $line == "-- "* ]] && continue
            if [[ $line == "$marker"* ]]; then
                build_seconds=$(seconds_since "$start")
                test_start=$EPOCHREALTIME
            fi
            printf '%s\n' "$line"
        done
        if [ -n "$test_start" ]; then
            echo "=== row $row: configure+build $(minutes "$build_seconds")," \
                "tests $(minutes "$(seconds_since "$test_start")")"
        fi
    }
}

run_row() {
    local row=$1
    echo "=== row: $row ($(date -u +%H:%M:%S))"
    case "$row" in
    werror | asan | tsan)
        workflow_row "$row"
        ;;
    fuzz)
        if [ ! -f fuzz/CMakeLists.txt ]; then
            echo "no fuzz targets"
            return 0
        fi
        cmake --preset fuzz >/dev/null && cmake --build --preset fuzz -j "$jobs" &&
            scripts/run-fuzzers.sh build/fuzz "${FUZZ_SECONDS:-60}"
        ;;
    lint)
        scripts/lint.sh build/werror
        ;;
    *)
        echo "unknown row $row" >&2
        return 2
        ;;
    esac
}

for row in "${rows[@]}"; do
    start=$EPOCHREALTIME
    result=passed
    if ! run_row "$row"; then
        failed+=("$row")
        result=FAILED
    fi
    times+=("$(printf '%-7s %-7s %s' "$row" "$result" "$(minutes "$(seconds_since "$start")")")")
done

echo "=== finished $(date -u +%H:%M:%S)"
printf '    %s\n' "${times[@]}"
if [ ${#failed[@]} -gt 0 ]; then
    echo "failed rows: ${failed[*]}" >&2
    exit 1
fi
echo "all rows passed: ${rows[*]}"
