#!/usr/bin/env bash
# Builds the project (installing what it needs) and runs its tests.
#
#   scripts/test.sh [--full] [-- CTEST ARGUMENTS]
#
#   scripts/test.sh          the plain build (build/) of what the tests need and
#                            the whole suite on every core: the loop to run
#                            while you work
#   scripts/test.sh --full   what CI runs: the whole plain build and suite, then
#                            - the thread-sensitive suites under ThreadSanitizer (build-tsan/);
#                            - the whole suite under AddressSanitizer and
#                              UndefinedBehaviorSanitizer (build-asan/);
#                            - every fuzz target briefly from its corpus (build-fuzz/,
#                              scripts/fuzz.sh regress).
#                            Every phase runs even when one fails; a table of the
#                            phases ends the run.
#
# Each phase prints one line: build time, tests passed, failed and skipped,
# test time. Only failing tests show their output; the whole of it is in
# <build folder>/test-build.log and test-ctest.log. The exit status is
# non-zero when a phase failed.
# SKIP_TSAN=1, SKIP_ASAN=1 or SKIP_FUZZ=1 leaves a phase of --full out;
# TEST_JOBS=N runs N plain tests at once (default: the number of cores).
# Arguments after -- go to every ctest run: `scripts/test.sh -- -R Engine`.
set -uo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
export QT_QPA_PLATFORM=${QT_QPA_PLATFORM:-offscreen}
# The tests have a runtime folder of their own (tests/CMakeLists.txt); the
# build lists the tests of each Qt test program too, which without one has Qt
# warn about XDG_RUNTIME_DIR once per program.
if [ -z "${XDG_RUNTIME_DIR:-}" ]; then
  XDG_RUNTIME_DIR=$(mktemp -d)  # owner-only, as Qt wants
  export XDG_RUNTIME_DIR
  trap 'rm -rf "$XDG_RUNTIME_DIR"' EXIT
fi

full=
while [ $# -gt 0 ]; do
  case "$1" in
    --full) full=1 ;;
    --) shift; break ;;
    *) sed -n '2,24p' "${BASH_SOURCE[0]}" | sed 's/^# \{0,1\}//' >&2; exit 2 ;;
  esac
  shift
done

names=() results=() counts=() times=()
failed=0

duration() { printf '%dm%02ds' $(($1 / 60)) $(($1 % 60)); }

# record PHASE RESULT TESTS SECONDS
record() {
  names+=("$1") results+=("$2") counts+=("$3") times+=("$(duration "$4")")
  [ "$2" = ok ] || [ "$2" = skipped ] || failed=1
}

# build DIR [VARIABLE=VALUE...]: scripts/setup.sh with those settings, its
# output in DIR/test-build.log; on failure the end of that log is shown.
build() {
  local dir=$1 log=$1/test-build.log
  shift
  mkdir -p "$dir"
  if env SETUP_GROUPS="run test" BUILD_DIR="$dir" "$@" "$here/scripts/setup.sh" >"$log" 2>&1; then return 0; fi
  tail -n 40 "$log" | sed 's/^/    /'
  echo "    (whole log: $log)"
  return 1
}

# suite PHASE DIR BUILD_SECONDS [CTEST ARGUMENTS...]: runs ctest in DIR and
# prints the phase's line; a failing test's output is printed in full.
suite() {
  local phase=$1 dir=$2 built=$3 log=$2/test-ctest.log start=$SECONDS rc=0
  shift 3
  ctest --test-dir "$dir" --output-on-failure --no-tests=error "$@" >"$log" 2>&1 || rc=$?
  local spent=$((SECONDS - start)) total failures skips
  total=$(sed -n 's/.* tests failed out of \([0-9]*\).*/\1/p' "$log" | tail -1)
  failures=$(sed -n 's/.*, \([0-9]*\) tests failed out of.*/\1/p' "$log" | tail -1)
  skips=$(grep -cE '^[[:space:]]*[0-9]+ - .* \(Skipped\)$' "$log")
  total=${total:-0} failures=${failures:-?}
  local passed=$((total - skips - ${failures/\?/0}))
  if [ "$rc" -ne 0 ]; then
    # Everything but the lines of tests that started, passed or were skipped.
    grep -vE '^Internal ctest changing|^ *Start +[0-9]+: |^ *[0-9]+/[0-9]+ Test +#[0-9]+: .* (Passed|\*\*\*Skipped) +[0-9.]+ sec$' "$log" |
      sed 's/^/    /'
    echo "    (whole log: $log)"
  fi
  echo "== $phase: build $(duration "$built"), tests $passed passed, $failures failed, $skips skipped" \
       "in $(duration "$spent") (${dir#"$here"/}/) =="
  record "$phase" "$([ "$rc" -eq 0 ] && echo ok || echo FAILED)" "$passed/$total" $((built + spent))
}

