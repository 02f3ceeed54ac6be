#!/usr/bin/env bash
# Installs every Debian package that building, running and (with "test") testing need.
# Idempotent: packages already installed are left alone, and apt is asked only when one is
# missing. Installing needs root: run it as root, or as a user who may use sudo (a Debian
# installed with a root password has no sudo until root installs it and adds the user to the
# group "sudo").
#   scripts/install-deps.sh          build and run
#   scripts/install-deps.sh test     build, run and every test row
#   scripts/install-deps.sh bench    as test, plus the load tools of the benchmark scripts
set -euo pipefail

mode=${1:-run}
case $mode in
run | test | bench) ;;
*) echo "usage: $0 [run|test|bench]" >&2; exit 2 ;;
esac
packages=(
    cmake ninja-build g++ pkg-config
    libboost1.81-dev nlohmann-json3-dev portaudio19-dev libavahi-compat-libdnssd-dev
    avahi-daemon xdg-utils libnotify-bin
)
if [ "$mode" = test ] || [ "$mode" = bench ]; then
    packages+=(
        googletest libgtest-dev libgmock-dev libbenchmark-dev
        clang clang-format clang-tidy libclang-rt-14-dev
        iproute2 iputils-ping dbus-daemon avahi-utils util-linux procps git
    )
fi
if [ "$mode" = bench ]; then
    packages+=(wrk nginx-light)
fi

missing=()
for package in "${packages[@]}"; do
    status=$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null || true)
    [ "$status" = "install ok installed" ] || missing+=("$package")
done
if [ ${#missing[@]} -eq 0 ]; then
    exit 0
fi

sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then
    if ! command -v sudo >/dev/null; then
        {
            echo "install-deps: these Debian packages are missing: ${missing[*]}"
            echo "install-deps: installing them needs root, and you are not root and sudo is not installed."
            echo "install-deps: run this command as root (su -), or have root install sudo and add you to"
            echo "install-deps: the group \"sudo\" (apt-get install sudo; adduser $(id -un) sudo; then log in again)."
        } >&2
        exit 1
    fi
    sudo_cmd=(sudo)
fi

# On a test machine no mDNS daemon (nor the benchmarks' nginx) may start in the machine's
# own network namespace: the tests and benchmarks start their own, privately. Keep package
# scripts from starting services while we install.
policy=/usr/sbin/policy-rc.d
added_policy=0
if [ "$mode" != run ] && [ ! -e "$policy" ]; then
    printf '#!/bin/sh\nexit 101\n' | "${sudo_cmd[@]}" tee "$policy" >/dev/null
    "${sudo_cmd[@]}" chmod 755 "$policy"
    added_policy=1
fi
cleanup() { [ "$added_policy" -eq 0 ] || "${sudo_cmd[@]}" rm -f "$policy"; }
trap cleanup EXIT

export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -qq
"${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
