#!/bin/sh
# knxd against bcusim's tunnelling server, with the driver on the same bus:
# starts bcusim (one line, --knxnet on a free loopback port), knxd as a
# tunnel client with a Unix socket only, eibhost on the line, and checks with
# knxtool that
#   1. a group write from knxtool reaches the host's gate through the driver,
#   2. a gate written through the driver is seen by knxtool with its group and value,
#   3. a group read from knxtool is answered by a scenario device.
# With MODE "server" the driver reaches the bus through knxd instead: knxd
# also serves KNXnet/IP tunnelling, and eibhost's port is knxip://127.0.0.1.
# knxd's server joins the KNXnet/IP multicast group whatever it is told, so
# that mode runs in a network namespace of its own (unshare -n), where a veth
# pair with both ends inside stands in for a network: nothing leaves it.
# With MODE "routing" knxd is a KNXnet/IP router instead (-b ip: on the veth),
# a peer of the driver (knxrouting://) and of bcusim's router on one group, in
# the namespace too: the driver and knxd hear each other directly (bcusim's
# router sends nothing from the group back to it), the dimmer's answer comes
# from bcusim's router.
# Exits 77 (skipped) where knxd is not available, and on the Windows leg.
# usage: knxd_check.sh TARGET BCUSIM SCENARIO EIBHOST SESSION [MODE]
#   TARGET: linux or windows; MODE: client (the default), server or routing
set -u
target=$1 bcusim=$2 scenario=$3 eibhost=$4 session=$5 mode=${6:-client}

skip() {
    echo "skipped: $*"
    exit 77
}
[ "$target" = linux ] || skip "knxd runs on Linux only; the Windows leg has no knxd to test against"
command -v knxd >/dev/null 2>&1 || skip "knxd is not installed (Debian: apt-get install knxd knxd-tools)"
command -v knxtool >/dev/null 2>&1 || skip "knxtool is not installed (Debian: apt-get install knxd-tools)"

case $mode in
client) ;;
server | routing) namespace=1 ;;
*) echo "unknown mode $mode"; exit 2 ;;
esac
if [ -n "${namespace:-}" ] && [ -z "${QEL_KNXD_NAMESPACE:-}" ]; then
    command -v unshare >/dev/null 2>&1 && command -v ip >/dev/null 2>&1 || skip "no unshare or ip for a network namespace"
    unshare -n true 2>/dev/null || skip "no network namespace can be made here (unshare -n needs root)"
    QEL_KNXD_NAMESPACE=1 exec unshare -n sh "$0" "$@"
fi
if [ -n "${namespace:-}" ]; then
    ip link set lo up || exit 1
    ip link add knx0 type veth peer name knx1 || exit 1
    ip addr add 10.230.0.1/24 dev knx0 && ip link set knx1 up && ip link set knx0 up || exit 1
    ip route add default dev knx0 && ip route add 224.0.0.0/4 dev knx0 || exit 1
fi

