#!/usr/bin/env bash
# Builds the project (installing what it needs) and runs the whole test suite,
# then builds the thread-sensitive suites with ThreadSanitizer into build-tsan/
# and runs them again there. SKIP_TSAN=1 leaves out the second part.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
export QT_QPA_PLATFORM=${QT_QPA_PLATFORM:-offscreen}

"$here/scripts/setup.sh"
ctest --test-dir "$here/build" --output-on-failure

if [ -z "${SKIP_TSAN:-}" ]; then
  echo "== ThreadSanitizer suites =="
  BUILD_DIR="$here/build-tsan" SANITIZE=thread BUILD_TARGET=tsan_tests "$here/scripts/setup.sh"
  TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 ${TSAN_OPTIONS:-}" \
    ctest --test-dir "$here/build-tsan" -L tsan --output-on-failure
fi
