#!/usr/bin/env bash
# Everything a fresh machine needs to prove the build: install the packages, configure, build
# and run every test.
#   KX_SANITIZE=ON  an ASan/UBSan build in build-asan/ (optimised at -O1), the whole suite
#   KX_TSAN=ON      a ThreadSanitizer build in build-tsan/ of the test programs of rendering,
#                   threads, the engine's cache and feature tracking, and those tests
#                   (KX_TSAN_TESTS, a ctest -R pattern)
#   KX_WERROR=ON    warnings of our own code are errors
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"
bash scripts/setup.sh
sanitize=${KX_SANITIZE:-OFF}
tsan=${KX_TSAN:-OFF}
jobs=${KX_JOBS:-$(nproc)}
build=build
flags=()
select=()
targets=()
if [[ $sanitize == ON ]]; then
  build=build-asan
  flags=(-DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g" -DCMAKE_C_FLAGS_RELWITHDEBINFO="-O1 -g")
elif [[ $tsan == ON ]]; then
  build=build-tsan
  select=(-R "${KX_TSAN_TESTS:-^(Engine|Threads|Render[A-Za-z]*|TrackFeatures|TrackedPair)\.}")
  targets=(--target kximage_test_engine kximage_test_threads QuorvaneTrackingTests
    VerticalAlignerEndToEnd)
fi
cmake -S . -B "$build" -G Ninja -DKX_SANITIZE="$sanitize" -DKX_TSAN="$tsan" \
  -DKX_WERROR="${KX_WERROR:-OFF}" -DKX_BUILD_BENCH=OFF "${flags[@]}"
cmake --build "$build" -j "$jobs" "${targets[@]}"
ctest --test-dir "$build" -j "$jobs" --output-on-failure "${select[@]}"
