#!/usr/bin/env bash
# Soak run: the shipped library on an emulated line in real 9600-baud timing at
# the line's capacity, reads and writes mixed in, EndQel/ColdStart at random
# moments. Default 60 s (CI); one hour on demand: scripts/soak.sh 3600.
# Further arguments go to the program (--seed N, --cycle-min S, --cycle-max S,
# --no-end-during-read). Exit status non-zero when the driver lost telegrams,
# memory or descriptors grew, or a start or stop failed.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
shift || true
preset=${QEL_SOAK_PRESET:-linux-i386}
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset" --target qel_soak >/dev/null
exec "build/$preset/soak/qel_soak" --seconds "$seconds" "$@"
