#!/usr/bin/env bash
# Runs each fuzz target for a bounded time on its checked-in corpus (fuzz/corpus/<target>/).
# The targets live in the ASan/UBSan build, build-asan/ (clang, libFuzzer), which scripts/test.sh
# also uses for the sanitized suite: after `KX_SANITIZE=ON bash scripts/test.sh` nothing is left
# to build. New inputs found while fuzzing go to build-asan/fuzz-runs/corpus/, not into the tree; a
# failing input is saved in build-asan/fuzz-runs/crashes/ and fails the run: add it to the target's
# corpus as a regression input once it is fixed.
#   KX_FUZZ_SECONDS  seconds per target (default 60)
#   KX_FUZZ_TARGETS  targets to run (default all)
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"
seconds=${KX_FUZZ_SECONDS:-60}
targets=${KX_FUZZ_TARGETS:-"fuzz_script fuzz_matches fuzz_frames fuzz_read"}
jobs=${KX_JOBS:-$(nproc)}

# shellcheck source=scripts/configure.sh
source scripts/configure.sh
kx_configure asan
out=$kx_build/fuzz-runs
# shellcheck disable=SC2086
cmake --build "$kx_build" -j "$jobs" --target $targets

# The full unwinder on every allocation: libraries built without frame pointers otherwise cut a
# leak's stack short of the frames that the suppressions name.
export ASAN_OPTIONS=detect_leaks=1:allocator_may_return_null=0:fast_unwind_on_malloc=0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export LSAN_OPTIONS=suppressions=$here/cmake/lsan.supp:print_suppressions=0
mkdir -p "$out/crashes"

# One target: its log goes to $out/<target>.log and its summary to the output at its end.
fuzz_one() {
  local t=$1 work=$out/corpus/$1 limits
  mkdir -p "$work"
  # Image files need more room than text: a header may rightly ask for a large image.
  limits=(-rss_limit_mb=2560 -malloc_limit_mb=2048 -max_len=4096)
  [[ $t == fuzz_read ]] && limits=(-rss_limit_mb=3072 -malloc_limit_mb=2560 -max_len=16384)
  if ! "$kx_build/bin/$t" "$work" "fuzz/corpus/$t" -max_total_time="$seconds" -timeout=20 \
      "${limits[@]}" -artifact_prefix="$out/crashes/$t-" -print_final_stats=1 \
      2> "$out/$t.log"; then
    echo "fuzz: $t failed; see $out/$t.log and $out/crashes/"
    tail -n 60 "$out/$t.log"
    return 1
  fi
  echo "fuzz: $t ran ${seconds}s: $(grep -E '^stat::(number_of_executed_units|new_units_added)' \
    "$out/$t.log" | tr -s ' \n' ' ')"
}

# Each target is one process on one core: as many run at once as there are jobs.
status=0
running=0
for t in $targets; do
  echo "fuzz: $t for ${seconds}s"
  fuzz_one "$t" &
  running=$((running + 1))
  if ((running >= jobs)); then
    wait -n || status=1
    running=$((running - 1))
  fi
done
while ((running > 0)); do
  wait -n || status=1
  running=$((running - 1))
done
exit $status
