#!/usr/bin/env bash
# Everything a fresh machine needs to prove the build: installs the packages, configures and
# builds one variant in its own folder, and runs its tests with ctest (as many at once as there
# are cores). Without options: the plain build in build/ and the whole suite; this is the README's
# test command and the first test stage of CI.
#   KX_SANITIZE=ON  build-asan/: clang with AddressSanitizer and UndefinedBehaviorSanitizer, and
#                   the suite under them but for the tests listed in cmake/sanitize-skip.txt:
#                   those solve and render whole synthetic plates, shots and farm jobs for
#                   minutes under the sanitizers, through the code paths that the tests kept
#                   already run on smaller work. KX_SANITIZE_ALL=ON runs them too (about an hour
#                   on two cores). The same tree holds the fuzz targets, which scripts/fuzz.sh
#                   then runs without a build of its own.
#   KX_TSAN=ON      build-tsan/: ThreadSanitizer on the engine and the thread pool, the code
#                   that hands data between threads (the engine's cache and passed areas, rows
#                   rendered in parallel), and their tests. KX_TSAN_ALL=ON adds feature tracking
#                   and the node's end-to-end renders (their own programs, about half an hour
#                   more on two cores). A build of everything under a third sanitizer would
#                   take CI past its time on two cores.
#   KX_WERROR=ON    warnings of our own code are errors (in every build: plain, ASan and TSan)
#   KX_JOBS         parallel compile jobs and tests (default: the number of cores)
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"
# shellcheck source=scripts/configure.sh
source scripts/configure.sh
bash scripts/setup.sh
jobs=${KX_JOBS:-$(nproc)}
select=()
targets=()
if [[ ${KX_SANITIZE:-OFF} == ON ]]; then
  kx_configure asan
  if [[ ${KX_SANITIZE_ALL:-OFF} != ON ]]; then
    skip=$(grep -v -e '^#' -e '^$' cmake/sanitize-skip.txt | paste -sd '|')
    select=(-E "^($skip)")
  fi
  # Leaks inside the system libraries are suppressed by name (cmake/lsan.supp). Every process a
  # test starts (kestrel, Python) inherits these.
  export ASAN_OPTIONS=detect_leaks=1
  export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
  export LSAN_OPTIONS=suppressions=$here/cmake/lsan.supp:print_suppressions=0
elif [[ ${KX_TSAN:-OFF} == ON ]]; then
  kx_configure tsan
  select=(-R '^(Engine|Threads)\.')
  targets=(--target kximage_test_engine kximage_test_threads)
  if [[ ${KX_TSAN_ALL:-OFF} == ON ]]; then
    select=(-R '^(Engine|Node|Threads|Render[A-Za-z]*|TrackFeatures|TrackedPair)\.')
    targets+=(QuorvaneTrackingTests VerticalAlignerEndToEnd)
  fi
  # Debian's OpenCV runs its own parallel loops on oneTBB, and hands each thread's partial
  # results (SIFT's features) back through its own thread-local storage; neither library is
  # built with this sanitizer, so it sees the memory change hands but not the synchronisation.
  # ignore_noninstrumented_modules drops what those libraries do to memory through the
  # sanitizer's interceptors (allocation, freeing, copying); every access of our own code is
  # still checked.
  export TSAN_OPTIONS="suppressions=$here/cmake/tsan.supp:halt_on_error=1:second_deadlock_stack=1:ignore_noninstrumented_modules=1"
else
  kx_configure plain
fi
cmake --build "$kx_build" -j "$jobs" "${targets[@]}"
ctest --test-dir "$kx_build" -j "$jobs" --output-on-failure "${select[@]}"
