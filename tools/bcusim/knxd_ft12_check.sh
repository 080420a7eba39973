#!/bin/sh
# knxd on bcusim's emulated FT1.2 interface: bcusim serves one line on a
# pseudo terminal as FT1.2 (--ft12 emi2 or cemi), knxd opens it with its
# ft12 or ft12cemi driver (no modem lines, so no preload library) and serves
# a Unix socket only; knxtool on that socket then checks that
#   1. a telegram a device sends on the bus reaches knxtool's group monitor,
#   2. a group write from knxtool goes on the bus (bcusim prints it),
#   3. a group read from knxtool is answered by a scenario device.
# knxd's trace of the bytes it sent is printed. Exits 77 (skipped) where knxd
# is not available, and on the Windows leg.
# usage: knxd_ft12_check.sh TARGET BCUSIM SCENARIO FLAVOUR
#   TARGET: linux or windows; FLAVOUR: emi2 or cemi
set -u
target=$1 bcusim=$2 scenario=$3 flavour=$4

skip() {
    echo "skipped: $*"
    exit 77
}
[ "$target" = linux ] || skip "pseudo terminals and knxd: Linux only"
command -v knxd >/dev/null 2>&1 || skip "knxd is not installed (Debian: apt-get install knxd knxd-tools)"
command -v knxtool >/dev/null 2>&1 || skip "knxtool is not installed (Debian: apt-get install knxd-tools)"
driver=ft12
[ "$flavour" = cemi ] && driver=ft12cemi

work=$(mktemp -d /tmp/knxd-ft12.XXXXXX) || exit 1
cd "$work" || exit 1
sock=$work/knxd.sock
pids=
finish() {
    status=$?
    for pid in $pids; do kill "$pid" 2>/dev/null; done
    for pid in $pids; do wait "$pid" 2>/dev/null; done
    if [ "$status" -ne 0 ]; then
        for log in bcusim knxd listen; do
            [ -f $log.log ] && { echo "--- $log output"; cat $log.log; }
        done
    fi
    cd / && rm -rf "$work"
    exit $status
}
trap finish EXIT
trap 'exit 1' INT TERM

fail() {
    echo "FAILED: $*"
    exit 1
}

# Polls for a condition (a shell command) for up to 60 s; fails naming `what`.
await() {
    what=$1 condition=$2
    tries=0
    until eval "$condition"; do
        tries=$((tries + 1))
        [ "$tries" -gt 600 ] && fail "$what: not after 60 s"
        sleep 0.1
    done
}

"$bcusim" --pty --ft12 "$flavour" --line "$work/b1" --ready-file ready "$scenario" >bcusim.log 2>&1 &
bcusim_pid=$!
pids="$pids $bcusim_pid"
await "bcusim ready" '[ -f ready ] || ! kill -0 $bcusim_pid 2>/dev/null'
kill -0 $bcusim_pid 2>/dev/null || fail "bcusim ended before it was ready"

# knxd: its own address 0.0.1, addresses for its clients from 0.0.2, a Unix
# socket for them and nothing else; -t/-f trace the driver's bytes.
knxd -e 0.0.1 -E 0.0.2:8 -u "$sock" -t 0x01 -f 9 -b "$driver:$work/b1" >knxd.log 2>&1 &
knxd_pid=$!
pids="$pids $knxd_pid"
await "knxd's socket" '[ -S "$sock" ] || ! kill -0 $knxd_pid 2>/dev/null'
kill -0 $knxd_pid 2>/dev/null || fail "knxd ended"
await "knxd's reset of the link" 'grep -q "^line 1 ft12: reset of the link" bcusim.log'
await "link-layer mode" 'grep -q "^line 1 ft12: link layer$" bcusim.log'

stdbuf -oL knxtool groupsocketlisten "local:$sock" >listen.log 2>&1 &
pids="$pids $!"

# 1. The outside temperature (1.1.30, 1/0/3) that the scenario sends every 3 s;
# seen, it also shows the group monitor is listening before the read below.
await "a device's write in knxtool's group monitor" 'grep -Eiq "write from 1\.1\.30 to 1/0/3: " listen.log'
echo "seen through knxd: $(grep -Ei -m1 "write from 1\.1\.30 to 1/0/3" listen.log)"

# 2. knxtool's write of 5/0/2 = 1: from the interface's address (1.1.250) when
# knxd leaves the source 0.0.0 (ft12), from knxd's client address (ft12cemi).
knxtool groupswrite "local:$sock" 5/0/2 1 || fail "knxtool groupswrite failed"
await "knxtool's write on the bus" 'grep -Eq " (1\.1\.250|0\.0\.[0-9]+) -> 5/0/2 write 1 " bcusim.log'
echo "on the bus: $(grep -E -m1 " -> 5/0/2 write 1 " bcusim.log)"

# 3. knxtool's read of 1/0/2: the hall dimmer (1.1.20) answers 128.
knxtool groupread "local:$sock" 1/0/2 || fail "knxtool groupread failed"
await "the dimmer's answer in knxtool's group monitor" 'grep -Eiq "response from 1\.1\.20 to 1/0/2: 80" listen.log'
echo "seen through knxd: $(grep -Ei -m1 "response from 1\.1\.20 to 1/0/2" listen.log)"

echo "knxd sent:"
grep -E "Send\([0-9]+\): (10|68) " knxd.log | sed 's/.*Send([0-9]*): /  /' | head -6
echo "passed"
exit 0
