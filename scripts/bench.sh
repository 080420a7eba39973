#!/usr/bin/env bash
# The line benchmark: builds what it needs (linux-i386), runs bench/line_bench
# against the emulated BCU in real 9600-baud timing, and plots the listener's
# sweep. Figures only, no thresholds.
#
#   scripts/bench.sh [--short] [--out DIR] [--line virtual|pty|knxip] [line_bench options...]
#
# --line pty runs the driver's tty backend over a pseudo terminal with modem
# lines (the test preload library gives it RTS, DTR and CTS) instead of the
# virtual line. --line knxip runs bench/tunnel_bench instead: the driver's
# KNXnet/IP tunnel to the emulated bus's server, beside a bare client.
# --short runs every scenario briefly (well under a minute), to show that it
# runs. Results: DIR (default build/bench): summary.md, results.csv,
# rates.csv, line_speed.png.
set -euo pipefail
cd "$(dirname "$0")/.."

out=build/bench
args=()
preload=()
tunnel=false
while (($#)); do
  case "$1" in
    --out) out=$2; shift 2 ;;
    --line) [ "$2" = knxip ] || { args+=("$1" "$2"); [ "$2" = pty ] && preload=(env LD_PRELOAD="$PWD/build/linux-i386/tests/modem_lines/libqel_modem_lines.so"); }
            [ "$2" = knxip ] && tunnel=true; shift 2 ;;
    *) args+=("$1"); shift ;;
  esac
done
mkdir -p "$out"

scripts/setup.sh bench

echo "== build (linux-i386)"
[ -f build/linux-i386/build.ninja ] || cmake --preset linux-i386 >/dev/null
nice -n 10 cmake --build --preset linux-i386 -j2 --target line_bench tunnel_bench qeleib huxtor bcusim qel_modem_lines

if $tunnel; then
  echo "== run (KNXnet/IP tunnel)"
  exec build/linux-i386/bench/tunnel_bench --out "$out" "${args[@]}"
fi

echo "== run"
"${preload[@]}" build/linux-i386/bench/line_bench --out "$out" "${args[@]}"

if command -v gnuplot >/dev/null; then
  gnuplot -e "data='$out/rates'; output='$out/line_speed.png'" bench/line_speed.gp
  echo "== plot: $out/line_speed.png"
else
  echo "== no gnuplot (apt-get install gnuplot-nox): plot skipped"
fi
