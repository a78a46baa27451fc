#!/usr/bin/env bash
# A survey crew's day with z500ctl against separate z500-sim processes, each
# on a pseudo-terminal paced like a 19200 baud line, mapped as COM1... through
# QUARLCOMM_PORTS. Prints the wall time of each step next to its baseline:
#   scan over 8 ports (4 receivers, 1 echoing line, 3 silent) against --timeout;
#   params set on 1, 4 and 8 receivers at once, against 1;
#   a 64 KiB upgrade on 1 receiver, then on 4 at once: each one's rate.
#
#   bench/crew.sh [BUILD_DIR]        default build/ (z500ctl and z500-sim built)
#   CREW_SKIP_UPGRADE=1 bench/crew.sh   leaves the upgrade rows out (about 130 s)
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${1:-$here/build}
ctl=$build/cli/z500ctl
sim=$build/sim/z500-sim
[ -x "$ctl" ] && [ -x "$sim" ] || { echo "crew: build z500ctl and z500-sim into $build first" >&2; exit 2; }

work=$(mktemp -d "${TMPDIR:-/tmp}/z500-crew.XXXXXX")
pids=()
cleanup() {
  local p
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  for p in "${pids[@]}"; do wait "$p" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# start_sims FIRST COUNT SIM-OPTIONS...: simulators COM<FIRST>... on links in $work.
start_sims() {
  local first=$1 count=$2 i
  shift 2
  for ((i = first; i < first + count; i++)); do
    "$sim" --link "$work/com$i" "$@" > "$work/sim$i.log" 2>&1 &
    pids+=($!)
  done
  for ((i = first; i < first + count; i++)); do
    for _ in $(seq 100); do [ -L "$work/com$i" ] && break; sleep 0.05; done
    [ -L "$work/com$i" ] || { echo "crew: simulator $i did not start" >&2; exit 1; }
  done
}
stop_sims() {
  local p
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  for p in "${pids[@]}"; do wait "$p" 2>/dev/null || true; done
  pids=()
  rm -f "$work"/com*
}
ports_map() {  # ports_map COUNT: QUARLCOMM_PORTS for COM1..COUNT
  local i map=
  for ((i = 1; i <= $1; i++)); do map+="${map:+,}COM$i=$work/com$i"; done
  echo "$map"
}
port_args() {  # port_args COUNT: --port COM1 ... --port COMCOUNT
  local i
  for ((i = 1; i <= $1; i++)); do printf -- '--port\nCOM%d\n' "$i"; done
}
now() { date +%s.%N; }
elapsed() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", b - a }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2fx", a / b }'; }

echo "== $(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg) =="

# --- scan ------------------------------------------------------------------------
timeout_s=2
start_sims 1 4
start_sims 5 1 --echo
start_sims 6 3 --silent
export QUARLCOMM_PORTS; QUARLCOMM_PORTS=$(ports_map 8)
t0=$(now)
"$ctl" --timeout "$timeout_s" scan > "$work/scan.out" || true
t1=$(now)
scan=$(elapsed "$t0" "$t1")
sed 's/^/  /' "$work/scan.out"
echo "scan of 8 ports: ${scan} s, --timeout ${timeout_s} s: $(ratio "$scan" "$timeout_s") of the time-out"
stop_sims

# --- params set ------------------------------------------------------------------
start_sims 1 8
QUARLCOMM_PORTS=$(ports_map 8)
declare -A set_time
for n in 1 4 8; do
  mapfile -t args < <(port_args "$n")
  best=
  for _ in 1 2 3; do
    t0=$(now)
    "$ctl" "${args[@]}" params set 5 12 > "$work/set.out" 2>&1 || { cat "$work/set.out" >&2; echo "crew: params set on $n failed" >&2; exit 1; }
    t1=$(now)
    t=$(elapsed "$t0" "$t1")
    best=$(awk -v a="${best:-1e9}" -v b="$t" 'BEGIN { print (b < a ? b : a) }')
  done
  set_time[$n]=$best
  echo "params set on $n receiver(s) at once: best of 3 ${best} s ($(ratio "$best" "${set_time[1]}") of one)"
done
stop_sims

# --- upgrade ---------------------------------------------------------------------
if [ -z "${CREW_SKIP_UPGRADE:-}" ]; then
  image=$work/Z500.088.rxf
  head -c 65536 /dev/urandom > "$image"
  rate() { sed -n 's/.*upgraded [0-9]* bytes in [0-9.]* s (\([0-9]*\) B\/s).*/\1/p' "$1"; }
  start_sims 1 4
  QUARLCOMM_PORTS=$(ports_map 4)
  "$ctl" --port COM1 upgrade "$image" > "$work/up1.out" 2>&1 || { cat "$work/up1.out" >&2; exit 1; }
  single=$(rate "$work/up1.out")
  echo "64 KiB upgrade, 1 receiver: $single B/s"
  stop_sims
  start_sims 1 4
  mapfile -t args < <(port_args 4)
  "$ctl" "${args[@]}" upgrade "$image" > "$work/up4.out" 2>&1 || { cat "$work/up4.out" >&2; exit 1; }
  while read -r r; do
    echo "64 KiB upgrade, 4 at once: $r B/s ($(ratio "$r" "$single") of one)"
  done < <(rate "$work/up4.out")
  stop_sims
fi
echo "== done, load $(cut -d' ' -f1-3 /proc/loadavg) =="
