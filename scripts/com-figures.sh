#!/usr/bin/env bash
# Figures of the COM backend under Wine over a modem-line pty: builds what it
# needs (linux-i386: the preload library and the relay; windows-i686:
# com_figures), maps the COM ports in the Wine prefix, runs com_figures.
# Figures only, no thresholds; Wine's serial layer is in between. Then the
# same over the virtual line under Wine, for comparison.
#   scripts/com-figures.sh [com_figures options...]
set -euo pipefail
cd "$(dirname "$0")/.."

echo "== build"
[ -f build/linux-i386/build.ninja ] || cmake --preset linux-i386 >/dev/null
nice -n 10 cmake --build --preset linux-i386 -j2 --target qel_modem_lines qel_pty_bridge
cmake --preset windows-i686 >/dev/null
nice -n 10 cmake --build --preset windows-i686 -j2 --target com_figures qeleib huxtor

export WINEPREFIX="$PWD/build/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
scripts/wine-com-ports.sh build/windows-i686/com-links
# Wine's services start here, not in the run: they keep the output they start with.
wineboot -i >/dev/null 2>&1 || true
wineserver -p 600 || true

# The program reads its own threads' costs under /proc: it is told its pid.
run='export QEL_UNIX_PID=$$; exec wine build/windows-i686/bin/com_figures.exe "$@"'
echo "== run: COM port"
LD_PRELOAD="$PWD/build/linux-i386/tests/modem_lines/libqel_modem_lines.so" sh -c "$run" sh "$@"
echo "== run: virtual line"
sh -c "$run" sh "$@"
