#!/usr/bin/env bash
# Everything a fresh machine needs to prove the build: install the packages,
# configure, build and run every test. Set KX_SANITIZE=ON for an ASan/UBSan build
# (in build-asan/).
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"
bash scripts/setup.sh
sanitize=${KX_SANITIZE:-OFF}
build=build
[[ $sanitize == ON ]] && build=build-asan
cmake -S . -B "$build" -G Ninja -DKX_SANITIZE="$sanitize" -DKX_BUILD_BENCH=OFF
cmake --build "$build" -j "$(nproc)"
ctest --test-dir "$build" -j "$(nproc)" --output-on-failure
