#!/bin/bash
# Test network environments in network namespaces of their own.
#
# One environment NAME is two namespaces joined by a veth pair with multicast on:
#   NAME-app  the application's side: veth-app 198.18.0.1/16
#   NAME-dev  the devices' side:      veth-dev 198.18.0.2/16, plus any device addresses added
# Nothing is added to the default namespace: the veth ends are created directly inside their
# namespaces, so every run may use the same interface names and addresses, and two runs never
# collide as long as their NAMEs differ (`name` makes a fresh one per run).
#
# Used as a command (see usage below) or sourced by other scripts (`source netns-env.sh`),
# which then call the netns_* functions and install their own trap.
#
# Every address handled here must lie in 198.18.0.0/15, the range set aside for tests.

readonly NETNS_APP_ADDR=198.18.0.1
readonly NETNS_DEV_ADDR=198.18.0.2
readonly NETNS_PREFIX=16
readonly NETNS_APP_IF=veth-app
readonly NETNS_DEV_IF=veth-dev
# Processes started inside an environment record their PID in a file here, so `down` ends
# exactly those (and nothing else that happens to sit in the namespace).
readonly NETNS_RUN_ROOT=${NETNS_RUN_ROOT:-/run/pellan-netns}

netns_usage() {
    cat <<'EOF'
Usage: netns-env.sh COMMAND [ARGS]

  name [OWNER_PID]           print a fresh environment name (owner: the caller by default)
  up NAME                    create NAME-app and NAME-dev, joined by veth-app/veth-dev
  down NAME                  delete the environment (idempotent)
  down-stale                 delete environments whose owner process has ended
  session [--] CMD [ARG...]  create a fresh environment, run CMD in the default namespace with
                             PELLAN_NETNS=NAME, and delete the environment however CMD ends
  exec NAME app|dev CMD...   run CMD inside one side of the environment
  addr NAME add|del ADDR...  add or delete device addresses (/32) on veth-dev
  silent NAME on|off         make the devices' side ignore (or answer) echo requests
  link NAME up|down          take the devices' link down or bring it up again
  ping-range NAME allow|deny allow (or deny) ICMP datagram sockets on the application's side
  list                       the environments that exist

Needs root (namespaces, veth, sysctl). Addresses must lie in 198.18.0.0/15.
EOF
}

netns_die() {
    echo "netns-env: $*" >&2
    return 1
}

netns_require_root() {
    [[ $(id -u) -eq 0 ]] || netns_die "needs root (network namespaces)"
}

netns_check_name() {
    [[ ${1:-} =~ ^[a-z][a-z0-9]{1,30}$ ]] || netns_die "bad environment name '${1:-}'"
}

netns_check_address() {
    local address=$1
    [[ $address =~ ^198\.1[89]\.([0-9]{1,3})\.([0-9]{1,3})$ ]] ||
        netns_die "address '$address' is outside 198.18.0.0/15" || return 1
    ((BASH_REMATCH[1] <= 255 && BASH_REMATCH[2] <= 255)) ||
        netns_die "address '$address' does not parse"
}

# Names carry their owner's PID so that `down-stale` can sweep what a crashed run left behind
# without touching the environments of runs that are still going.
netns_name() {
    local owner=${1:-$PPID}
    printf 'pln%dx%s\n' "$owner" "$(od -An -N3 -tx1 /dev/urandom | tr -d ' \n')"
}

netns_run_dir() {
    echo "$NETNS_RUN_ROOT/$1"
}

netns_up() {
    local name=$1
    netns_check_name "$name" && netns_require_root || return 1
    local app="$name-app" dev="$name-dev"
    if ! {
        ip netns add "$app" &&
            ip netns add "$dev" &&
            ip link add name "$NETNS_APP_IF" netns "$app" type veth \
                peer name "$NETNS_DEV_IF" netns "$dev" &&
            ip -n "$app" addr add "$NETNS_APP_ADDR/$NETNS_PREFIX" dev "$NETNS_APP_IF" &&
            ip -n "$dev" addr add "$NETNS_DEV_ADDR/$NETNS_PREFIX" dev "$NETNS_DEV_IF" &&
            ip -n "$app" link set lo up &&
            ip -n "$dev" link set lo up &&
            ip -n "$app" link set "$NETNS_APP_IF" multicast on up &&
            ip -n "$dev" link set "$NETNS_DEV_IF" multicast on up &&
            mkdir -p "$(netns_run_dir "$name")"
    }; then
        netns_down "$name"
        netns_die "could not create environment $name"
        return 1
    fi
}

