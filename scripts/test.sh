#!/usr/bin/env bash
# Builds the project (installing what it needs) and runs the whole test suite.
# Before that, in their own build folders:
#   - the thread-sensitive suites under ThreadSanitizer (build-tsan/);
#   - the whole suite under AddressSanitizer and UndefinedBehaviorSanitizer
#     (build-asan/);
#   - every fuzz target for a few seconds from its corpus, as a regression
#     check (build-fuzz/, scripts/fuzz.sh).
# SKIP_TSAN=1, SKIP_ASAN=1 or SKIP_FUZZ=1 leaves a part out while you work.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
export QT_QPA_PLATFORM=${QT_QPA_PLATFORM:-offscreen}

"$here/scripts/setup.sh"

if [ -z "${SKIP_TSAN:-}" ]; then
  echo "== ThreadSanitizer suites =="
  BUILD_DIR="$here/build-tsan" SANITIZE=thread BUILD_TARGET=tsan_tests "$here/scripts/setup.sh"
  TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 ${TSAN_OPTIONS:-}" \
    ctest --test-dir "$here/build-tsan" -L tsan --output-on-failure
fi

if [ -z "${SKIP_ASAN:-}" ]; then
  echo "== AddressSanitizer and UndefinedBehaviorSanitizer, whole suite =="
  BUILD_DIR="$here/build-asan" SANITIZE=address,undefined "$here/scripts/setup.sh"
  ASAN_OPTIONS="detect_leaks=1 strict_string_checks=1 detect_stack_use_after_return=1 ${ASAN_OPTIONS:-}" \
  UBSAN_OPTIONS="print_stacktrace=1 halt_on_error=1 ${UBSAN_OPTIONS:-}" \
    ctest --test-dir "$here/build-asan" --output-on-failure
fi

if [ -z "${SKIP_FUZZ:-}" ] && [ -x "$here/scripts/fuzz.sh" ]; then
  echo "== Fuzz regression =="
  "$here/scripts/fuzz.sh" regress
fi

echo "== Whole suite =="
ctest --test-dir "$here/build" --output-on-failure
