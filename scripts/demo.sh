#!/bin/sh
# Quick start: installs what is missing (scripts/setup.sh), builds the driver,
# the host library, the bus emulator and eibhost, starts the emulator with the building scenario, and runs a short
# eibhost session on its virtual line: gates updating live, reads, writes,
# BCU cells, and a clean stop. Exits with eibhost's status.
#   scripts/demo.sh [knxip|ft12]
#                             knxip: the same building over KNXnet/IP, the
#                             driver on a tunnel to bcusim's tunnelling server;
#                             ft12: behind an emulated FT1.2 interface (EMI2)
#                             on a pseudo terminal, the driver's FT1.2 link
#   BUILD_DIR=...  build tree to use (default: build/linux-i386 when the test
#                  command has configured it, else build/linux-i386-demo, built
#                  without optimisation, the fastest for a first run)
set -eu
link=${1:-line}
case $link in line|knxip|ft12) ;; *) echo "usage: scripts/demo.sh [knxip|ft12]" >&2; exit 2 ;; esac

root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-}
preset=linux-i386
if [ -z "$build" ]; then
    build=$root/build/linux-i386
    [ -f "$build/CMakeCache.txt" ] || { build=$root/build/linux-i386-demo; preset=linux-i386-demo; }
fi
scenario=$root/tools/bcusim/scenarios/building.toml
session=$root/tools/eibhost/examples/building_demo.toml

# A fresh machine first gets the compilers and libraries (scripts/setup.sh).
"$root/scripts/setup.sh" demo
if [ ! -f "$build/CMakeCache.txt" ]; then
    (cd "$root" && cmake --preset "$preset" -B "$build" >/dev/null)
fi
cmake --build "$build" --target qeleib huxtor bcusim eibhost

work=$(mktemp -d)
bcusim_pid=
cleanup() {
    if [ -n "$bcusim_pid" ]; then
        kill "$bcusim_pid" 2>/dev/null || true
        wait "$bcusim_pid" 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT INT TERM

# The virtual lines are Unix sockets in the working directory: ./b1 ...
cd "$work"
serve=
[ "$link" = knxip ] && serve="--knxnet 127.0.0.1:0"
[ "$link" = ft12 ] && serve="--pty --ft12 emi2"
# shellcheck disable=SC2086
"$build/tools/bcusim/bcusim" --line ./b1 $serve --ready-file "$work/ready" "$scenario" >"$work/bcusim.log" 2>&1 &
bcusim_pid=$!

# bcusim writes the ready file once it listens.
tries=0
while [ ! -f "$work/ready" ]; do
    if ! kill -0 "$bcusim_pid" 2>/dev/null; then
        echo "demo: bcusim ended before it was ready:" >&2
        cat "$work/bcusim.log" >&2
        exit 1
    fi
    tries=$((tries + 1))
    if [ "$tries" -gt 200 ]; then
        echo "demo: bcusim not ready after 20 s" >&2
        exit 1
    fi
    sleep 0.1
done

if [ "$link" = knxip ]; then
    # The tunnelling server's port, in a port map for the driver.
    server=$(sed -n 's/^knxnet: tunnelling server on //p' "$work/bcusim.log")
    printf 'KNXIP1 = knxip://%s\n' "$server" >"$work/qeleib.ports"
    export QELEIB_PORTS="$work/qeleib.ports"
    session=$root/tools/eibhost/examples/building_demo_knxip.toml
fi
if [ "$link" = ft12 ]; then
    printf 'FT12 = ft12:%s/b1\n' "$work" >"$work/qeleib.ports"
    export QELEIB_PORTS="$work/qeleib.ports"
    session=$root/tools/eibhost/examples/building_demo_ft12.toml
fi

status=0
"$build/tools/eibhost/eibhost" --script "$session" || status=$?

echo
echo "demo: what crossed the bus (bcusim):"
tail -n 20 "$work/bcusim.log"
exit "$status"
