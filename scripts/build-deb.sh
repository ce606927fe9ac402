#!/usr/bin/env bash
# Builds the Debian package of the relay from this checkout, with
# dpkg-buildpackage and the debian/ folder: installs what is missing, copies
# the checkout (without build folders and var/) to build-deb/veltrane-VERSION,
# builds there and leaves build-deb/veltrane_VERSION_ARCH.deb (with its debug
# symbols package, .buildinfo and .changes). JOBS sets the build's parallel
# jobs (default: the number of cores).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh

out=build-deb
version=$(dpkg-parsechangelog -l debian/changelog -S Version)
stage="$out/veltrane-$version"
rm -rf "$out"
mkdir -p "$stage"
trap 'rm -rf "$stage"' EXIT
tar --exclude=./.git --exclude='./build*' --exclude=./var --exclude=./Testing -cf - . | tar -C "$stage" -xf -

(cd "$stage" && DEB_BUILD_OPTIONS="parallel=${JOBS:-$(nproc)}" dpkg-buildpackage -b -us -uc) >"$out/build.log" 2>&1 || {
  tail -n 40 "$out/build.log" >&2
  echo "build-deb: dpkg-buildpackage failed; the whole log is $out/build.log" >&2
  exit 1
}
deb="$out/veltrane_${version}_$(dpkg-architecture -qDEB_HOST_ARCH).deb"
test -f "$deb"
echo "$deb"
