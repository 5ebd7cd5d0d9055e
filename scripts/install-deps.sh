#!/usr/bin/env bash
# Installs the Debian packages that building, testing and the demo need.
#   install-deps.sh build   compiler, CMake, GoogleTest
#   install-deps.sh demo    build + lighttpd
#   install-deps.sh test    demo + what the tests run: Chromium, clang's fuzzer,
#                           Apache httpd with mod_fcgid, nginx, cgi-fcgi, openssl, lighttpd's TLS module, ssl-cert,
#                           systemd (booted in the end-to-end tests' containers; an installed one is left as it is),
#                           and what the package is built and checked with (lintian, piuparts)
#   install-deps.sh bench   demo + nginx, fcgiwrap, spawn-fcgi, wrk, hyperfine, Node.js, and libfcgi
#                           for the libfcgi workers the benchmark compares ours with
#   install-deps.sh package build + what building and checking the Debian package needs
# As root it installs what is missing, without Debian's recommended extras, and
# leaves no server it installed enabled to start at boot; otherwise it prints
# the command to run.
set -euo pipefail

packages=(g++ cmake make libgtest-dev python3)
case "${1:-test}" in
  build) ;;
  package) packages+=(build-essential debhelper dpkg-dev fakeroot lintian) ;;
  demo) packages+=(lighttpd) ;;
  test) packages+=(lighttpd lighttpd-mod-openssl apache2 libapache2-mod-fcgid nginx-light libfcgi-bin systemd
                   chromium clang libclang-rt-dev openssl ssl-cert build-essential debhelper dpkg-dev fakeroot lintian
                   piuparts) ;;
  bench) packages+=(lighttpd nginx-light fcgiwrap spawn-fcgi wrk hyperfine nodejs gcc time libfcgi-dev) ;;
  *) echo "usage: $0 build|demo|test|bench|package" >&2; exit 2 ;;
esac

missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "Missing Debian packages. Run as root:" >&2
  echo "  apt-get update && apt-get install -y --no-install-recommends ${missing[*]}" >&2
  exit 1
fi

# Services that start at boot: systemd units and System V links.
boot_services() {
  { find /etc/systemd/system -path '*.wants/*' -printf '%f\n' 2>/dev/null
    find /etc/rc[2-5].d -name 'S*' -printf '%f\n' 2>/dev/null | sed 's/^S[0-9]*//'; } | sort -u
}

echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
before=$(boot_services)
# Keep the packages' own services (lighttpd on port 80) from starting during the install.
policy=/usr/sbin/policy-rc.d
created_policy=0
if [ ! -e "$policy" ]; then
  printf '#!/bin/sh\nexit 101\n' > "$policy"
  chmod +x "$policy"
  created_policy=1
fi
trap '[ $created_policy -eq 1 ] && rm -f "$policy"' EXIT
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}"

# The tests start their own servers; a server package installed here must not
# also start at the next boot and take port 80.
for service in $(comm -13 <(echo "$before") <(boot_services)); do
  case "$service" in
    *.service|*.socket) systemctl disable --quiet "$service" 2> /dev/null || true ;;
    *.*) ;;
    *) update-rc.d "$service" disable > /dev/null 2>&1 || true ;;
  esac
done
