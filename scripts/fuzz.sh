#!/usr/bin/env bash
# Builds the libFuzzer targets of fuzz/ into build-fuzz/ (clang, ASan and
# UBSan, through scripts/setup.sh) and runs them, each from a temporary copy
# of its seed corpus in fuzz/corpus/<name>/, so the repository is not changed.
#
#   scripts/fuzz.sh regress [SECONDS [NAME...]]   every (or each named) target
#                                            SECONDS (default 10); fails when
#                                            one of them finds a fault
#   scripts/fuzz.sh long SECONDS [NAME...]   every (or each named) target SECONDS,
#                                            then the executions of each
#
# NAME is a target without its fuzz_ prefix (replies, framer, ...). A fault
# leaves its input in build-fuzz/fuzz-artifacts/; run the target with that
# file as its argument to see it again. FUZZ_JOBS=2 runs two targets at once.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
usage() { sed -n '2,14p' "${BASH_SOURCE[0]}" | sed 's/^# \{0,1\}//' >&2; exit 2; }

mode=${1:-}
case "$mode" in
  regress) seconds=${2:-10}; shift $(( $# >= 2 ? 2 : 1 )) ;;
  long) [ $# -ge 2 ] || usage; seconds=$2; shift 2 ;;
  *) usage ;;
esac
[[ "$seconds" =~ ^[1-9][0-9]*$ ]] || usage

build_dir=$here/build-fuzz
CC=clang CXX=clang++ SETUP_GROUPS="run test fuzz" BUILD_DIR="$build_dir" FUZZ=1 BUILD_TARGET=fuzz_targets "$here/scripts/setup.sh"

names=("$@")
if [ "${#names[@]}" -eq 0 ]; then
  for dir in "$here"/fuzz/corpus/*/; do names+=("$(basename "$dir")"); done
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
artifacts=$build_dir/fuzz-artifacts
mkdir -p "$artifacts"

# Runs one target; its log goes to $work/<name>.log, its status to .rc.
run_one() {
  local name=$1 corpus=$work/corpus-$1
  cp -r "$here/fuzz/corpus/$name" "$corpus"
  local rc=0
  nice -n 10 "$build_dir/fuzz/fuzz_$name" -max_total_time="$seconds" -timeout=30 -print_final_stats=1 \
    -artifact_prefix="$artifacts/$name-" "$corpus" >"$work/$name.log" 2>&1 || rc=$?
  echo "$rc" >"$work/$name.rc"
}

jobs=${FUZZ_JOBS:-1}
for name in "${names[@]}"; do
  [ -x "$build_dir/fuzz/fuzz_$name" ] || { echo "fuzz: no target fuzz_$name" >&2; exit 2; }
  run_one "$name" &
  while [ "$(jobs -rp | wc -l)" -ge "$jobs" ]; do wait -n || true; done
done
wait

failed=0
printf '%-14s %12s %10s  %s\n' target executions corpus result
for name in "${names[@]}"; do
  log=$work/$name.log
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  units=$(sed -n 's/.*#[0-9]*.*DONE.*corp: \([0-9]*\).*/\1/p' "$log" | tail -1)
  if [ "$(cat "$work/$name.rc")" = 0 ]; then
    result=ok
  else
    result="FAILED (exit $(cat "$work/$name.rc"))"
    failed=1
  fi
  printf '%-14s %12s %10s  %s\n' "$name" "${execs:-?}" "${units:-?}" "$result"
  if [ "$result" != ok ]; then
    grep -E 'property failed|ERROR: |SUMMARY|runtime error|Test unit written' "$log" | head -20 | sed 's/^/    /' >&2
  fi
done
exit "$failed"
