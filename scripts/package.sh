#!/usr/bin/env bash
# Builds the Debian package of the Z500 manager: a Release build of the three
# programs in build-package/ (no tests, benchmarks or tools), then cpack.
# Prints the path of the .deb on its last line.
#
#   scripts/package.sh
#   BUILD_DIR=/tmp/pkg scripts/package.sh      another build directory
#
# The packages it needs come from scripts/setup.sh (its groups run and package).
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

case "${1:-}" in
  -h|--help) awk 'NR > 1 && /^#/ { sub(/^# ?/, ""); print; next } NR > 1 { exit }' "${BASH_SOURCE[0]}"; exit 0 ;;
  "") ;;
  *) echo "package: unknown argument $1 (try --help)" >&2; exit 2 ;;
esac

SETUP_GROUPS="run package" SETUP_NO_BUILD=1 "$here/scripts/setup.sh"

build_dir=${BUILD_DIR:-$here/build-package}
case "$build_dir" in /*) ;; *) build_dir=$here/$build_dir ;; esac

cmake -S "$here" -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DQUARL_BUILD_TESTS=OFF -DQUARL_BUILD_TOOLS=OFF -DQUARL_BUILD_BENCH=OFF >/dev/null
cmake --build "$build_dir" --parallel "$(nproc)" --target z500-manager z500ctl z500-sim

rm -f "$build_dir"/package/*.deb
(cd "$build_dir" && cpack -G DEB >/dev/null)
debs=("$build_dir"/package/*.deb)
[ -f "${debs[0]}" ] || { echo "package: cpack made no .deb" >&2; exit 1; }
echo "${debs[0]}"
