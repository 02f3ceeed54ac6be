#!/bin/bash
# The health monitor's benchmark in an environment of its own: 200 device addresses on the
# devices' side of a namespace pair, 100 of which are removed again so nobody answers for
# them. Runs bench/health_monitor_bench on the application's side; deletes everything at the
# end, however the run ends. Needs root.
#   scripts/bench-health-monitor.sh [BUILD_DIR] [BENCHMARK_ARGS...]
# BUILD_DIR defaults to build/werror; build the target first:
#   cmake --build BUILD_DIR --target health_monitor_bench
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=${1:-build/werror}
[[ $# -gt 0 ]] && shift
bench="$build/bench/health_monitor_bench"
if [[ ! -x $bench ]]; then
    echo "bench-health-monitor: $bench is missing; build it with" >&2
    echo "  cmake --build $build --target health_monitor_bench" >&2
    exit 2
fi
bench=$(cd "$(dirname "$bench")" && pwd)/$(basename "$bench")

# shellcheck source-path=SCRIPTDIR source=netns-env.sh
source "$here/netns-env.sh"
netns_require_root
name=$(netns_name $$)
trap 'netns_down "$name"' EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
netns_up "$name"

answering=()
silent=()
for i in $(seq 1 100); do
    answering+=("198.18.1.$i")
    silent+=("198.18.2.$i")
done
netns_addr "$name" add "${answering[@]}" "${silent[@]}"
netns_addr "$name" del "${silent[@]}"

PELLAN_NETNS=$name PELLAN_NETNS_SCRIPT="$here/netns-env.sh" \
    ip netns exec "$name-app" "$bench" "$@"
