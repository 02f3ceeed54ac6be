#!/usr/bin/env bash
# Installs what is needed, then builds and runs every test in each CI row: gcc with warnings
# as errors, AddressSanitizer + UndefinedBehaviorSanitizer, ThreadSanitizer; then the
# libFuzzer targets for a bounded time and the lint step. Rows share nothing but the sources.
# A test that fails is run once more before its row fails: the sanitizer rows run many
# threads on two cores, and a deadline missed under that load is not the fault being tested
# for; a real fault fails twice.
#   scripts/test.sh [ROW...]      rows: werror asan tsan fuzz lint (default: all)
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh test

rows=("$@")
[ ${#rows[@]} -gt 0 ] || rows=(werror asan tsan fuzz lint)
jobs=$(nproc)
failed=()

run_row() {
    local row=$1
    echo "=== row: $row ($(date -u +%H:%M:%S))"
    case "$row" in
    werror | asan | tsan)
        cmake --preset "$row" >/dev/null &&
            cmake --build --preset "$row" -j "$jobs" &&
            ctest --preset "$row" -j "$jobs" --repeat until-pass:2
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
    if ! run_row "$row"; then
        failed+=("$row")
    fi
done

echo "=== finished $(date -u +%H:%M:%S)"
if [ ${#failed[@]} -gt 0 ]; then
    echo "failed rows: ${failed[*]}" >&2
    exit 1
fi
echo "all rows passed: ${rows[*]}"
