#!/usr/bin/env bash
# Builds the programs, the floor program and the peers, and prints the tables:
# per-request cost against the floor, decode speed and peak memory for three
# 64 MiB bodies against Python's parse_qsl and Node's querystring, and each
# program behind lighttpd and nginx, as CGI and as FastCGI workers, under wrk.
# The tables also go to build/bench-work/report.md, the chart to docs/speed.svg.
#
#   bench/run.sh [--rounds N] [--seconds S] [--parts startup,decode,served] [--chart FILE]
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
exec python3 -u bench/report.py --build build/bench --work "$work" "$@"
