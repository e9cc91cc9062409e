#!/usr/bin/env bash
# Installs the packages and builds everything (plug-ins, libraries, tools) into build/.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"
bash scripts/setup.sh
cmake -S . -B build -G Ninja -DKX_BUILD_BENCH=ON
cmake --build build -j "$(nproc)"
echo "build: done; kestrel is build/bin/kestrel, the plug-ins are in build/plugins"
