#!/usr/bin/env bash
# Installs what building, testing and the demo need on a Debian machine, with
# apt-get: only what is missing, saying what ("== installing: ..."); nothing
# when all is there. Runs as root, or through sudo.
set -euo pipefail

packages=(cmake ninja-build g++ g++-multilib gcc-multilib googletest libtomlplusplus-dev
          g++-mingw-w64-i686-posix gcc-mingw-w64-i686-posix wine wine32:i386
          knxd knxd-tools gnuplot-nox clang-14 libclang-rt-14-dev
          valgrind libc6-dbg:i386 lib32asan8 lib32ubsan1)

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
# The i386 packages (32-bit libraries, wine32) need the architecture first.
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  "${sudo_cmd[@]}" dpkg --add-architecture i386
fi
"${sudo_cmd[@]}" apt-get update -qq
"${sudo_cmd[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
