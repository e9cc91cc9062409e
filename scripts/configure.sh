# Sourced by scripts/test.sh and scripts/fuzz.sh: configures one build variant in its own
# folder and sets kx_build to that folder. Every variant states all of its options, so a folder
# configured before keeps exactly this variant.
#   plain  build/       the default compiler; warnings of our own code are errors with
#                       KX_WERROR=ON
#   asan   build-asan/  clang with AddressSanitizer and UndefinedBehaviorSanitizer: the whole
#                       suite and the fuzz targets in one tree, so that CI compiles the project
#                       once for both. -O2 and Eigen's own bounds assertions off: at -O1, or
#                       with them on, clang leaves Eigen's element access uninlined and the
#                       suite's synthetic plates render ten times slower (the sanitizers check
#                       every access anyway); line tables only, which is all their reports
#                       print. The libraries carry libFuzzer's coverage hooks in the tests too.
#                       KX_WERROR=ON makes clang's warnings of our own code errors here too.
#   tsan   build-tsan/  the default compiler with ThreadSanitizer
kx_configure() {
  local options=(-DKX_SANITIZE=OFF -DKX_TSAN=OFF -DKX_FUZZ=OFF -DKX_WERROR="${KX_WERROR:-OFF}"
    -DKX_BUILD_BENCH=OFF)
  case $1 in
    plain) kx_build=build ;;
    asan)
      kx_build=build-asan
      options=(-DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DKX_SANITIZE=ON -DKX_TSAN=OFF
        -DKX_FUZZ=ON -DKX_WERROR="${KX_WERROR:-OFF}" -DKX_BUILD_BENCH=OFF
        -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -gline-tables-only -DEIGEN_NO_DEBUG"
        -DCMAKE_C_FLAGS_RELWITHDEBINFO="-O2 -gline-tables-only")
      ;;
    tsan)
      kx_build=build-tsan
      options=(-DKX_SANITIZE=OFF -DKX_TSAN=ON -DKX_FUZZ=OFF -DKX_WERROR="${KX_WERROR:-OFF}"
        -DKX_BUILD_BENCH=OFF)
      ;;
    *)
      echo "configure: unknown variant $1" >&2
      return 1
      ;;
  esac
  cmake -S . -B "$kx_build" -G Ninja "${options[@]}"
}