work=$(mktemp -d /tmp/knxd-check.XXXXXX) || exit 1
cd "$work" || exit 1
sock=$work/knxd.sock
pids=
finish() {
    status=$?
    for pid in $pids; do kill "$pid" 2>/dev/null; done
    for pid in $pids; do wait "$pid" 2>/dev/null; done
    for log in bcusim knxd listen eibhost; do
        [ -f $log.log ] && { echo "--- $log output"; cat $log.log; }
    done
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

knxnet="--knxnet 127.0.0.1:0"
[ "$mode" = routing ] && knxnet="--knxnet-routing 224.0.23.12:3671 --knxnet-if 10.230.0.1"
# shellcheck disable=SC2086
"$bcusim" --line ./b1 $knxnet --ready-file ready "$scenario" >bcusim.log 2>&1 &
bcusim_pid=$!
pids="$pids $bcusim_pid"
await "bcusim ready" '[ -f ready ] || ! kill -0 $bcusim_pid 2>/dev/null'
kill -0 $bcusim_pid 2>/dev/null || fail "bcusim ended before it was ready"
link=ip:224.0.23.12:3671:knx0
if [ "$mode" != routing ]; then
    port=$(sed -n 's/^knxnet: tunnelling server on 127\.0\.0\.1:\([0-9][0-9]*\)$/\1/p' bcusim.log)
    [ -n "$port" ] || fail "bcusim did not say where its tunnelling server listens"
    link=ipt:127.0.0.1:$port
fi

# knxd: its own address 0.0.1, addresses for its clients from 0.0.2, a Unix
# socket for them, and the tunnel to bcusim (or routing on the veth). No -i
# (TCP); -S -T (the KNXnet/IP server with tunnelling) only in the namespace.
server=
[ "$mode" = server ] && server="-T -S"
# shellcheck disable=SC2086
knxd -e 0.0.1 -E 0.0.2:8 -u "$sock" $server -b "$link" >knxd.log 2>&1 &
knxd_pid=$!
pids="$pids $knxd_pid"
await "knxd's socket" '[ -S "$sock" ] || ! kill -0 $knxd_pid 2>/dev/null'
kill -0 $knxd_pid 2>/dev/null || fail "knxd ended"
if [ "$mode" = routing ]; then
    # bcusim's router and knxd both members of the group on the veth.
    await "knxd in the routing group" 'ip maddr show dev knx0 | grep -q "224\.0\.23\.12 users 2\$"'
else
    await "knxd's tunnel" 'grep -q "knxnet: tunnel [0-9]* (1\.1\.241) connected" bcusim.log'
fi

# knxd talks on loopback alone: no socket of its own on another address.
if [ "$mode" = client ] && command -v ss >/dev/null 2>&1; then
    outside=$(ss -H -a -n -p -t -u -w | grep "pid=$knxd_pid," | awk '{print $5}' | grep -v '^127\.' )
    [ -z "$outside" ] || fail "knxd has sockets beyond loopback: $outside"
fi

stdbuf -oL knxtool groupsocketlisten "local:$sock" >listen.log 2>&1 &
pids="$pids $!"

hostport=./b1 writer='1\.1\.250'
if [ "$mode" = server ]; then
    await "knxd's KNXnet/IP server" 'ss -H -u -a -n | grep -q ":3671 "'
    printf 'KNXD = knxip://127.0.0.1:3671\n' >ports
    export QELEIB_PORTS=$work/ports
    hostport=KNXD writer='0\.0\.[0-9]+'  # knxd's address for the driver's tunnel
elif [ "$mode" = routing ]; then
    printf 'KNXD = knxrouting://224.0.23.12:3671?if=10.230.0.1\n' >ports
    export QELEIB_PORTS=$work/ports
    hostport=KNXD writer='15\.15\.255'  # routing gives the driver no address of its own
fi
"$eibhost" --lines --port "$hostport" --script "$session" >eibhost.log 2>&1 &
eibhost_pid=$!
pids="$pids $eibhost_pid"

# 2. The driver's write of A_05/0001 = 77 (5/0/1, from the BCU 1.1.250 or the tunnel), seen through knxd.
await "the driver's write of 5/0/1 in knxtool's group monitor" \
    'grep -Eiq "write from $writer to 5/0/1: 4D" listen.log || ! kill -0 $eibhost_pid 2>/dev/null'
grep -Eiq "write from $writer to 5/0/1: 4D" listen.log || fail "eibhost ended before its write was seen"
echo "seen through knxd: $(grep -Ei "write from $writer to 5/0/1" listen.log | head -1)"

# 1. knxtool's write of 5/0/2 = 1 reaches the gate D_05/0002 (eibhost waits for it).
knxtool groupswrite "local:$sock" 5/0/2 1 || fail "knxtool groupswrite failed"

# 3. knxtool's read of 1/0/2: the hall dimmer (1.1.20) answers 128.
knxtool groupread "local:$sock" 1/0/2 || fail "knxtool groupread failed"
await "the dimmer's answer in knxtool's group monitor" 'grep -Eiq "response from 1\.1\.20 to 1/0/2: 80" listen.log'
echo "seen through knxd: $(grep -Ei "response from 1\.1\.20 to 1/0/2" listen.log | head -1)"

wait $eibhost_pid
status=$?
[ "$status" -eq 0 ] || fail "eibhost exited with $status (its gates did not get knxd's values)"
grep -Eq "1\.1\.24[0-9] -> 5/0/2 write 1 |0\.0\.[0-9]+ -> 5/0/2 write 1 " bcusim.log || fail "knxtool's write is not on the bus"
if [ "$mode" = server ]; then
    grep -q "KNXnet/IP tunnel to 127.0.0.1:3671 open" eibhost.log || fail "eibhost's log has no tunnel to knxd"
    # EndQel disconnected: knxd's one tunnel is gone, its link to bcusim stays.
    grep -q "KNXnet/IP" eibhost.log && echo "driver's tunnel: $(grep -m1 "KNXnet/IP tunnel" eibhost.log)"
fi
if [ "$mode" = routing ]; then
    grep -q "KNXnet/IP routing on 224.0.23.12:3671 open" eibhost.log || fail "eibhost's log has no routing"
    grep -q "15\.15\.255 -> 5/0/1 write 77 " bcusim.log || fail "the driver's write did not reach bcusim's router"
fi
echo "passed"
exit 0
