#!/usr/bin/env bash
# Compiles every header of src/ alone (g++ -fsyntax-only on a file that includes only it), with
# the include directories, definitions and warnings of the build's compile_commands.json, and
# fails naming every header that does not compile. Without a compile_commands.json the
# project's known flags are used.
#   scripts/check-headers.sh [BUILD_DIR]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/werror}
compiler=${CXX:-g++}

flags=()
if [ -f "$build/compile_commands.json" ]; then
    # The union of the flags the build gives the files of src/: -I, -isystem, -D, -std, -W.
    mapfile -t flags < <(
        grep -E '"command": ".*/src/' "$build/compile_commands.json" |
            sed -e 's/-isystem /-isystem/g' |
            grep -oE '(^| )(-I|-isystem|-D|-std=|-W)[^ "]*' |
            sed -e 's/^ //' | sort -u)
fi
if [ ${#flags[@]} -eq 0 ]; then
    flags=(-std=c++20 "-I$root/src" -DBOOST_ASIO_SEPARATE_COMPILATION
           -DBOOST_BEAST_SEPARATE_COMPILATION -DBOOST_ASIO_NO_DEPRECATED
           -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor -Woverloaded-virtual
           -Wconversion -Wsign-conversion -Wimplicit-fallthrough -Werror)
fi

mapfile -t headers < <(cd "$root/src" && find . -type f \( -name '*.hpp' -o -name '*.h' \) |
    sed 's|^\./||' | sort)
if [ ${#headers[@]} -eq 0 ]; then
    echo "check-headers: no headers under $root/src" >&2
    exit 1
fi

# One compiler per core: a header alone still pulls in Asio or JSON, and there are many.
failures=$(mktemp)
trap 'rm -f "$failures"' EXIT
jobs=$(nproc)
running=0
for header in "${headers[@]}"; do
    (
        if ! printf '#include "%s"\n' "$header" |
            "$compiler" "${flags[@]}" "-I$root/src" -fsyntax-only -x c++ -; then
            echo "$header" >>"$failures"
        fi
    ) &
    running=$((running + 1))
    if [ "$running" -ge "$jobs" ]; then
        wait -n || true
        running=$((running - 1))
    fi
done
wait
if [ -s "$failures" ]; then
    while read -r header; do
        echo "check-headers: src/$header does not compile on its own" >&2
    done <"$failures"
    exit 1
fi
echo "check-headers: ${#headers[@]} headers compile on their own"
