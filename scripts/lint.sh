#!/usr/bin/env bash
# The one lint step, the same locally and in CI: clang-format over every C++ file we own, the
# layer check (which folder may include which, system headers only in src/platform/), every
# header compiled alone, and clang-tidy over the files changed since BASE (default: the last
# commit's parent). Formatting, layers and headers fail the step; clang-tidy's findings are
# printed for the author to read (many of its checks are judgement calls) and fail it only
# under LINT_STRICT=1. The files come from git: without git, or with no file to check, the
# step fails rather than passing on nothing.
#   scripts/lint.sh [BUILD_DIR_WITH_COMPILE_COMMANDS] [BASE]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/werror}
base=${2:-HEAD~1}

for tool in git clang-format; do
    command -v "$tool" >/dev/null || { echo "lint: $tool is not installed (scripts/install-deps.sh test)" >&2; exit 1; }
done
listing=$(git ls-files -- '*.cpp' '*.hpp') || { echo "lint: git could not list the files here" >&2; exit 1; }
mapfile -t files <<<"$listing"
if [ -z "$listing" ]; then
    echo "lint: no C++ file to check" >&2
    exit 1
fi
echo "lint: ${#files[@]} C++ files"
status=0
if ! clang-format --dry-run --Werror "${files[@]}"; then
    echo "lint: clang-format would change the files above (run clang-format -i)" >&2
    status=1
fi

for check in check-layers.sh check-headers.sh; do
    [ -f "scripts/$check" ] || continue
    args=()
    [ "$check" = check-headers.sh ] && args=("$build")
    if ! bash "scripts/$check" "${args[@]}"; then
        echo "lint: $check failed" >&2
        status=1
    fi
done

if [ -f "$build/compile_commands.json" ]; then
    mapfile -t changed < <(git diff --name-only --diff-filter=AM "$base" -- 'src/*.cpp' 2>/dev/null || true)
    if [ ${#changed[@]} -gt 0 ]; then
        if ! clang-tidy -p "$build" --quiet --warnings-as-errors='concurrency-*' \
            "${changed[@]}" 2>/dev/null; then
            echo "lint: clang-tidy found problems in the changed files" >&2
            [ "${LINT_STRICT:-0}" != 1 ] || status=1
        fi
    fi
fi
exit $status
