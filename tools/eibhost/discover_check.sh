#!/bin/sh
# eibhost --discover against bcusim's KNXnet/IP server on loopback: starts
# bcusim with --knxnet 127.0.0.1:0, searches its port by unicast and checks
# the one line eibhost lists, letter for letter.
# usage: discover_check.sh EMULATOR BCUSIM EIBHOST
#   EMULATOR: "" or wine
set -u
emulator=$1 bcusim=$2 eibhost=$3

work=$(mktemp -d) || exit 1
cd "$work" || exit 1
$emulator "$bcusim" --knxnet 127.0.0.1:0 --ready-file ready >bcusim.log 2>&1 &
bcusim_pid=$!
finish() {
    status=$?
    kill "$bcusim_pid" 2>/dev/null
    wait "$bcusim_pid" 2>/dev/null
    [ "$status" -eq 0 ] || { echo "--- bcusim output"; cat bcusim.log; }
    cd / && rm -rf "$work"
    exit $status
}
trap finish EXIT
trap 'exit 1' INT TERM

tries=0
until [ -f ready ]; do
    kill -0 "$bcusim_pid" 2>/dev/null || { echo "bcusim ended before it was ready"; exit 1; }
    tries=$((tries + 1))
    [ "$tries" -gt 600 ] && { echo "bcusim not ready after 60 s"; exit 1; }
    sleep 0.1
done
port=$(tr -d '\r' <bcusim.log | sed -n 's/^knxnet: tunnelling server on 127\.0\.0\.1:\([0-9][0-9]*\)$/\1/p')
[ -n "$port" ] || { echo "bcusim did not say where its server listens"; exit 1; }

$emulator "$eibhost" --discover "127.0.0.1:$port" >eibhost.out 2>&1
status=$?
tr -d '\r' <eibhost.out >eibhost.txt
cat eibhost.txt
[ "$status" -eq 0 ] || { echo "eibhost exited with $status"; exit 1; }
expected="bcusim | 127.0.0.1:$port | 1.1.240 | 00FA:00000001 | tunnelling"
[ "$(cat eibhost.txt)" = "$expected" ] || { echo "expected exactly: $expected"; exit 1; }
echo "passed"
