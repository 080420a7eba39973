#!/usr/bin/env bash
# The archives' checks (the test command's `package` check): builds both
# (scripts/package.sh), then checks each against its .sha256, that the zip's
# qeleib.dll exports QelMain alone, and that eibhost from the unpacked Linux
# archive, in a temporary folder, runs the demo session against bcusim from
# the same archive and loads the archive's own libraries. One line per check;
# exit status non-zero when any failed.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$PWD
out=$root/build/packages

rm -rf "$out"
scripts/package.sh "$out" || exit 1
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build/linux-i386/CMakeCache.txt)
zip=$out/qeleib-$version-windows-i686.zip
tgz=$out/qeleib-$version-linux-i386.tar.gz

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
status=0
Report() {  # name, then the command
  local name=$1
  shift
  if "$@" >"$work/$name.log" 2>&1; then
    echo "package: ok $name"
  else
    echo "package: FAILED $name"
    sed 's/^/    /' "$work/$name.log" | tail -n 40
    status=1
  fi
}

Checksums() {
  cd "$out" && sha256sum -c "$(basename "$zip").sha256" "$(basename "$tgz").sha256"
}

ZipExports() {
  mkdir "$work/zip" && cd "$work/zip" && cmake -E tar xf "$zip" &&
    cmake -DLIBRARY="$work/zip/qeleib-$version-windows-i686/qeleib.dll" -DTOOL=i686-w64-mingw32-objdump -DKIND=pe \
          -P "$root/tests/exports_check.cmake"
}

# The demo as scripts/demo.sh runs it, with the archive's programs and files
# only; eibhost says which libraries it loaded, and the driver's ColdStart
# line gives the version in the archive's name.
ArchiveDemo() {
  mkdir "$work/tgz" && cd "$work/tgz" && cmake -E tar xf "$tgz" || return 1
  local pkg=$work/tgz/qeleib-$version-linux-i386
  local escaped major=${version%%.*}
  escaped=$(printf '%s' "$pkg" | sed 's/[.[\*^$]/\\&/g')
  [ ${#major} -ge 2 ] || major=0$major
  EIBHOST_EXPECT="^eibhost: driver $escaped/bin/\.\./lib/libqeleib\.so\$&&^eibhost: script passed\$&&ColdStart\(\) entered, Version: $major\.${version#*.}\$" \
    sh "$root/tools/eibhost/run_with_bcusim.sh" "" "$pkg/bin/bcusim" "$pkg/scenarios/building.toml" \
       '1\.1\.25[0-9] -> ' ./b1 "$pkg/bin/eibhost" --script "$pkg/examples/building_demo.toml"
}

Report checksums Checksums
Report zip_exports_qelmain_alone ZipExports
Report linux_archive_demo ArchiveDemo
exit $status
