#!/usr/bin/env bash
# Builds the programs and serves the demo site with lighttpd at
# http://127.0.0.1:${PORT:-8080}/ until Ctrl-C. Counts are kept in out/demo.
#   PORT=9000      serve on another port
#   MODE=fastcgi   run the programs as FastCGI workers instead of CGI programs
# Root is needed only to install missing packages; as root, lighttpd drops its
# privileges to www-data.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh demo
cmake -S . -B build/demo -DCMAKE_BUILD_TYPE=Release -DCGI_TESTS=OFF > /dev/null
cmake --build build/demo -j "$(nproc)"
cmake --install build/demo --prefix out/programs > /dev/null
cmake --install build/demo --prefix out/programs --component envprobe > /dev/null
exec python3 site/demo_site.py serve --programs out/programs/lib/cgi-bin --root out/demo --port "${PORT:-8080}" \
  --mode "${MODE:-cgi}"
