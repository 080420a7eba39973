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
# googletest, which configuring the linux-i386 preset needs, and the 32-bit
# libcrypto that KNX IP Secure is built on.
linux_build=(cmake ninja-build g++ g++-multilib gcc-multilib libtomlplusplus-dev googletest libssl-dev:i386)
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

sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo); fi
AsRoot() {
  if ((${#sudo_cmd[@]})) && ! command -v sudo >/dev/null; then
    echo "setup: need root or sudo for: $*" >&2
    exit 1
  fi
  "${sudo_cmd[@]}" "$@"
}

# Installs the named packages that are missing, saying which.
Install() {
  local missing=() p state
  for p in "$@"; do
    # dpkg -s also lists removed packages whose configuration is kept: ask for
    # the installed state itself.
    state=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
    [ "$state" = "install ok installed" ] || missing+=("$p")
  done
  ((${#missing[@]})) || return 0
  echo "== installing: ${missing[*]}"
  # Only the i386 packages (wine32, the debug C library) need the architecture;
  # adding it for the others would only fetch a second set of package lists.
  if [[ " ${missing[*]}" == *":i386"* ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
    AsRoot dpkg --add-architecture i386
  fi
  UpdateIndexes
  # The demo's build needs no recommended package; the others keep them (Wine
  # relies on some, the benchmark's plot on a font).
  local recommends=()
  [ "$word" != demo ] || recommends=(--no-install-recommends)
  local install=(env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${recommends[@]}" "${missing[@]}")
  # With an index missing, a suite's packages of one architecture may not
  # match the other's (i386 beside amd64): then without that suite.
  if ! AsRoot "${install[@]}" >"$apt_log" 2>&1 &&
     ! { [ -n "$failed_index" ] && AsRoot "${install[@]}" $(WithoutFailedSuite) >"$apt_log" 2>&1; }; then
    grep -E '^(E|W):' "$apt_log" >&2 || tail -n 5 "$apt_log" >&2
    echo "setup: could not install: ${missing[*]}${failed_index:+ (package index that failed: $failed_index)}" >&2
    exit 1
  fi
}

# apt-get update, tried again while an index fails (a mirror mid-sync serves
# one index of the wrong size for hours): then the lists already there are
# used, and only a package that cannot be installed ends the setup.
updated=
failed_index=
UpdateIndexes() {
  [ -z "$updated" ] || return 0
  updated=1
  local try
  for try in 1 2 3; do
    if AsRoot apt-get update -qq >"$apt_log" 2>&1 && ! grep -q '^E:' "$apt_log"; then
      failed_index=
      return 0
    fi
    failed_index=$(sed -nE 's/^E: Failed to fetch ([^ ]+).*/\1/p' "$apt_log" | head -n 1)
    failed_index=${failed_index:-$(grep -m1 '^E:' "$apt_log" || true)}
    [ "$try" -eq 3 ] || sleep $((try * 5))
  done
  echo "setup: apt-get update failed 3 times ($failed_index); going on with the package lists there are"
}

# apt options for a source list without the suite whose index failed (a
# folder of sources made for this run).
WithoutFailedSuite() {
  local base=${failed_index%%/dists/*} suite=${failed_index#*/dists/} parts
  suite=${suite%%/*}
  parts=$apt_log.sources
  mkdir -p "$parts"
  local f
  for f in /etc/apt/sources.list.d/*.sources; do
    [ -e "$f" ] || continue
    awk -v base="$base" -v suite="$suite" 'BEGIN { RS = ""; ORS = "\n\n" }
      !(index($0, base) && index($0, suite))' "$f" >"$parts/$(basename "$f")"
  done
  for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
    [ -e "$f" ] || continue
    awk -v base="$base" -v suite="$suite" '!(index($0, base) && index($0, suite))' "$f" \
      >"$parts/$(basename "$f" .list).list"
  done
  echo "-o Dir::Etc::SourceList=/dev/null -o Dir::Etc::SourceParts=$parts"
}

# Whether this kernel runs i386 programs; where it does not (ENOEXEC: no IA-32
# emulation), qemu-user runs them, registered through binfmt_misc with the F
# flag so that namespaces and chroots see it too. The registration lasts
# until the next boot.
qemu_magic='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
qemu_mask='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
Runs32Bit() {
  local dir rc=0
  dir=$(mktemp -d)
  printf 'int main(void) { return 0; }\n' >"$dir/probe.c"
  gcc -m32 -o "$dir/probe" "$dir/probe.c" 2>/dev/null && "$dir/probe" 2>/dev/null || rc=$?
  rm -rf "$dir"
  return $rc
}
EnsureRuns32Bit() {
  Runs32Bit && return 0
  echo "== this kernel runs no 32-bit programs (no IA-32 emulation): running them under qemu-user"
  Install qemu-user-static
  local binfmt=/proc/sys/fs/binfmt_misc
  [ -e "$binfmt/register" ] || AsRoot mount -t binfmt_misc binfmt_misc "$binfmt"
  if [ ! -e "$binfmt/qemu-i386" ]; then
    printf ':qemu-i386:M::%s:%s:/usr/bin/qemu-i386-static:F\n' "$qemu_magic" "$qemu_mask" |
      AsRoot tee "$binfmt/register" >/dev/null
  fi
  AsRoot sh -c "echo 1 >$binfmt/qemu-i386"
  Runs32Bit || { echo "setup: 32-bit programs do not run, even under qemu-user" >&2; exit 1; }
}

apt_log=$(mktemp)
trap 'rm -rf "$apt_log" "$apt_log.sources"' EXIT
Install "${packages[@]}"
EnsureRuns32Bit
