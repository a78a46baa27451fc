#!/usr/bin/env bash
# Builds the project (installing what it needs) and runs the whole test suite.
# Before that, the thread-sensitive suites are built with ThreadSanitizer into
# build-tsan/ and run there; SKIP_TSAN=1 leaves that part out.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
export QT_QPA_PLATFORM=${QT_QPA_PLATFORM:-offscreen}

"$here/scripts/setup.sh"

if [ -z "${SKIP_TSAN:-}" ]; then
  echo "== ThreadSanitizer suites =="
  BUILD_DIR="$here/build-tsan" SANITIZE=thread BUILD_TARGET=tsan_tests "$here/scripts/setup.sh"
  TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 ${TSAN_OPTIONS:-}" \
    ctest --test-dir "$here/build-tsan" -L tsan --output-on-failure
  echo "== Whole suite =="
fi

ctest --test-dir "$here/build" --output-on-failure
