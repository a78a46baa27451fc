#!/usr/bin/env bash
# Runs the Z500 manager (building it first, with scripts/setup.sh).
#
#   scripts/run.sh                    the window, with a simulated receiver on COM1
#                                     holding 20 observation files
#   scripts/run.sh -- --files 40      ... options after -- go to the simulator
#                                     (in place of the 20 files)
#   scripts/run.sh --real             the window on the machine's serial ports only
#
# With the simulator, z500-sim runs on a pseudo-terminal that QUARLCOMM_PORTS
# maps as COM1; the machine's own ports keep their numbers around it (a USB
# adapter that would have been COM1 becomes COM2). The simulator stops when
# the window closes.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

mode=sim
# Without options of its own the simulated receiver holds a day's worth of
# files, so that there is something to list, delete and format.
sim_args=(--files 20)
while [ $# -gt 0 ]; do
  case "$1" in
    --real) mode=real ;;
    --sim) mode=sim ;;
    -h|--help) awk 'NR > 1 && /^#/ { sub(/^# ?/, ""); print; next } NR > 1 { exit }' "${BASH_SOURCE[0]}"; exit 0 ;;
    --) shift; sim_args=("$@"); break ;;
    *) echo "run: unknown option $1 (try --help)" >&2; exit 2 ;;
  esac
  shift
done

build_dir=${BUILD_DIR:-$here/build}
case "$build_dir" in /*) ;; *) build_dir=$here/$build_dir ;; esac
tool=$build_dir/app/z500-manager
sim=$build_dir/sim/z500-sim

# Only the packages of building and running (scripts/setup.sh's group "run")
# and the two programs: a new build folder is configured without the tests,
# benchmarks and tools, which need the test packages. An existing one keeps
# its settings, so run.sh and scripts/test.sh share build/ either way round:
# test.sh turns the tests on there when it first builds.
[ -x "$tool" ] || echo "run: building (the first time installs packages; it takes a few minutes) ..."
log=$(mktemp "${TMPDIR:-/tmp}/z500-build.XXXXXX")
if ! { SETUP_GROUPS=run PROGRAMS_ONLY=1 BUILD_DIR=$build_dir BUILD_TARGET=z500-manager "$here/scripts/setup.sh" &&
       cmake --build "$build_dir" --target z500-sim; } >"$log" 2>&1; then
  cat "$log" >&2
  rm -f "$log"
  echo "run: the build failed" >&2
  exit 1
fi
rm -f "$log"

if [ -z "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
  echo "run: no display. Start it from a desktop session, or without one under" >&2
  echo "     a virtual screen: xvfb-run -a scripts/run.sh" >&2
  exit 1
fi

if [ "$mode" = real ]; then
  exec "$tool"
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/z500-run.XXXXXX")
sim_pid=
cleanup() {
  if [ -n "$sim_pid" ]; then
    kill "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

"$sim" --link "$work/receiver" "${sim_args[@]}" >"$work/sim.out" &
sim_pid=$!

# The simulator prints the line to start the tool with once its line is up.
ports=
for _ in $(seq 100); do
  ports=$(grep -m1 '^QUARLCOMM_PORTS=' "$work/sim.out" || true)
  [ -n "$ports" ] && break
  kill -0 "$sim_pid" 2>/dev/null || break
  sleep 0.05
done
cat "$work/sim.out"
if [ -z "$ports" ]; then
  echo "run: the simulator did not start" >&2
  exit 1
fi
ports=${ports#QUARLCOMM_PORTS=}
echo "run: the simulated receiver is COM1; open it with 打开串口. --real leaves it out."

QUARLCOMM_PORTS="$ports${QUARLCOMM_PORTS:+,$QUARLCOMM_PORTS}" "$tool"
