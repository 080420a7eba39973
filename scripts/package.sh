#!/usr/bin/env bash
# Builds the site archives of both targets:
#   build/packages/qeleib-VERSION-linux-i386.tar.gz    libqeleib.so, libhuxtor.so, eibhost, bcusim
#   build/packages/qeleib-VERSION-windows-i686.zip     qeleib.dll, HUXTOR.dll, eibhost.exe, bcusim.exe, demo.cmd
# each with the scenario, the sessions, a site README and a .sha256 beside it.
# VERSION is the driver's own (src/instance/driver_version.h). Builds only
# what the archives hold.
#   scripts/package.sh [DIR]    the archives to DIR instead
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh package
out=$(mkdir -p "${1:-build/packages}" && cd "${1:-build/packages}" && pwd)
log=$(mktemp)
trap 'rm -f "$log"' EXIT
# Runs a step with its output in the log, shown only when it fails.
Step() {
  "$@" >>"$log" 2>&1 || { tail -n 40 "$log"; echo "package: failed: $*" >&2; exit 1; }
}
for preset in linux-i386 windows-i686; do
  echo "== $preset: build and package"
  Step cmake --preset "$preset"
  Step cmake --build --preset "$preset" --target qeleib huxtor eibhost bcusim
  # CPack stages the files below the output folder; only the archives stay.
  Step cpack --config "build/$preset/CPackConfig.cmake" -B "$out"
done
rm -rf "$out/_CPack_Packages"
grep -E '^CPack: - (package|checksum)' "$log"
