#!/usr/bin/env bash
# The line benchmark: builds what it needs (linux-i386), runs bench/line_bench
# against the emulated BCU in real 9600-baud timing, and plots the listener's
# sweep. Figures only, no thresholds.
#
#   scripts/bench.sh [--short] [--out DIR] [--line virtual|pty|knxip|knxiptcp|knxipsecure|knxrouting|knxroutingsecure|ft12|ft12cemi] [line_bench options...]
#
# --line pty runs the driver's tty backend over a pseudo terminal with modem
# lines (the test preload library gives it RTS, DTR and CTS) instead of the
# virtual line. --line knxip runs bench/tunnel_bench instead: the driver's
# KNXnet/IP tunnel to the emulated bus's server, beside a bare client
# (knxiptcp: the driver's tunnel over TCP; knxipsecure: in a KNX IP Secure
# session, with its set-up time; knxrouting: routing beside a bare routing
# client, in a network namespace of its own, as the routing tests run;
# knxroutingsecure: KNX IP Secure routing);
# --line ft12 (ft12cemi) runs bench/ft12_bench: the driver's FT1.2 link to an
# emulated EMI2 (cEMI) interface, beside a bare FT1.2 client on the same bus.
# --short runs every scenario briefly (well under a minute), to show that it
# runs. Results: DIR (default build/bench): summary.md, results.csv,
# rates.csv, line_speed.png.
set -euo pipefail
cd "$(dirname "$0")/.."

out=build/bench
args=()
preload=()
tunnel=false
namespace=()
ft12=()
while (($#)); do
  case "$1" in
    --out) out=$2; shift 2 ;;
    --line) case $2 in
              knxip) tunnel=true ;;
              knxiptcp) tunnel=true; args+=(--tcp) ;;
              knxipsecure) tunnel=true; args+=(--secure) ;;
              knxrouting) tunnel=true; args+=(--routing); namespace=(sh tests/routing_namespace.sh) ;;
              knxroutingsecure) tunnel=true; args+=(--routing --secure); namespace=(sh tests/routing_namespace.sh) ;;
              ft12) ft12=(build/linux-i386/bench/ft12_bench) ;;
              ft12cemi) ft12=(build/linux-i386/bench/ft12_bench --cemi) ;;
              pty) args+=("$1" "$2"); preload=(env LD_PRELOAD="$PWD/build/linux-i386/tests/modem_lines/libqel_modem_lines.so") ;;
              *) args+=("$1" "$2") ;;
            esac
            shift 2 ;;
    *) args+=("$1"); shift ;;
  esac
done
mkdir -p "$out"

scripts/setup.sh bench

echo "== build (linux-i386)"
[ -f build/linux-i386/build.ninja ] || cmake --preset linux-i386 >/dev/null
nice -n 10 cmake --build --preset linux-i386 -j2 --target line_bench tunnel_bench ft12_bench qeleib huxtor bcusim qel_modem_lines

if ((${#ft12[@]})); then
  echo "== run (FT1.2)"
  exec "${ft12[@]}" --out "$out" "${args[@]}"
fi
if $tunnel; then
  echo "== run (KNXnet/IP tunnel)"
  exec "${namespace[@]}" build/linux-i386/bench/tunnel_bench --out "$out" "${args[@]}"
fi

echo "== run"
"${preload[@]}" build/linux-i386/bench/line_bench --out "$out" "${args[@]}"

if command -v gnuplot >/dev/null; then
  gnuplot -e "data='$out/rates'; output='$out/line_speed.png'" bench/line_speed.gp
  echo "== plot: $out/line_speed.png"
else
  echo "== no gnuplot (apt-get install gnuplot-nox): plot skipped"
fi
