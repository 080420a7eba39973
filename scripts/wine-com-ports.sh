#!/usr/bin/env bash
# Maps COM40..COM49 in the Wine prefix ($WINEPREFIX) to links in LINK_DIR, so
# that the Windows leg's tests reach pseudo terminals with modem lines through
# the COM backend (tests/support/win32/pty_line_win32.cpp makes the links).
# Wine makes the mapping when its services start: the wineserver is ended
# here, and the next Wine program starts it again.
#   scripts/wine-com-ports.sh LINK_DIR
set -euo pipefail
dir=$(realpath -m "$1")
mkdir -p "$dir"
for n in $(seq 40 49); do
  wine reg add 'HKLM\Software\Wine\Ports' /v "COM$n" /d "$dir/com$n" /f >/dev/null 2>&1
done
wineserver -k || true
wineserver -w
