#!/bin/sh
# knxultimate on bcusim's KNXnet/IP server or router: peers/knxultimate_knxnet.js
# connects, writes 5/0/2 = 1, reads 1/0/2, waits for the answer and a
# device's write and disconnects; bcusim must show the write on the bus (and
# a tunnel come and go, its L_Data.con in knxultimate's log). MODE (default udp):
#   udp          plain tunnelling over UDP (TunnelUDP)
#   tcp-secure   TunnelTCP in a KNX IP Secure session (--knxnet-secure), user
#                2 and its password given directly
#   tcp-keyring  the same with the keyring bcusim wrote
#   routing      routing on 224.0.23.12:3671 (--knxnet-routing), multicast
#                routed over the namespace's veth
#   routing-secure  the same in KNX IP Secure routing (--knxnet-secure), the
#                backbone key from bcusim's keyring
# knxultimate binds to a non-loopback IPv4 interface only, so this runs in a
# network namespace of the check's own (unshare -n): a veth pair with both
# ends inside and 10.231.0.1/24 stands in for a network, and bcusim listens
# there with --knxnet-any-address (or routes there with --knxnet-if).
# Nothing leaves the namespace. Exits 77 (skipped) without node, the package
# (tools/bcusim/peers/install.sh puts it in build/peers) or namespaces
# (root), and on Windows.
# usage: knxultimate_knxnet_check.sh TARGET BCUSIM SCENARIO NODE_MODULES [MODE]
set -u
target=$1 bcusim=$2 scenario=$3 modules=$4 mode=${5:-udp}
here=$(cd "$(dirname "$0")" && pwd)
address=10.231.0.1

skip() {
    echo "skipped: $*"
    exit 77
}
case $mode in
udp | tcp-secure | tcp-keyring | routing | routing-secure) ;;
*) echo "unknown mode $mode"; exit 2 ;;
esac
[ "$target" = linux ] || skip "network namespaces: Linux only"
command -v node >/dev/null 2>&1 || skip "node is not installed"
[ -f "$modules/knxultimate/package.json" ] || skip "no knxultimate in $modules (run tools/bcusim/peers/install.sh)"

if [ -z "${QEL_KNXULTIMATE_NAMESPACE:-}" ]; then
    command -v unshare >/dev/null 2>&1 && command -v ip >/dev/null 2>&1 || skip "no unshare or ip for a network namespace"
    unshare -n true 2>/dev/null || skip "no network namespace can be made here (unshare -n needs root)"
    QEL_KNXULTIMATE_NAMESPACE=1 exec unshare -n sh "$0" "$@"
fi
ip link set lo up || exit 1
ip link add knx0 type veth peer name knx1 || exit 1
ip addr add $address/24 dev knx0 && ip link set knx1 up && ip link set knx0 up || exit 1
# Multicast goes out on the veth (and comes back by the sockets' loop).
case $mode in routing*) ip route add 224.0.0.0/4 dev knx0 || exit 1 ;; esac

work=$(mktemp -d /tmp/knxultimate-knxnet.XXXXXX) || exit 1
cd "$work" || exit 1
pids=
finish() {
    status=$?
    for pid in $pids; do kill "$pid" 2>/dev/null; done
    for pid in $pids; do wait "$pid" 2>/dev/null; done
    if [ "$status" -ne 0 ]; then
        for log in bcusim peer; do
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

case $mode in
udp) options="--knxnet $address:0 --knxnet-any-address" ;;
tcp-*) mkdir keys && options="--knxnet $address:0 --knxnet-any-address --knxnet-secure keys" ;;
routing) options="--knxnet-routing 224.0.23.12:3671 --knxnet-if $address" ;;
routing-secure) mkdir keys && options="--knxnet-routing 224.0.23.12:3671 --knxnet-if $address --knxnet-secure keys" ;;
esac
"$bcusim" --line ./b1 $options --ready-file ready "$scenario" >bcusim.log 2>&1 &
bcusim_pid=$!
pids="$pids $bcusim_pid"
tries=0
until [ -f ready ] || ! kill -0 $bcusim_pid 2>/dev/null; do
    tries=$((tries + 1))
    [ "$tries" -gt 600 ] && fail "bcusim not ready after 60 s"
    sleep 0.1
