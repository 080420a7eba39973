#!/bin/sh
# knxultimate's SerialFT12 transport on bcusim's emulated cEMI FT1.2
# interface over a pty (no modem lines: its failure to set DTR on a pty is
# only a warning): peers/knxultimate_ft12.js writes 5/0/2 = 1, reads 1/0/2
# and waits for the answer and a device's write; bcusim must show the write
# on the bus and the switch to link-layer mode. The frames knxultimate sent
# are printed. Exits 77 (skipped) without node or the package
# (tools/bcusim/peers/install.sh puts it in build/peers), and on Windows.
# usage: knxultimate_ft12_check.sh TARGET BCUSIM SCENARIO NODE_MODULES
set -u
target=$1 bcusim=$2 scenario=$3 modules=$4
here=$(cd "$(dirname "$0")" && pwd)

skip() {
    echo "skipped: $*"
    exit 77
}
[ "$target" = linux ] || skip "pseudo terminals and node's serialport: Linux only"
command -v node >/dev/null 2>&1 || skip "node is not installed"
[ -f "$modules/knxultimate/package.json" ] || skip "no knxultimate in $modules (run tools/bcusim/peers/install.sh)"

work=$(mktemp -d /tmp/knxultimate-ft12.XXXXXX) || exit 1
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

"$bcusim" --pty --ft12 cemi --line "$work/b1" --ready-file ready "$scenario" >bcusim.log 2>&1 &
bcusim_pid=$!
pids="$pids $bcusim_pid"
tries=0
until [ -f ready ] || ! kill -0 $bcusim_pid 2>/dev/null; do
    tries=$((tries + 1))
    [ "$tries" -gt 600 ] && fail "bcusim not ready after 60 s"
    sleep 0.1
done
kill -0 $bcusim_pid 2>/dev/null || fail "bcusim ended before it was ready"

# The peer ends by itself: 0 once it has seen both indications, 1 after 60 s.
# LOG_LEVEL=debug: its FT1.2 transport logs each frame it sends and receives.
LOG_LEVEL=debug node "$here/peers/knxultimate_ft12.js" "$modules" "$work/b1" >peer.log 2>&1
status=$?
grep -v "FT1.2 " peer.log
[ "$status" -eq 0 ] || fail "knxultimate's run ended with $status"
grep -q "^line 1 ft12: link layer$" bcusim.log || fail "knxultimate's M_PropWrite did not switch to link-layer mode"
grep -q "1\.1\.201 -> 5/0/2 write 1 " bcusim.log || fail "knxultimate's write is not on the bus"
echo "on the bus: $(grep -m1 "1\.1\.201 -> 5/0/2 write 1 " bcusim.log)"
echo "knxultimate sent:"
sed -n 's/.*FT1.2 → RESET_REQ \([0-9a-f ]*\) (attempt.*/  \1/p; s/.*FT1.2 TX frame \([0-9a-f]*\).*/  \1/p' peer.log | head -6
echo "passed"
exit 0
