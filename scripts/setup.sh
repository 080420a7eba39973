#!/usr/bin/env bash
# Installs what the calling command needs on a Debian machine, with apt-get:
# only what is missing, saying what ("== installing: ..."); nothing when all
# is there. Runs as root, or through sudo.
#   scripts/setup.sh demo    the Linux build (scripts/demo.sh)
#   scripts/setup.sh bench   the Linux build and the plot (scripts/bench.sh)
#   scripts/setup.sh package both builds (scripts/package.sh)
#   scripts/setup.sh test    everything the test command runs (scripts/test.sh, the default)
set -euo pipefail

# The Linux build: 32-bit compilers, CMake, Ninja, toml++ (bcusim, eibhost),
# and googletest, which configuring the linux-i386 preset needs.
linux_build=(cmake ninja-build g++ g++-multilib gcc-multilib libtomlplusplus-dev googletest)
# The Windows build: MinGW-w64, and Wine, which its preset names as the
# programs' runner.
windows_build=(g++-mingw-w64-i686-posix gcc-mingw-w64-i686-posix wine)

word=${1:-test}
case $word in
  demo)
    packages=("${linux_build[@]}") ;;
  bench)
    packages=("${linux_build[@]}" gnuplot-nox) ;;
  package)
    packages=("${linux_build[@]}" "${windows_build[@]}") ;;
  test)
    # The Windows leg (MinGW, Wine), the tools' tests (knxd), the ser2net
    # run, the short checks (clang's libFuzzer, valgrind, gnuplot) and the
    # sanitizer leg.
    packages=("${linux_build[@]}" "${windows_build[@]}" wine32:i386
              knxd knxd-tools ser2net gnuplot-nox clang-14 libclang-rt-14-dev
              valgrind libc6-dbg:i386 lib32asan8 lib32ubsan1) ;;
  *)
    echo "usage: scripts/setup.sh [demo|bench|package|test]" >&2
    exit 2 ;;
esac

missing=()
for p in "${packages[@]}"; do
  # dpkg -s also lists removed packages whose configuration is kept: ask for
  # the installed state itself.
  state=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
  [ "$state" = "install ok installed" ] || missing+=("$p")
done
((${#missing[@]})) || exit 0

echo "== installing: ${missing[*]}"
sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then
  command -v sudo >/dev/null || { echo "setup: need root or sudo to install: ${missing[*]}" >&2; exit 1; }
  sudo_cmd=(sudo)
fi
# Only the i386 packages (wine32, the debug C library) need the architecture;
# adding it for the others would only fetch a second set of package lists.
if [[ " ${missing[*]}" == *":i386"* ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
  "${sudo_cmd[@]}" dpkg --add-architecture i386
fi
# The demo's build needs no recommended package; the others keep them (Wine
# relies on some, the benchmark's plot on a font).
recommends=()
[ "$word" != demo ] || recommends=(--no-install-recommends)
"${sudo_cmd[@]}" apt-get update -qq
"${sudo_cmd[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${recommends[@]}" "${missing[@]}" >/dev/null
