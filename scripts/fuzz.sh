#!/usr/bin/env bash
# Builds the fuzz targets with clang (libFuzzer, ASan, UBSan) in build-fuzz/ and runs each for
# a bounded time on its checked-in corpus (fuzz/corpus/<target>/). New inputs found while
# fuzzing go to build-fuzz/corpus/, not into the tree; a failing input is saved in
# build-fuzz/crashes/ and fails the run: add it to the target's corpus as a regression input
# once it is fixed.
#   KX_FUZZ_SECONDS  seconds per target (default 60)
#   KX_FUZZ_TARGETS  targets to run (default all)
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"
seconds=${KX_FUZZ_SECONDS:-60}
targets=${KX_FUZZ_TARGETS:-"fuzz_script fuzz_matches fuzz_frames fuzz_read"}
jobs=${KX_JOBS:-$(nproc)}

cmake -S . -B build-fuzz -G Ninja -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKX_FUZZ=ON -DKX_BUILD_TESTS=OFF -DKX_BUILD_BENCH=OFF \
  -DKX_WERROR="${KX_WERROR:-OFF}"
# shellcheck disable=SC2086
cmake --build build-fuzz -j "$jobs" --target $targets

# The full unwinder on every allocation: libraries built without frame pointers otherwise cut a
# leak's stack short of the frames that the suppressions name.
export ASAN_OPTIONS=detect_leaks=1:allocator_may_return_null=0:fast_unwind_on_malloc=0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export LSAN_OPTIONS=suppressions=$here/cmake/lsan.supp:print_suppressions=0
mkdir -p build-fuzz/crashes
status=0
for t in $targets; do
  work=build-fuzz/corpus/$t
  mkdir -p "$work"
  # Image files need more room than text: a header may rightly ask for a large image.
  limits=(-rss_limit_mb=2560 -malloc_limit_mb=2048 -max_len=4096)
  [[ $t == fuzz_read ]] && limits=(-rss_limit_mb=3072 -malloc_limit_mb=2560 -max_len=16384)
  echo "fuzz: $t for ${seconds}s"
  if ! "build-fuzz/bin/$t" "$work" "fuzz/corpus/$t" -max_total_time="$seconds" -timeout=20 \
      "${limits[@]}" -artifact_prefix="build-fuzz/crashes/$t-" -print_final_stats=1 \
      2> "build-fuzz/$t.log"; then
    echo "fuzz: $t failed; see build-fuzz/$t.log and build-fuzz/crashes/"
    tail -n 60 "build-fuzz/$t.log"
    status=1
  fi
  grep -E '^stat::number_of_executed_units|^stat::new_units_added' "build-fuzz/$t.log" || true
done
exit $status
