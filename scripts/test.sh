#!/usr/bin/env bash
# Builds everything and runs every test: unit, programs as CGI, lighttpd and Chromium.
#   BUILD_DIR=build   where to build
#   SANITIZE=1        build with AddressSanitizer + UndefinedBehaviorSanitizer
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh test
build="${BUILD_DIR:-build}"
options=(-DCMAKE_BUILD_TYPE=Release)
[ "${SANITIZE:-0}" = 1 ] && options+=(-DCGI_SANITIZE=ON)
cmake -S . -B "$build" "${options[@]}"
cmake --build "$build" -j "$(nproc)"
ctest --test-dir "$build" --output-on-failure -j "$(nproc)"
