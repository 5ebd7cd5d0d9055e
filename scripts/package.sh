#!/usr/bin/env bash
# Builds the Debian packages vistrel and envprobe from this checkout, checks
# them with lintian, and leaves them with their source package in
# build/packages/. As root it first installs what building needs.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh package

# One version number, CMake's; the changelog follows it, with a local suffix
# where a site rebuilds the package with changes of its own (dch --local +site).
version=$(sed -n 's/^project(vistrel_cgi VERSION \([^ ]*\) .*/\1/p' CMakeLists.txt)
changelog=$(dpkg-parsechangelog -S Version)
case "$changelog" in
  "$version" | "$version"[+~]*) ;;
  *) echo "package: CMakeLists.txt has version $version, debian/changelog $changelog: add a changelog entry" \
          "for $version (dch -v $version)" >&2
     exit 1 ;;
esac

# dpkg-buildpackage builds in a copy of the sources, beside which it writes the
# packages: the checkout keeps no build products outside build/.
work=build/package-work
rm -rf "$work"
mkdir -p "$work/vistrel-$changelog" build/packages
tar -C . --exclude=./build --exclude=./out --exclude=./.git --exclude=__pycache__ -cf - . |
  tar -C "$work/vistrel-$changelog" -xf -
(cd "$work/vistrel-$changelog" && dpkg-buildpackage -us -uc -Jauto)
rm -f build/packages/*
find "$work" -maxdepth 1 -type f -exec mv -t build/packages {} +
rm -rf "$work"

# lintian leaves cache files in its temporary folder: it gets one of its own
# (not in the checkout, whose path may hold letters that lintian mangles).
lintian_tmp=$(mktemp -d)
trap 'rm -rf "$lintian_tmp"' EXIT
TMPDIR="$lintian_tmp" lintian --fail-on error,warning $([ "$(id -u)" -ne 0 ] || echo --allow-root) \
  build/packages/vistrel_*.changes
echo "Built: $(cd build/packages && ls -- *.deb | paste -sd ' ')"
echo "Install or upgrade: apt-get install ./build/packages/vistrel_*.deb"
