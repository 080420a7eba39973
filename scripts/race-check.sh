#!/usr/bin/env bash
# Runs end-to-end tests under valgrind's helgrind on the linux-i386 build and
# reports the data races it finds, with scripts/helgrind.supp applied (every
# entry there says why it is not a race).
#   scripts/race-check.sh            one short end-to-end test (CI)
#   scripts/race-check.sh all        every end-to-end test but the stress run (slow)
#   scripts/race-check.sh FILTER     the tests a --gtest_filter pattern names
# Exit status non-zero when helgrind reported anything not suppressed.
set -uo pipefail
cd "$(dirname "$0")/.."

filter=${1:-Delivery.EachSizeReachesItsGate}
[ "$filter" = all ] && filter='-Stress.*'
command -v valgrind >/dev/null || { echo "race-check: valgrind is missing (apt-get install valgrind libc6-dbg:i386)"; exit 2; }

cmake --preset linux-i386 >/dev/null || exit 2
cmake --build --preset linux-i386 --target e2e_tests >/dev/null || exit 2

out=build/linux-i386/race-check
mkdir -p "$out"
log="$out/helgrind.log"
# Each test is a process of its own, so one report names one test.
tests=$(build/linux-i386/tests/e2e_tests --gtest_list_tests --gtest_filter="$filter" |
        awk '/^[^ ]/ { suite = $1 } /^  / { print suite $1 }')
: >"$log"
status=0
for t in $tests; do
  valgrind --tool=helgrind --suppressions=scripts/helgrind.supp --error-exitcode=3 --gen-suppressions=all \
           --history-level=full --conflict-cache-size=2000000 --num-callers=30 \
           build/linux-i386/tests/e2e_tests --gtest_filter="$t" >"$out/$t.log" 2>&1
  rc=$?
  errors=$(grep -oP 'ERROR SUMMARY: \K[0-9]+' "$out/$t.log" | tail -1)
  gtest=$(grep -E '^\[  (PASSED|FAILED) ' "$out/$t.log" | tail -1 | awk '{print $2}')
  printf '%-70s helgrind errors %-4s test %s\n' "$t" "${errors:-?}" "${gtest:-?}" | tee -a "$log"
  [ "$rc" -eq 0 ] || status=1
done
echo "race-check: per-test logs in $out/"
exit $status
