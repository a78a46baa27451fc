#!/usr/bin/env bash
# Builds the benchmarks (installing what they need) and runs them all, each
# with its baselines in the same run; about five minutes on two cores. The
# output is what docs/performance.md tabulates. Run it on a quiet machine:
# other load shows in every figure.
#
#   scripts/bench.sh                 everything, into build/
#   BENCH_REPEATS=3 scripts/bench.sh fewer repeats (default 5)
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build_dir=${BUILD_DIR:-$here/build}
export QT_QPA_PLATFORM=${QT_QPA_PLATFORM:-offscreen}

SETUP_GROUPS="run test" BUILD_DIR="$build_dir" "$here/scripts/setup.sh" >/dev/null

echo "== $(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg) =="
for run in "queue_bench" "engine_bench 16" "package_latency_bench 500" "window_bench"; do
  echo
  echo "== $run =="
  # shellcheck disable=SC2086
  "$build_dir/bench/"$run 2> >(grep -v XDG_RUNTIME_DIR >&2)
done
echo
echo "== done, load $(cut -d' ' -f1-3 /proc/loadavg) =="
