#!/bin/sh
# knxultimate's plain KNXnet/IP tunnelling over UDP (TunnelUDP) on bcusim's
# server: peers/knxultimate_knxnet.js connects, writes 5/0/2 = 1, reads
# 1/0/2, waits for the answer and a device's write and disconnects; bcusim must show the write on the bus and the
# tunnel come and go. knxultimate binds to a non-loopback IPv4 interface
# only, so this runs in a network namespace of the check's own (unshare -n):
# a veth pair with both ends inside and 10.231.0.1/24 stands in for a
# network, and bcusim listens there with --knxnet-any-address. Nothing
# leaves the namespace. Exits 77 (skipped) without node, the package
# (tools/bcusim/peers/install.sh puts it in build/peers) or namespaces
# (root), and on Windows.
# usage: knxultimate_knxnet_check.sh TARGET BCUSIM SCENARIO NODE_MODULES
set -u
target=$1 bcusim=$2 scenario=$3 modules=$4
here=$(cd "$(dirname "$0")" && pwd)
address=10.231.0.1

skip() {
    echo "skipped: $*"
    exit 77
}
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

"$bcusim" --line ./b1 --knxnet $address:0 --knxnet-any-address --ready-file ready "$scenario" >bcusim.log 2>&1 &
bcusim_pid=$!
pids="$pids $bcusim_pid"
tries=0
until [ -f ready ] || ! kill -0 $bcusim_pid 2>/dev/null; do
    tries=$((tries + 1))
    [ "$tries" -gt 600 ] && fail "bcusim not ready after 60 s"
    sleep 0.1
done
kill -0 $bcusim_pid 2>/dev/null || fail "bcusim ended before it was ready"
port=$(sed -n "s/^knxnet: tunnelling server on $address:\([0-9][0-9]*\)\$/\1/p" bcusim.log)
[ -n "$port" ] || fail "bcusim did not say where its tunnelling server listens"

# The peer ends by itself: 0 once it has seen everything, 1 after 60 s.
# LOG_LEVEL=debug: knxultimate logs each frame it sends and receives.
LOG_LEVEL=debug node "$here/peers/knxultimate_knxnet.js" "$modules" $address "$port" >peer.log 2>&1
status=$?
grep -E "^(connected|wrote|read|indication|passed|FAILED|disconnected|error)" peer.log
[ "$status" -eq 0 ] || fail "knxultimate's run ended with $status"
# knxultimate sends from its physAddr, 1.1.202, not from the tunnel's address.
grep -q "1\.1\.202 -> 5/0/2 write 1 " bcusim.log || fail "knxultimate's write is not on the bus"
echo "on the bus: $(grep -m1 "1\.1\.202 -> 5/0/2 write 1 " bcusim.log)"
grep "^knxnet: tunnel " bcusim.log
echo "knxultimate sent (its debug log) and received:"
sed -n 's/.*<outgoing telegram>: .*\(dstAddress: [^ ]*\) channelID:\([0-9]*\) npdu: \([A-Za-z]*\).*/  tunnelling request on channel \2: \3 \1/p' peer.log
sed -n 's/.*<incoming telegram>.*service_type:TUNNELING_REQUEST.* raw: \([0-9a-f]*\).*/  \1/p' peer.log | head -3
grep -q "^knxnet: tunnel [0-9]* (1\.1\.24[0-9]) disconnected by the client$" bcusim.log ||
    fail "knxultimate did not disconnect its tunnel"
echo "passed"
exit 0
