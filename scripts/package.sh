#!/usr/bin/env bash
# Builds the Debian package qor-mdu from this tree with Debian's own tools
# (dpkg-buildpackage, debhelper) and checks it with lintian. Installs what
# the build needs first. The package lands in out/package/:
#
#   scripts/package.sh            # prints the path of the .deb
#   sudo apt-get install ./out/package/qor-mdu_*.deb
#
# QOR_PACKAGE_LINTIAN=0 skips lintian. Any lintian error fails the script.
set -euo pipefail
cd "$(dirname "$0")/.."
here="$PWD"
. scripts/deps.sh
# shellcheck disable=SC2086
qor_install_packages $qor_packages $qor_package_packages

out="$here/out/package"
work="$out/build"
version=$(dpkg-parsechangelog -l debian/changelog -S Version)
rm -rf "$work"
mkdir -p "$work/qor-mdu-$version"
# A copy of the sources only: dpkg-buildpackage writes beside the tree and
# into debian/, and the developer's build trees have no place in it.
tar -C "$here" --exclude=./.git --exclude='./build*' --exclude=./out \
  --exclude=./debian/qor-mdu --exclude=./debian/.debhelper -cf - . |
  tar -C "$work/qor-mdu-$version" -xf -

jobs=$(nproc 2>/dev/null || echo 2)
(
  cd "$work/qor-mdu-$version"
  DEB_BUILD_OPTIONS="parallel=$jobs nocheck" dpkg-buildpackage -b -us -uc \
    >"$work/build.log" 2>&1
) || {
  tail -40 "$work/build.log" >&2
  echo "package build failed; the whole log: $work/build.log" >&2
  exit 1
}
deb=$(ls "$work"/qor-mdu_"$version"_*.deb)
rm -f "$out"/qor-mdu_*.deb
mv "$deb" "$out/"
deb="$out/$(basename "$deb")"

if [ "${QOR_PACKAGE_LINTIAN:-1}" != 0 ]; then
  # Errors fail; warnings and informational tags are printed for review.
  lintian --fail-on error --info "$deb" >&2 || {
    echo "lintian reports errors for $deb" >&2
    exit 1
  }
fi
echo "$deb"
