#!/bin/sh
# Installs the pinned knxultimate (with its serialport, prebuilt for linux
# x64) into build/peers/node_modules, outside git, for the CTest
# bcusim.knxultimate_ft12. Run as yourself, not root.
set -eu
root=$(cd "$(dirname "$0")/../../.." && pwd)
mkdir -p "$root/build/peers"
npm install --prefix "$root/build/peers" --no-save --no-audit --no-fund knxultimate@5.4.0
