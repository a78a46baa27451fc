#!/usr/bin/env bash
# Installs the Debian packages of the groups asked for (only those missing),
# then configures and builds into build/. Safe to run again: a second run
# installs nothing and rebuilds incrementally.
#
#   scripts/setup.sh                  default build (RelWithDebInfo) in build/:
#                                     everything, with the tests, benchmarks and tools
#   BUILD_DIR=build-tsan SANITIZE=thread scripts/setup.sh
#   BUILD_TARGET=tsan_tests ...       build one target instead of everything
#   CXX=clang++ BUILD_DIR=build-fuzz FUZZ=1 BUILD_TARGET=fuzz_targets scripts/setup.sh
#                                     the libFuzzer targets (scripts/fuzz.sh does this)
#   SETUP_NO_BUILD=1 scripts/setup.sh # packages only
#   SETUP_GROUPS="run package" ...    install these groups (default: run test)
#   PROGRAMS_ONLY=1 ...               a new build folder is configured without the
#                                     tests, benchmarks and tools (they need the test
#                                     group); a folder that exists keeps its settings
#   scripts/setup.sh --packages GROUP...   print the groups' packages and stop
#
# The groups, and the scripts that ask for them:
#   run      compiler, CMake, Ninja, Qt, CLI11 and the window's Chinese font:
#            building and running the three programs (scripts/run.sh)
#   test     GoogleTest, Python, Xvfb, xdotool and ImageMagick (the acceptance
#            test drives the window on a virtual screen and takes pictures),
#            desktop-file-utils, help2man and bash-completion (the install
#            test), and the libraries only the benchmarks and examples link
#            (Boost, QSerialPort, libserialport): scripts/test.sh, bench.sh,
#            screenshots.sh
#   fuzz     clang and its sanitizer and libFuzzer runtime (scripts/fuzz.sh)
#   package  help2man (the man pages), file and dpkg-dev (cpack), lintian,
#            debootstrap, and what the clean-install check runs outside the test
#            system (Xvfb, xdotool, xprop, ImageMagick, desktop-file-validate):
#            scripts/package.sh, check-deb.sh, install-size.sh
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

declare -A groups=(
  [run]="build-essential cmake ninja-build pkg-config qt6-base-dev libgl-dev qt6-svg-dev
         libcli11-dev fonts-wqy-microhei"
  [test]="libgtest-dev libgmock-dev python3 xvfb xdotool imagemagick desktop-file-utils help2man
          bash-completion libboost-dev qt6-serialport-dev libserialport-dev"
  [fuzz]="clang libclang-rt-14-dev"
  [package]="help2man file dpkg-dev lintian debootstrap xvfb xdotool x11-utils imagemagick
             desktop-file-utils"
)

# packages_of GROUP...: the packages of the groups, one per line, each once.
packages_of() {
  local g
  for g in "$@"; do
    [ -n "${groups[$g]+x}" ] || { echo "setup: no group '$g' (run, test, fuzz, package)" >&2; exit 2; }
  done
  for g in "$@"; do
    # shellcheck disable=SC2086  # a list of names, split into words
    printf '%s\n' ${groups[$g]}
  done | awk '!seen[$0]++'
}

if [ "${1:-}" = --packages ]; then
  shift
  packages_of "${@:-run}"
  exit 0
fi

# shellcheck disable=SC2086  # a list of group names
packages=$(packages_of ${SETUP_GROUPS:-run test})
mapfile -t packages <<< "$packages"

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ "${#missing[@]}" -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  sudo=()
  if [ "$(id -u)" -ne 0 ]; then
    command -v sudo >/dev/null || { echo "setup: need root or sudo to install packages" >&2; exit 1; }
    sudo=(sudo)
  fi
  export DEBIAN_FRONTEND=noninteractive
  "${sudo[@]}" apt-get update -qq
  "${sudo[@]}" apt-get install -y -qq -o Dpkg::Use-Pty=0 --no-install-recommends "${missing[@]}" >/dev/null
fi

[ -n "${SETUP_NO_BUILD:-}" ] && exit 0

build_dir=${BUILD_DIR:-$here/build}
case "$build_dir" in /*) ;; *) build_dir=$here/$build_dir ;; esac

cmake_args=(-S "$here" -B "$build_dir" -G Ninja
            -DCMAKE_BUILD_TYPE="${BUILD_TYPE:-RelWithDebInfo}")
# The tests, benchmarks and tools are named every time, so that a folder
# first made by scripts/run.sh gets them when the test scripts build there.
if [ -z "${PROGRAMS_ONLY:-}" ]; then
  cmake_args+=(-DQUARL_BUILD_TESTS=ON -DQUARL_BUILD_BENCH=ON -DQUARL_BUILD_TOOLS=ON)
elif [ ! -f "$build_dir/CMakeCache.txt" ]; then
  cmake_args+=(-DQUARL_BUILD_TESTS=OFF -DQUARL_BUILD_BENCH=OFF -DQUARL_BUILD_TOOLS=OFF)
fi
[ -n "${SANITIZE:-}" ] && cmake_args+=(-DSANITIZE="$SANITIZE")
[ -n "${FUZZ:-}" ] && cmake_args+=(-DQUARL_FUZZ=ON)

cmake "${cmake_args[@]}" >/dev/null
build_args=(--build "$build_dir" --parallel "$(nproc)")
[ -n "${BUILD_TARGET:-}" ] && build_args+=(--target "$BUILD_TARGET")
cmake "${build_args[@]}"