done
kill -0 $bcusim_pid 2>/dev/null || fail "bcusim ended before it was ready"
case $mode in
udp) line="tunnelling server on $address" ;;
tcp-*) line="tunnelling over TCP on $address" ;;
routing*) line="routing on 224\.0\.23\.12" ;;
esac
port=$(sed -n "s/^knxnet: $line:\([0-9][0-9]*\)\$/\1/p" bcusim.log)
[ -n "$port" ] || fail "bcusim did not say where it listens ($line)"
peer="$modules $mode $address $port"
case $mode in routing*) peer="$modules $mode 224.0.23.12 $port $address" ;; esac
[ "$mode" = tcp-keyring ] && peer="$peer $address $work/keys"
[ "$mode" = routing-secure ] && peer="$peer $work/keys"

# The peer ends by itself: 0 once it has seen everything, 1 after 60 s.
# LOG_LEVEL=debug: knxultimate logs each frame it sends and receives.
LOG_LEVEL=debug node "$here/peers/knxultimate_knxnet.js" $peer >peer.log 2>&1
status=$?
grep -E "^(connected|wrote|read|indication|passed|FAILED|disconnected|error)" peer.log
[ "$status" -eq 0 ] || fail "knxultimate's run ended with $status"
# knxultimate sends from its physAddr, 1.1.202, over UDP and routing; in a
# secure session from the tunnel's address, 1.1.241.
source=1\.1\.202
case $mode in tcp-*) source=1\.1\.241 ;; esac
grep -q "$source -> 5/0/2 write 1 " bcusim.log || fail "knxultimate's write is not on the bus"
echo "on the bus: $(grep -m1 "$source -> 5/0/2 write 1 " bcusim.log)"
if [ "$mode" = routing-secure ]; then
    # bcusim's secure router takes wrapped datagrams only, and knxultimate
    # logs what it opened as the plain frame inside.
    grep -q "KNX IP Secure routing, credentials" bcusim.log || fail "bcusim's router is not secure"
    wrapped=$(grep -c "TX 0950 SecureWrapper" peer.log)
    [ "$wrapped" -gt 0 ] || fail "knxultimate sent no SECURE_WRAPPER"
    echo "knxultimate sent $wrapped SECURE_WRAPPERs and $(grep -c "TX 0955 TimerNotify" peer.log) TIMER_NOTIFY (its debug log)"
fi
case $mode in routing*)
    # Its own datagrams come back by the loop from its port 3671; the rest
    # are bcusim's router's.
    echo "knxultimate received ROUTING_INDICATION from (its debug log):"
    sed -n 's/.*<incoming telegram>.*srcAddress:\([0-9.:]*\) .*service_type:ROUTING_INDICATION.*/\1/p' peer.log |
        sort | uniq -c
    echo "passed"
    exit 0
    ;;
esac
grep "^knxnet: \(tunnel\|secure session\) " bcusim.log
case $mode in
tcp-*) grep -q "^knxnet: secure session [0-9]*: user 2 authenticated$" bcusim.log ||
    fail "knxultimate's secure session was not authenticated" ;;
esac
# knxultimate takes the L_Data.con without an event: its debug log says so.
grep -q "Received KNX packet: TUNNELING: L_DATA_CON" peer.log || fail "knxultimate got no L_Data.con"
echo "knxultimate got L_Data.con: $(grep -c "Received KNX packet: TUNNELING: L_DATA_CON" peer.log)"
echo "knxultimate sent (its debug log) and received:"
sed -n 's/.*<outgoing telegram>: .*\(dstAddress: [^ ]*\) channelID:\([0-9]*\) npdu: \([A-Za-z]*\).*/  tunnelling request on channel \2: \3 \1/p' peer.log
sed -n 's/.*<incoming telegram>.*service_type:TUNNELING_REQUEST.* raw: \([0-9a-f]*\).*/  \1/p' peer.log | head -3
grep -q "^knxnet: tunnel [0-9]* (1\.1\.24[0-9]) disconnected by the client$" bcusim.log ||
    fail "knxultimate did not disconnect its tunnel"
echo "passed"
exit 0
