#!/usr/bin/env bash
# Builds the Debian package of the Z500 manager: a Release build of the three
# programs and their man pages in build-package/ (no tests, benchmarks or
# tools), then cpack.
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

# Debian's hardening flags (fortified libc calls, a read-only GOT, ...), as
# dpkg-buildflags gives them to Debian packages (all of them, with bindnow).
# Without tests, benchmarks and tools the build is the three programs, their
# man pages (required here) and the compressed changelog.
export DEB_BUILD_MAINT_OPTIONS=${DEB_BUILD_MAINT_OPTIONS:-hardening=+all}
flags="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS)"
cmake -S "$here" -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUARL_REQUIRE_MAN_PAGES=ON \
  -DCMAKE_CXX_FLAGS="$flags" -DCMAKE_EXE_LINKER_FLAGS="$(dpkg-buildflags --get LDFLAGS)" \
  -DQUARL_BUILD_TESTS=OFF -DQUARL_BUILD_TOOLS=OFF -DQUARL_BUILD_BENCH=OFF >/dev/null
cmake --build "$build_dir" --parallel "$(nproc)"

rm -f "$build_dir"/package/*.deb
(cd "$build_dir" && cpack -G DEB > "$build_dir/cpack.log") || { cat "$build_dir/cpack.log" >&2; exit 1; }
debs=("$build_dir"/package/*.deb)
[ -f "${debs[0]}" ] || { echo "package: cpack made no .deb" >&2; exit 1; }
echo "${debs[0]}"
