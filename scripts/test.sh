#!/usr/bin/env bash
# Builds everything and runs every test: unit, programs as CGI and as FastCGI
# workers, real web servers and Chromium.
#   BUILD_DIR=build   where to build
#   SANITIZE=1        build with AddressSanitizer + UndefinedBehaviorSanitizer
#   WERROR=1          treat compiler warnings as errors (CI)
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh test
build="${BUILD_DIR:-build}"
# The tests are always configured on, also in a folder first built without them.
options=(-DCMAKE_BUILD_TYPE=Release -DCGI_TESTS=ON -DCGI_SANITIZE="${SANITIZE:-0}" -DCGI_WERROR="${WERROR:-0}")
cmake -S . -B "$build" "${options[@]}"
cmake --build "$build" -j "$(nproc)"
ctest --test-dir "$build" --output-on-failure --no-tests=error -j "$(nproc)"