# phase NAME DIR "SETUP SETTINGS" [CTEST ARGUMENTS...]
phase() {
  local name=$1 dir=$2 settings=$3 start=$SECONDS
  shift 3
  echo "== $name: building in ${dir#"$here"/}/ =="
  # shellcheck disable=SC2086
  if ! build "$dir" $settings; then
    echo "== $name: build FAILED after $(duration $((SECONDS - start))) =="
    record "$name" "BUILD FAILED" - $((SECONDS - start))
    return
  fi
  suite "$name" "$dir" $((SECONDS - start)) "$@"
}

# The quick loop builds what the suite needs; --full builds everything
# (benchmarks, examples and tools too), so that CI compiles the whole tree.
phase plain "$here/build" "$([ -n "$full" ] || echo BUILD_TARGET=quarl_tests)" -j "${TEST_JOBS:-$(nproc)}" "$@"

if [ -n "$full" ]; then
  if [ -z "${SKIP_TSAN:-}" ]; then
    TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 ${TSAN_OPTIONS:-}" \
      phase tsan "$here/build-tsan" "SANITIZE=thread BUILD_TARGET=tsan_tests" -L tsan-suite "$@"
  else
    record tsan skipped - 0
  fi

  if [ -z "${SKIP_ASAN:-}" ]; then
    ASAN_OPTIONS="detect_leaks=1 strict_string_checks=1 detect_stack_use_after_return=1 ${ASAN_OPTIONS:-}" \
    UBSAN_OPTIONS="print_stacktrace=1 halt_on_error=1 ${UBSAN_OPTIONS:-}" \
      phase asan+ubsan "$here/build-asan" "SANITIZE=address,undefined" "$@"
  else
    record asan+ubsan skipped - 0
  fi

  if [ -z "${SKIP_FUZZ:-}" ]; then
    echo "== fuzz: building in build-fuzz/ and running every target from its corpus =="
    mkdir -p "$here/build-fuzz"
    log=$here/build-fuzz/test-fuzz.log start=$SECONDS rc=0
    "$here/scripts/fuzz.sh" regress >"$log" 2>&1 || rc=$?
    targets=$(grep -cE '^[a-z_]+ +[0-9?]+ +[0-9?]+ +(ok|FAILED)' "$log")
    good=$(grep -cE '^[a-z_]+ +[0-9?]+ +[0-9?]+ +ok$' "$log")
    if [ "$rc" -ne 0 ]; then
      tail -n 40 "$log" | sed 's/^/    /'
      echo "    (whole log: $log)"
    fi
    echo "== fuzz: $good of $targets targets without a fault in $(duration $((SECONDS - start))) (build-fuzz/) =="
    record fuzz "$([ "$rc" -eq 0 ] && echo ok || echo FAILED)" "$good/$targets" $((SECONDS - start))
  else
    record fuzz skipped - 0
  fi

  echo
  printf '%-12s %-14s %-10s %s\n' phase result tests time
  for i in "${!names[@]}"; do
    printf '%-12s %-14s %-10s %s\n' "${names[$i]}" "${results[$i]}" "${counts[$i]}" "${times[$i]}"
  done
fi
exit "$failed"
