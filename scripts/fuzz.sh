#!/usr/bin/env bash
# Builds the fuzz targets (clang 14, libFuzzer, ASan + UBSan, i386) and runs
# each for the given seconds (default 30), starting from the committed seeds
# in fuzz/corpus/<target>/; new inputs go to build/fuzz-i386/corpus/<target>/.
# Prints, per target, the executions, exec/s and coverage of libFuzzer's last
# lines; exits non-zero when a target found a crash, a leak or a time-out
# (the input is kept in build/fuzz-i386/artifacts/).
#   scripts/fuzz.sh [seconds] [target...]
set -uo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-30}
shift || true
build=build/fuzz-i386
targets=("$@")
# The tools' file readers (bcusim_scenario, eibhost_session) run when named.
((${#targets[@]})) || targets=(address_parser telnet_codec frame_reception knxnet_frames)

for tool in clang++-14 ninja; do
  command -v "$tool" >/dev/null || { echo "fuzz: $tool is missing (apt-get install clang-14 libclang-rt-14-dev ninja-build)"; exit 2; }
done
ls /usr/lib/llvm-14/lib/clang/*/lib/linux/libclang_rt.fuzzer-i386.a >/dev/null 2>&1 ||
  { echo "fuzz: the i386 libFuzzer runtime is missing (apt-get install libclang-rt-14-dev)"; exit 2; }

cmake -S fuzz -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/toolchain-linux-i386-clang.cmake" >/dev/null || exit 2
cmake --build "$build" -j2 --target $(printf '%s_fuzz ' "${targets[@]}") >/dev/null || exit 2

mkdir -p "$build/artifacts"
status=0
printf '%-18s %10s %8s %6s %6s %7s  %s\n' target execs exec/s cov ft corpus result
for t in "${targets[@]}"; do
  corpus="$build/corpus/$t"
  mkdir -p "$corpus"
  dict=(); [ -f "fuzz/$t.dict" ] && dict=(-dict="fuzz/$t.dict")
  log="$build/$t.log"
  # -timeout: one input taking 10 s is a hang; rss_limit: the 32-bit address space.
  "$build/${t}_fuzz" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
      -artifact_prefix="$build/artifacts/$t-" "${dict[@]}" "$corpus" "fuzz/corpus/$t" >"$log" 2>&1
  rc=$?
  last=$(grep -E '^#[0-9]+' "$log" | tail -1)
  execs=$(grep -oP '^stat::number_of_executed_units:\s*\K[0-9]+' "$log" || echo "?")
  rate=$(grep -oP '^stat::average_exec_per_sec:\s*\K[0-9]+' "$log" || echo "?")
  cov=$(grep -oP 'cov: \K[0-9]+' <<<"$last" || echo "?")
  ft=$(grep -oP 'ft: \K[0-9]+' <<<"$last" || echo "?")
  units=$(grep -oP 'corp: \K[0-9]+' <<<"$last" || echo "?")
  result=ok
  if [ $rc -ne 0 ]; then
    result="FAILED (rc $rc, see $log)"
    status=1
    grep -E 'ERROR|SUMMARY|invariant broken|Test unit written' "$log" | head -5 | sed 's/^/    /'
  fi
  printf '%-18s %10s %8s %6s %6s %7s  %s\n' "$t" "$execs" "$rate" "$cov" "$ft" "$units" "$result"
done
exit $status
