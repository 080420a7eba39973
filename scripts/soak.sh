#!/usr/bin/env bash
# Soak run: the shipped library on a link to an emulated bus in real 9600-baud
# timing at the link's capacity, reads and writes mixed in, EndQel/ColdStart at
# random moments. The link: line (default; the emulated BCU's virtual line),
# pty (the same BCU on a pseudo terminal through the tty backend) or knxip (a
# KNXnet/IP tunnel to the emulated server, which also restarts and closes the
# tunnel at random moments). Default 60 s (CI); one hour on demand:
#   scripts/soak.sh [--link line|pty|knxip] [SECONDS] [program options]
# e.g. scripts/soak.sh 3600, scripts/soak.sh --link knxip 3600 --seed 7.
# Further arguments go to the program (--seed N, --cycle-min S, --cycle-max S,
# --disrupt-min S, --disrupt-max S, --no-end-during-read; see soak/soak_main.cpp).
# Exit status non-zero when the driver lost telegrams, memory, descriptors or
# threads grew, or a start or stop failed. docs/soak.md says what each line means.
set -euo pipefail
cd "$(dirname "$0")/.."
link=line
if [ "${1:-}" = --link ]; then
    link=${2:?--link needs line, pty or knxip}
    shift 2
fi
seconds=60
if [[ "${1:-}" =~ ^[0-9]+$ ]]; then
    seconds=$1
    shift
fi
preset=${QEL_SOAK_PRESET:-linux-i386}
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset" --target qel_soak >/dev/null
exec "build/$preset/soak/qel_soak" --link "$link" --seconds "$seconds" "$@"
