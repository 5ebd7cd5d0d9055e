#!/usr/bin/env bash
# Builds the Debian packages vistrel and envprobe from this checkout, checks
# them with lintian, and leaves them with their source package in
# build/packages/. As root it first installs what building needs.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh package

# One version number, CMake's; the changelog and the guide follow it.
version=$(sed -n 's/^project(vistrel_cgi VERSION \([^ ]*\) .*/\1/p' CMakeLists.txt)
changelog=$(dpkg-parsechangelog -S Version)
if [ "$version" != "$changelog" ]; then
  echo "package: CMakeLists.txt has version $version, debian/changelog $changelog: add a changelog entry" \
       "for $version (dch -v $version)" >&2
  exit 1
fi
if ! grep -q "vistrel_${version}_" docs/deploy.md; then
  echo "package: docs/deploy.md does not name version $version in its install command" >&2
  exit 1
fi

# dpkg-buildpackage builds in a copy of the sources, beside which it writes the
# packages: the checkout keeps no build products outside build/.
work=build/package-work
rm -rf "$work"
mkdir -p "$work/vistrel-$version" build/packages
tar -C . --exclude=./build --exclude=./out --exclude=./.git --exclude=__pycache__ -cf - . |
  tar -C "$work/vistrel-$version" -xf -
(cd "$work/vistrel-$version" && dpkg-buildpackage -us -uc -Jauto)
rm -f build/packages/*
find "$work" -maxdepth 1 -type f -exec mv -t build/packages {} +
rm -rf "$work"

lintian --fail-on error,warning $([ "$(id -u)" -ne 0 ] || echo --allow-root) build/packages/vistrel_"$version"_*.changes
ls build/packages/*.deb
