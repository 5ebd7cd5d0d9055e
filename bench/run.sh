#!/usr/bin/env bash
# Builds the programs, the floor program and the peers, and prints the tables:
# per-request cost against the floor, decode speed and peak memory for three
# 64 MiB bodies against Python's parse_qsl and Node's querystring, and each
# program behind lighttpd and nginx, as CGI and as FastCGI workers, under wrk,
# our FastCGI workers side by side with those of the last commit that used
# libfcgi (built here, in the scratch folder, from that commit; it needs the
# Debian package libfcgi-dev, and without it that comparison is left out).
# The tables also go to build/bench-work/report.md, the chart to docs/speed.svg.
#
#   bench/run.sh [--rounds N] [--seconds S] [--parts startup,decode,served] [--chart FILE]
#
# Three parts are not run by default: --parts keepalive compares vistrel with and
# without nginx's upstream keepalive, each behind its own nginx with nothing
# else running; --parts profile shows where the workers' time goes per request:
# CPU, system calls (strace), instructions (valgrind's callgrind); --parts peers
# sets slow and hostile peers on a pool of vistrel workers (slow bodies, unread
# answers, a held counter lock, large parameters) and prints what a normal
# visit waits and what memory an idle worker keeps.
#
# Loopback only; every run and every wait is bounded.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh bench

work="${BENCH_DIR:-build/bench-work}"
mkdir -p "$work"
cmake -S . -B build/bench -DCMAKE_BUILD_TYPE=Release -DCGI_TESTS=OFF > /dev/null
cmake --build build/bench -j "$(nproc)" > /dev/null
gcc -O2 -static -o "$work/floor" bench/floor.c
python3 bench/make_bodies.py "$work/bodies"

# The libfcgi workers: the tree of that commit, built with its own build files.
libfcgi_commit=1108cf9
baseline=()
if dpkg-query -W -f='${Status}' libfcgi-dev 2>/dev/null | grep -q "install ok installed"; then
  rm -rf "$work/libfcgi-src"
  mkdir -p "$work/libfcgi-src"
  git -C "$(git rev-parse --show-toplevel)" archive "$libfcgi_commit" | tar -x -C "$work/libfcgi-src"
  cmake -S "$work/libfcgi-src" -B "$work/libfcgi-build" -DCMAKE_BUILD_TYPE=Release -DCGI_TESTS=OFF > /dev/null
  cmake --build "$work/libfcgi-build" -j "$(nproc)" > /dev/null
  baseline=(--libfcgi-build "$work/libfcgi-build")
else
  echo "libfcgi-dev is not installed: the libfcgi workers ($libfcgi_commit) are left out" >&2
fi
exec python3 -u bench/report.py --build build/bench --work "$work" "${baseline[@]}" "$@"
