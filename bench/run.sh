#!/usr/bin/env bash
# Builds the programs, the floor program and the peers, and prints one table:
# per-request cost against the floor, decode speed and peak memory for three
# 64 MiB bodies against Python's parse_qsl and Node's querystring, and
# requests per second under lighttpd. Loopback only; every run is bounded.
set -euo pipefail
cd "$(dirname "$0")/.."

need=()
for tool in hyperfine wrk lighttpd node gcc /usr/bin/time; do
  command -v "$tool" > /dev/null || need+=("$tool")
done
if [ ${#need[@]} -gt 0 ]; then
  packages=(hyperfine wrk lighttpd nodejs gcc time)
  if [ "$(id -u)" -eq 0 ]; then
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${packages[@]}" > /dev/null
  else
    echo "Missing ${need[*]}. Run as root: apt-get install -y ${packages[*]}" >&2
    exit 1
  fi
fi
scripts/install-deps.sh demo

work="${BENCH_DIR:-/tmp/vistrel-bench}"
mkdir -p "$work"
cmake -S . -B build/bench -DCMAKE_BUILD_TYPE=Release -DCGI_TESTS=OFF > /dev/null
cmake --build build/bench -j "$(nproc)" > /dev/null
gcc -O2 -static -o "$work/floor" bench/floor.c
python3 bench/make_bodies.py "$work/bodies"
exec python3 -u bench/report.py --build build/bench --work "$work"
