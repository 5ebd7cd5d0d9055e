#!/usr/bin/env bash
# Installs the Debian packages that building, testing and the demo need.
#   install-deps.sh build   compiler, CMake, GoogleTest
#   install-deps.sh demo    build + lighttpd
#   install-deps.sh test    demo + curl, Chromium, clang (fuzzing), Apache httpd, nginx, fcgiwrap
# As root it installs what is missing; otherwise it prints the command to run.
set -euo pipefail

packages=(g++ cmake make libgtest-dev python3)
case "${1:-test}" in
  build) ;;
  demo) packages+=(lighttpd) ;;
  test) packages+=(lighttpd curl chromium clang libclang-rt-14-dev apache2 nginx-light fcgiwrap) ;;
  *) echo "usage: $0 build|demo|test" >&2; exit 2 ;;
esac

missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "Missing Debian packages. Run as root:" >&2
  echo "  apt-get update && apt-get install -y ${missing[*]}" >&2
  exit 1
fi

echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
# Keep the packages' own services (lighttpd on port 80) from starting during the install.
policy=/usr/sbin/policy-rc.d
created_policy=0
if [ ! -e "$policy" ]; then
  printf '#!/bin/sh\nexit 101\n' > "$policy"
  chmod +x "$policy"
  created_policy=1
fi
trap '[ $created_policy -eq 1 ] && rm -f "$policy"' EXIT
apt-get install -y -qq "${missing[@]}"
