#!/bin/bash
# Discovery benchmark in a fresh DNS-SD test environment (netns-avahi.sh): the "_http._tcp"
# browser in the application's namespace against its private avahi-daemon, devices announced
# from the devices' namespace by one publisher process.
#   1. latency: 100 devices announced one after another, 150 ms apart; per device the time
#      from its announcement (entry group established) to the browser's reports.
#   2. burst: 500 devices announced at once; all reported with their address, none twice,
#      and the browsing process's CPU time meanwhile.
# Usage (root): scripts/bench-discovery.sh [BUILD_DIR]   (default build/werror)
set -uo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/werror}
[[ $build == /* ]] || build=$PWD/$build
bench=$build/bench/discovery-bench
publisher=$build/bench/discovery-avahi-publisher
for program in "$bench" "$publisher"; do
    [[ -x $program ]] || { echo "missing $program: build it first" >&2; exit 2; }
done

# shellcheck source=scripts/netns-avahi.sh
source scripts/netns-avahi.sh
netns_require_root || exit 2
name=$(netns_name $$)
# shellcheck disable=SC2064
trap "avahi_down '$name'" EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
avahi_up "$name" || exit 1
run=$(netns_run_dir "$name")

# CPU time (user + system) of the process in PID_FILE, in milliseconds.
cpu_ms() {
    local pid fields
    pid=$(<"$1")
    read -ra fields <"/proc/$pid/stat" || return
    # Fields 14 and 15 (utime, stime), after the command name in parentheses.
    local rest=${fields[*]}
    rest=${rest##*) }
    read -ra fields <<<"$rest"
    echo $(((fields[11] + fields[12]) * 1000 / $(getconf CLK_TCK)))
}

# phase LABEL COUNT INTERVAL_MS FIRST_ADDRESS
phase() {
    local label=$1 count=$2 interval=$3 first=$4 out established i status
    out="$run/bench-$label.out"
    established="$run/established-$label.txt"
    : >"$out"
    : >"$established"
    avahi_exec "$name" app "$bench" --expect "$count" --established "$established" \
        --prefix "$label" --seconds 120 >"$out" 2>&1 &
    local bench_pid=$!
    for ((i = 0; i < 100; i++)); do
        grep -q '^ready' "$out" && break
        sleep 0.1
    done
    local avahi_before bus_before
    avahi_before=$(cpu_ms "$run/avahi-app.pid")
    bus_before=$(cpu_ms "$run/bus-app.pid")
    avahi_spawn "$run/pub-$label.pid" "$established" ip netns exec "$name-dev" \
        env DBUS_SYSTEM_BUS_ADDRESS="$(avahi_bus_address "$name" dev)" \
        "$publisher" --count "$count" --interval-ms "$interval" --prefix "$label" \
        --first-address "$first"
    status=0
    wait "$bench_pid" || status=$?
    local avahi_cpu=$(($(cpu_ms "$run/avahi-app.pid") - avahi_before))
    local bus_cpu=$(($(cpu_ms "$run/bus-app.pid") - bus_before))
    avahi_stop_pids "$run/pub-$label.pid"
    echo "== $label: $count devices, announced ${interval} ms apart"
    grep -v '^ready' "$out"
    echo "application side's avahi-daemon CPU ${avahi_cpu} ms, its bus ${bus_cpu} ms (same span plus 2 s)"
    return "$status"
}

failed=0
phase latency 100 150 198.18.2.1 || failed=1
phase burst 500 0 198.18.4.1 || failed=1
exit "$failed"
