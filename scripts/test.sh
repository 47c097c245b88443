#!/usr/bin/env bash
# Builds the kit and runs the whole test suite inside a private network.
#   scripts/test.sh              the ordinary build (build/)
#   scripts/test.sh asan         built with AddressSanitizer and UBSan (build-asan/)
#   scripts/test.sh tsan         built with ThreadSanitizer (build-tsan/)
set -euo pipefail
cd "$(dirname "$0")/.."
kind="${1:-plain}"
case "$kind" in
  plain) dir=build; flags=(-DCMAKE_BUILD_TYPE=RelWithDebInfo) ;;
  # Sanitizer builds: light optimisation and line tables only, which compile
  # much faster and still give whole stack traces.
  asan) dir=build-asan; flags=(-DKIT_SANITIZE=address,undefined -DCMAKE_BUILD_TYPE=Debug "-DCMAKE_CXX_FLAGS_DEBUG=-O1 -g1") ;;
  tsan) dir=build-tsan; flags=(-DKIT_SANITIZE=thread -DCMAKE_BUILD_TYPE=Debug "-DCMAKE_CXX_FLAGS_DEBUG=-O1 -g1") ;;
  *) echo "unknown build kind: $kind" >&2; exit 2 ;;
esac
cmake -S . -B "$dir" -G Ninja "${flags[@]}" >/dev/null
cmake --build "$dir"
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
export TSAN_OPTIONS="${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1}"
scripts/in-test-network.sh ctest --test-dir "$dir" --output-on-failure -j "$(nproc)" --timeout 300
