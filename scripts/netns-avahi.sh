#!/bin/bash
# DNS-SD test environments: the namespaces of netns-env.sh, each side with a private system
# bus and an avahi-daemon of its own.
#
#   NAME-app  the application's side: bus + avahi-daemon on veth-app (198.18.0.1). Programs
#             that browse run here, with DBUS_SYSTEM_BUS_ADDRESS pointing at this side's bus.
#   NAME-dev  the devices' side: bus + avahi-daemon on veth-dev (198.18.0.2); test services
#             and host addresses are published here and reach the application's daemon over
#             the veth pair, as a device's announcements reach the studio PC.
#
# mDNS never runs in the default namespace: both daemons are started inside their namespace
# with allow-interfaces= that namespace's veth end only. Each daemon gets private tmpfs mounts
# over /run/avahi-daemon (its pid file and socket are fixed there) and /etc/avahi/services (so
# the machine's static services are not announced), inside the mount namespace that
# `ip netns exec` gives it; nothing of the machine's own configuration is touched.
#
# Every process started here records its PID in the environment's run directory; `down` ends
# exactly those, in the order clients, daemons, buses, then deletes the namespaces.
set -uo pipefail

NETNS_AVAHI_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=scripts/netns-env.sh
source "$NETNS_AVAHI_DIR/netns-env.sh"

readonly AVAHI_READY_TRIES=150   # x 0.1 s: the daemon's host-name probe takes about 1 s
readonly PUBLISH_READY_TRIES=300 # x 0.05 s: name probing takes about 0.9 s
readonly STOP_TRIES=100          # x 0.05 s before SIGKILL

avahi_usage() {
    cat <<'EOF'
Usage: netns-avahi.sh COMMAND [ARGS]

  up NAME                        create NAME (netns-env.sh up) and start bus + avahi-daemon
                                 on both sides
  down NAME                      stop what was started for NAME and delete it (idempotent)
  down-stale                     delete environments whose owner process has ended
  session [--] CMD [ARG...]      fresh environment; CMD runs in the default namespace with
                                 PELLAN_NETNS=NAME (use `exec NAME app ...` from there)
  run [--] CMD [ARG...]          fresh environment; CMD runs inside NAME-app with the app's bus
  name [OWNER_PID]               print a fresh environment name
  exec NAME app|dev CMD [ARG...] run CMD inside one side, with that side's bus
  bus NAME app|dev               print that side's DBUS_SYSTEM_BUS_ADDRESS value
  daemon NAME app|dev start|stop|status
                                 start or stop that side's avahi-daemon (the bus stays)
  publish NAME ID [-H HOST] [-p PORT] INSTANCE TYPE [TXT...]
                                 announce a service from the devices' side (avahi-publish -s);
                                 returns once it is established; fails on a name collision
  publish-address NAME ID HOST ADDRESS
                                 announce HOST's A record from the devices' side
                                 (avahi-publish -a -R); ADDRESS in 198.18.0.0/15
  unpublish NAME ID...           withdraw what `publish`/`publish-address` IDs announced
  log NAME app|dev               print that side's avahi-daemon log

Needs root. The environment names come from netns-env.sh (`name`).
EOF
}

avahi_die() {
    echo "netns-avahi: $*" >&2
    return 1
}

avahi_side_check() {
    [[ ${1:-} == app || ${1:-} == dev ]] || avahi_die "side must be app or dev, not '${1:-}'"
}

avahi_bus_socket() { echo "$(netns_run_dir "$1")/bus-$2.sock"; }
avahi_bus_address() { echo "unix:path=$(avahi_bus_socket "$1" "$2")"; }

# Starts CMD... in the background with its output in LOG and records its PID in PID_FILE.
# The subshell execs CMD (and `ip netns exec` and `env` exec in turn), so the recorded PID is
# the program's own and `kill` reaches it.
avahi_spawn() {
    local pid_file=$1 log=$2
    shift 2
    (exec "$@") >>"$log" 2>&1 </dev/null &
    echo $! >"$pid_file"
}