netns_down() {
    local name=$1
    netns_check_name "$name" || return 1
    local run_dir pid_file pid ns
    run_dir=$(netns_run_dir "$name")
    if [[ -d $run_dir ]]; then
        for pid_file in "$run_dir"/*.pid; do
            [[ -f $pid_file ]] || continue
            pid=$(<"$pid_file")
            [[ $pid =~ ^[0-9]+$ ]] && kill "$pid" 2>/dev/null
        done
        rm -rf -- "$run_dir"
    fi
    for ns in "$name-app" "$name-dev"; do
        if ip netns list | awk '{print $1}' | grep -qx -- "$ns"; then
            ip netns del "$ns" || netns_die "could not delete namespace $ns"
        fi
    done
    return 0
}

netns_list() {
    ip netns list | awk '{print $1}' | sed -n 's/^\(pln[0-9]*x[0-9a-f]*\)-app$/\1/p' | sort -u
}

netns_down_stale() {
    local name owner
    for name in $(ip netns list | awk '{print $1}' | sed -n 's/^\(pln[0-9]*x[0-9a-f]*\)-[a-z]*$/\1/p' | sort -u); do
        owner=${name#pln}
        owner=${owner%%x*}
        if ! kill -0 "$owner" 2>/dev/null; then
            netns_down "$name"
        fi
    done
}

netns_exec() {
    local name=$1 side=$2
    shift 2
    netns_check_name "$name" || return 1
    [[ $side == app || $side == dev ]] || netns_die "side must be app or dev, not '$side'" || return 1
    ip netns exec "$name-$side" "$@"
}

netns_addr() {
    local name=$1 action=$2 address
    shift 2
    netns_check_name "$name" || return 1
    [[ $action == add || $action == del ]] || netns_die "addr takes add or del" || return 1
    for address in "$@"; do
        netns_check_address "$address" || return 1
    done
    # One batch for all addresses: hundreds of device addresses in a fraction of a second.
    for address in "$@"; do
        echo "addr $action $address/32 dev $NETNS_DEV_IF"
    done | ip -n "$name-dev" -batch -
}

netns_silent() {
    local name=$1 state=$2 value
    netns_check_name "$name" || return 1
    case $state in
    on) value=1 ;;
    off) value=0 ;;
    *) netns_die "silent takes on or off" || return 1 ;;
    esac
    ip netns exec "$name-dev" sysctl -q -w net.ipv4.icmp_echo_ignore_all=$value
}

netns_link() {
    local name=$1 state=$2
    netns_check_name "$name" || return 1
    [[ $state == up || $state == down ]] || netns_die "link takes up or down" || return 1
    ip -n "$name-dev" link set "$NETNS_DEV_IF" "$state"
}

netns_ping_range() {
    local name=$1 state=$2 range
    netns_check_name "$name" || return 1
    case $state in
    allow) range="0 2147483647" ;;
    deny) range="1 0" ;;
    *) netns_die "ping-range takes allow or deny" || return 1 ;;
    esac
    ip netns exec "$name-app" sysctl -q -w net.ipv4.ping_group_range="$range"
}

netns_session() {
    [[ ${1:-} == -- ]] && shift
    [[ $# -gt 0 ]] || netns_die "session needs a command" || return 1
    netns_require_root || return 1
    local name status
    name=$(netns_name $$)
    # The trap is set before `up`, so a half-built environment goes too.
    # shellcheck disable=SC2064
    trap "netns_down '$name'" EXIT
    trap 'exit 130' INT
    trap 'exit 143' TERM
    netns_up "$name" || exit 1
    status=0
    PELLAN_NETNS=$name "$@" || status=$?
    exit "$status"
}

netns_main() {
    local command=${1:-}
    [[ $# -gt 0 ]] && shift
    case $command in
    name) netns_name "$@" ;;
    up) [[ $# -eq 1 ]] || { netns_usage >&2; return 2; }; netns_up "$1" && echo "$1" ;;
    down) [[ $# -eq 1 ]] || { netns_usage >&2; return 2; }; netns_down "$1" ;;
    down-stale) netns_down_stale ;;
    session) (netns_session "$@") ;;
    exec) [[ $# -ge 3 ]] || { netns_usage >&2; return 2; }; netns_exec "$@" ;;
    addr) [[ $# -ge 3 ]] || { netns_usage >&2; return 2; }; netns_addr "$@" ;;
    silent) [[ $# -eq 2 ]] || { netns_usage >&2; return 2; }; netns_silent "$@" ;;
    link) [[ $# -eq 2 ]] || { netns_usage >&2; return 2; }; netns_link "$@" ;;
    ping-range) [[ $# -eq 2 ]] || { netns_usage >&2; return 2; }; netns_ping_range "$@" ;;
    list) netns_list ;;
    -h | --help | help) netns_usage ;;
    *) netns_usage >&2; return 2 ;;
    esac
}

if [[ ${BASH_SOURCE[0]} == "$0" ]]; then
    set -uo pipefail
    netns_main "$@"
fi
