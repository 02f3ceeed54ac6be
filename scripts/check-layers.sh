#!/usr/bin/env bash
# Fails (exit 1, naming file and line) when a file of src/ breaks the layering:
#  - a file outside src/platform/ includes a POSIX or Linux system header (only the platform
#    folder talks to the operating system);
#  - a folder includes a project header of a folder above it. The order, bottom first, is the
#    one src/CMakeLists.txt adds the folders in, so the build and this check never disagree.
#   scripts/check-layers.sh [SOURCE_ROOT]
set -euo pipefail
root=${1:-$(cd "$(dirname "$0")/.." && pwd)}
src="$root/src"

order=$(sed -n 's/^[[:space:]]*foreach[[:space:]]*([[:space:]]*folder[[:space:]]\{1,\}\([^)]*\)).*/\1/p' \
    "$src/CMakeLists.txt" | head -n 1)
if [ -z "$order" ]; then
    echo "check-layers: no 'foreach(folder ...)' layer list in $src/CMakeLists.txt" >&2
    exit 1
fi

mapfile -t files < <(find "$src" -type f \( -name '*.cpp' -o -name '*.hpp' -o -name '*.h' \) | sort)
if [ ${#files[@]} -eq 0 ]; then
    echo "check-layers: no source files under $src" >&2
    exit 1
fi

# POSIX and Linux headers that only src/platform/ may include.
system_headers='^(unistd\.h|sys/.*|poll\.h|pthread\.h|arpa/.*|netinet/.*|net/.*|netdb\.h|fcntl\.h|signal\.h|ifaddrs\.h|dlfcn\.h|termios\.h|linux/.*|dirent\.h|spawn\.h|syslog\.h|sched\.h|semaphore\.h|grp\.h|pwd\.h)$'

awk -v order="$order" -v src="$src/" -v system_headers="$system_headers" '
BEGIN {
    count = split(order, layers, /[[:space:]]+/)
    for (i = 1; i <= count; ++i) {
        if (layers[i] != "") rank[layers[i]] = i
    }
    bad = 0
}
FNR == 1 {
    path = FILENAME
    sub("^" src, "", path)
    folder = path
    sub("/.*", "", folder)
    if (!(folder in rank)) {
        printf "%s:1: folder \"%s\" is not in the layer order of src/CMakeLists.txt\n", "src/" path, folder
        bad = 1
    }
}
/^[[:space:]]*#[[:space:]]*include[[:space:]]*</ {
    header = $0
    sub(/^[^<]*</, "", header)
    sub(/>.*/, "", header)
    if (folder != "platform" && header ~ system_headers) {
        printf "src/%s:%d: includes <%s>; only src/platform/ may include system headers\n", path, FNR, header
        bad = 1
    }
    next
}
/^[[:space:]]*#[[:space:]]*include[[:space:]]*"/ {
    header = $0
    sub(/^[^"]*"/, "", header)
    sub(/".*/, "", header)
    if (header !~ /\//) next
    target = header
    sub(/\/.*/, "", target)
    if (!(target in rank)) {
        if ((target in seenFolder) || system("test -d \"" src target "\"") == 0) {
            seenFolder[target] = 1
            printf "src/%s:%d: includes \"%s\" of folder \"%s\", which is not in the layer order\n", path, FNR, header, target
            bad = 1
        }
        next
    }
    if ((folder in rank) && rank[target] > rank[folder]) {
        printf "src/%s:%d: includes \"%s\": %s is above %s in the layer order\n", path, FNR, header, target, folder
        bad = 1
    }
}
END { exit bad }
' "${files[@]}" || { echo "check-layers: layering violations above" >&2; exit 1; }
echo "check-layers: ${#files[@]} files, layers: $order"