avahi_pid_alive() {
    local pid_file=$1 pid
    [[ -f $pid_file ]] || return 1
    pid=$(<"$pid_file")
    [[ $pid =~ ^[0-9]+$ ]] && kill -0 "$pid" 2>/dev/null
}

# Ends the processes recorded in the PID_FILEs, all at once, and waits (bounded) until they
# are gone; what is still there then gets SIGKILL.
avahi_stop_pids() {
    local pid_file pid i alive
    local pids=()
    for pid_file in "$@"; do
        [[ -f $pid_file ]] || continue
        pid=$(<"$pid_file")
        [[ $pid =~ ^[0-9]+$ ]] && kill "$pid" 2>/dev/null && pids+=("$pid")
        rm -f -- "$pid_file"
    done
    for ((i = 0; i < STOP_TRIES && ${#pids[@]} > 0; i++)); do
        alive=()
        for pid in "${pids[@]}"; do
            kill -0 "$pid" 2>/dev/null && alive+=("$pid")
        done
        pids=("${alive[@]}")
        [[ ${#pids[@]} -gt 0 ]] && sleep 0.05
    done
    for pid in "${pids[@]}"; do
        kill -KILL "$pid" 2>/dev/null
    done
    return 0
}

avahi_stop_pid() { avahi_stop_pids "$1"; }

avahi_start_bus() {
    local name=$1 side=$2 run_dir socket i
    run_dir=$(netns_run_dir "$name")
    socket=$(avahi_bus_socket "$name" "$side")
    rm -f -- "$socket"
    # --system: the system bus policy, so that avahi's own D-Bus policy file applies.
    avahi_spawn "$run_dir/bus-$side.pid" "$run_dir/bus-$side.log" \
        ip netns exec "$name-$side" dbus-daemon --system --address="unix:path=$socket" \
        --nofork --nopidfile --nosyslog
    for ((i = 0; i < 50; i++)); do
        [[ -S $socket ]] && return 0
        sleep 0.1
    done
    avahi_die "the $side bus of $name did not come up"
}

avahi_write_config() {
    local name=$1 side=$2 interface
    [[ $side == app ]] && interface=$NETNS_APP_IF || interface=$NETNS_DEV_IF
    cat >"$(netns_run_dir "$name")/avahi-$side.conf" <<CONF
[server]
host-name=pellan-$side
domain-name=local
use-ipv4=yes
use-ipv6=no
allow-interfaces=$interface
enable-dbus=yes
ratelimit-interval-usec=1000000
ratelimit-burst=1000
cache-entries-max=16384
[wide-area]
enable-wide-area=no
[publish]
publish-addresses=yes
publish-hinfo=no
publish-workstation=no
publish-domain=no
publish-aaaa-on-ipv4=no
publish-a-on-ipv6=no
[reflector]
enable-reflector=no
[rlimits]
CONF
}

avahi_daemon_start() {
    local name=$1 side=$2 run_dir log i
    run_dir=$(netns_run_dir "$name")
    log="$run_dir/avahi-$side.log"
    avahi_pid_alive "$run_dir/avahi-$side.pid" && return 0
    [[ -f $run_dir/avahi-$side.conf ]] || avahi_write_config "$name" "$side"
    : >"$log"
    # `exec` keeps the recorded PID the daemon's own (no -D: it would fork).
    avahi_spawn "$run_dir/avahi-$side.pid" "$log" \
        ip netns exec "$name-$side" env DBUS_SYSTEM_BUS_ADDRESS="$(avahi_bus_address "$name" "$side")" \
        sh -c 'mkdir -p /run/avahi-daemon /etc/avahi/services &&
               mount -t tmpfs -o mode=755 tmpfs /run/avahi-daemon &&
               mount -t tmpfs -o mode=755 tmpfs /etc/avahi/services &&
               exec avahi-daemon -f "$0" --no-drop-root --no-chroot --no-rlimits --no-proc-title' \
        "$run_dir/avahi-$side.conf"
    for ((i = 0; i < AVAHI_READY_TRIES; i++)); do
        grep -q 'Server startup complete' "$log" && return 0
        avahi_pid_alive "$run_dir/avahi-$side.pid" || break
        sleep 0.1
    done
    cat "$log" >&2
    avahi_die "avahi-daemon on the $side side of $name did not start"
}

avahi_daemon_stop() {
    avahi_stop_pid "$(netns_run_dir "$1")/avahi-$2.pid"
}

avahi_up() {
    local name=$1 side
    netns_up "$name" || return 1
    for side in app dev; do
        if ! avahi_start_bus "$name" "$side" || ! avahi_daemon_start "$name" "$side"; then
            avahi_down "$name"
            return 1
        fi
    done
}

avahi_down() {
    local name=$1 run_dir
    netns_check_name "$name" || return 1
    run_dir=$(netns_run_dir "$name")
    if [[ -d $run_dir ]]; then
        avahi_stop_pids "$run_dir"/pub-*.pid
        avahi_stop_pids "$run_dir/avahi-app.pid" "$run_dir/avahi-dev.pid"
        avahi_stop_pids "$run_dir/bus-app.pid" "$run_dir/bus-dev.pid"
    fi
    netns_down "$name"
}

avahi_exec() {
    local name=$1 side=$2
    shift 2
    netns_check_name "$name" && avahi_side_check "$side" || return 1
    netns_exec "$name" "$side" env DBUS_SYSTEM_BUS_ADDRESS="$(avahi_bus_address "$name" "$side")" \
        PELLAN_NETNS="$name" "$@"
}

avahi_check_id() {
    [[ ${1:-} =~ ^[A-Za-z0-9_-]{1,40}$ ]] || avahi_die "bad publication id '${1:-}'"
}

# Starts avahi-publish ARGS... in the devices' namespace and waits until it reports the
# publication established.
avahi_start_publisher() {
    local name=$1 id=$2 run_dir out i
    shift 2
    run_dir=$(netns_run_dir "$name")
    out="$run_dir/pub-$id.out"
    [[ -f $run_dir/pub-$id.pid ]] && avahi_die "publication '$id' exists already" && return 1
    : >"$out"
    avahi_spawn "$run_dir/pub-$id.pid" "$out" ip netns exec "$name-dev" \
        env DBUS_SYSTEM_BUS_ADDRESS="$(avahi_bus_address "$name" dev)" avahi-publish "$@"
    for ((i = 0; i < PUBLISH_READY_TRIES; i++)); do
        # A collision still leaves avahi-publish running (and exits 0 later): check the text.
        if grep -qi 'collision' "$out"; then
            avahi_stop_pid "$run_dir/pub-$id.pid"
            avahi_die "publication '$id': $(head -c 300 "$out")"
            return 1
        fi
        grep -q '^Established under name' "$out" && return 0
        avahi_pid_alive "$run_dir/pub-$id.pid" || break
        sleep 0.05
    done
    avahi_stop_pid "$run_dir/pub-$id.pid"
    avahi_die "publication '$id' was not established: $(head -c 300 "$out")"
}

avahi_publish() {
    local name=$1 id=$2 host="" port=80
    shift 2
    netns_check_name "$name" && avahi_check_id "$id" || return 1
    while [[ $# -gt 0 ]]; do
        case $1 in
        -H) host=$2; shift 2 ;;
        -p) port=$2; shift 2 ;;
        --) shift; break ;;
        *) break ;;
        esac
    done
    [[ $# -ge 2 ]] || avahi_die "publish needs INSTANCE and TYPE" || return 1
    [[ $port =~ ^[0-9]{1,5}$ ]] || avahi_die "bad port '$port'" || return 1
    local instance=$1 type=$2
    shift 2
    local args=(-s)
    [[ -n $host ]] && args+=(-H "$host")
    avahi_start_publisher "$name" "$id" "${args[@]}" "$instance" "$type" "$port" "$@"
}

avahi_publish_address() {
    local name=$1 id=$2 host=$3 address=$4
    netns_check_name "$name" && avahi_check_id "$id" && netns_check_address "$address" || return 1
    avahi_start_publisher "$name" "$id" -a -R "$host" "$address"
}

avahi_unpublish() {
    local name=$1 id run_dir
    shift
    netns_check_name "$name" || return 1
    run_dir=$(netns_run_dir "$name")
    local pid_files=()
    for id in "$@"; do
        avahi_check_id "$id" || return 1
        pid_files+=("$run_dir/pub-$id.pid")
    done
    avahi_stop_pids "${pid_files[@]}"
    for id in "$@"; do
        rm -f -- "$run_dir/pub-$id.out"
    done
}

avahi_down_stale() {
    local name owner
    for name in $(netns_list); do
        owner=${name#pln}
        owner=${owner%%x*}
        kill -0 "$owner" 2>/dev/null || avahi_down "$name"
    done
}

# A fresh environment for one command, deleted however the command ends. INSIDE=app runs
# the command inside the application's namespace with its bus.
avahi_session() {
    local inside=$1 name status
    shift
    [[ ${1:-} == -- ]] && shift
    [[ $# -gt 0 ]] || avahi_die "session needs a command" || return 1
    netns_require_root || return 1
    name=$(netns_name $$)
    # The trap is set before `up`, so a half-built environment goes too.
    # shellcheck disable=SC2064
    trap "avahi_down '$name'" EXIT
    trap 'exit 130' INT
    trap 'exit 143' TERM
    avahi_up "$name" || exit 1
    status=0
    if [[ $inside == app ]]; then
        avahi_exec "$name" app "$@" || status=$?
    else
        PELLAN_NETNS=$name "$@" || status=$?
    fi
    exit "$status"
}

avahi_main() {
    local command=${1:-}
    [[ $# -gt 0 ]] && shift
    case $command in
    up) [[ $# -eq 1 ]] || { avahi_usage >&2; return 2; }
        netns_require_root && avahi_up "$1" && echo "$1" ;;
    down) [[ $# -eq 1 ]] || { avahi_usage >&2; return 2; }; avahi_down "$1" ;;
    down-stale) avahi_down_stale ;;
    session) (avahi_session default "$@") ;;
    run) (avahi_session app "$@") ;;
    name) netns_name "$@" ;;
    exec) [[ $# -ge 3 ]] || { avahi_usage >&2; return 2; }; avahi_exec "$@" ;;
    bus) [[ $# -eq 2 ]] && avahi_side_check "$2" || { avahi_usage >&2; return 2; }
        avahi_bus_address "$1" "$2" ;;
    daemon)
        [[ $# -eq 3 ]] && netns_check_name "$1" && avahi_side_check "$2" ||
            { avahi_usage >&2; return 2; }
        case $3 in
        start) avahi_daemon_start "$1" "$2" ;;
        stop) avahi_daemon_stop "$1" "$2" ;;
        status) avahi_pid_alive "$(netns_run_dir "$1")/avahi-$2.pid" && echo running ||
            { echo stopped; return 1; } ;;
        *) avahi_usage >&2; return 2 ;;
        esac ;;
    publish) [[ $# -ge 4 ]] || { avahi_usage >&2; return 2; }; avahi_publish "$@" ;;
    publish-address) [[ $# -eq 4 ]] || { avahi_usage >&2; return 2; }
        avahi_publish_address "$@" ;;
    unpublish) [[ $# -ge 2 ]] || { avahi_usage >&2; return 2; }; avahi_unpublish "$@" ;;
    log) [[ $# -eq 2 ]] && avahi_side_check "$2" || { avahi_usage >&2; return 2; }
        cat "$(netns_run_dir "$1")/avahi-$2.log" ;;
    -h | --help | help) avahi_usage ;;
    *) avahi_usage >&2; return 2 ;;
    esac
}

if [[ ${BASH_SOURCE[0]} == "$0" ]]; then
    avahi_main "$@"
fi
