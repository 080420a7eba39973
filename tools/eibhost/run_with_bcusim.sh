#!/bin/sh
# Runs eibhost against a bcusim bus: starts bcusim in a fresh directory, waits
# for its ready file, runs eibhost there, and checks eibhost's status and,
# optionally, that bcusim's output matches a pattern (what crossed the bus).
# usage: run_with_bcusim.sh EMULATOR BCUSIM SCENARIO BUS_PATTERN LINES EIBHOST ARGS...
#   EMULATOR: "" or wine; BUS_PATTERN: "" or an extended regular expression;
#   LINES: the endpoints bcusim serves, separated by spaces.
# From the environment, optional checks of eibhost's standard output:
#   EIBHOST_LINES   an extended regular expression every line must match;
#   EIBHOST_EXPECT  extended regular expressions, separated by "&&", each of
#                   which some line must match.
set -u
emulator=$1 bcusim=$2 scenario=$3 bus_pattern=$4 lines=$5 eibhost=$6
shift 6
line_args=
for line in $lines; do line_args="$line_args --line $line"; done

work=$(mktemp -d)
cd "$work" || exit 1
$emulator "$bcusim" $line_args --ready-file ready "$scenario" >bcusim.log 2>&1 &
bcusim_pid=$!
finish() {
    kill "$bcusim_pid" 2>/dev/null
    wait "$bcusim_pid" 2>/dev/null
    echo "--- bcusim output"
    cat bcusim.log
    cd / && rm -rf "$work"
}
trap finish EXIT

tries=0
while [ ! -f ready ]; do
    if ! kill -0 "$bcusim_pid" 2>/dev/null; then
        echo "bcusim ended before it was ready"
        exit 1
    fi
    tries=$((tries + 1))
    [ "$tries" -gt 600 ] && { echo "bcusim not ready after 60 s"; exit 1; }
    sleep 0.1
done

$emulator "$eibhost" --lines "$@" >eibhost.out
status=$?
cat eibhost.out
if [ "$status" -ne 0 ]; then
    echo "eibhost exited with $status"
    exit 1
fi
# Wine writes CR LF.
tr -d '\r' <eibhost.out >eibhost.txt
if [ -n "${EIBHOST_LINES:-}" ] && grep -Evq "$EIBHOST_LINES" eibhost.txt; then
    echo "eibhost printed a line that does not match: $EIBHOST_LINES"
    exit 1
fi
rest=${EIBHOST_EXPECT:-}
while [ -n "$rest" ]; do
    pattern=${rest%%&&*}
    case $rest in *"&&"*) rest=${rest#*&&} ;; *) rest= ;; esac
    if ! grep -Eq "$pattern" eibhost.txt; then
        echo "eibhost's output lacks: $pattern"
        exit 1
    fi
done
if [ -n "$bus_pattern" ] && ! grep -Eq "$bus_pattern" bcusim.log; then
    echo "bcusim's output lacks: $bus_pattern"
    exit 1
fi
exit 0
