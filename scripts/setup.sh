#!/usr/bin/env bash
# Installs the Debian packages that building, testing, benchmarking and the
# window need (only those missing), then configures and builds into build/.
# Safe to run again: a second run installs nothing and rebuilds incrementally.
#
#   scripts/setup.sh                  default build (RelWithDebInfo) in build/
#   BUILD_DIR=build-tsan SANITIZE=thread scripts/setup.sh
#   BUILD_TARGET=tsan_tests ...       build one target instead of everything
#   CXX=clang++ BUILD_DIR=build-fuzz FUZZ=1 BUILD_TARGET=fuzz_targets scripts/setup.sh
#                                     the libFuzzer targets (scripts/fuzz.sh does this)
#   SETUP_NO_BUILD=1 scripts/setup.sh # packages only
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

packages=(
  build-essential cmake ninja-build pkg-config
  qt6-base-dev libgl-dev qt6-svg-dev
  libgtest-dev libgmock-dev libbenchmark-dev libcli11-dev
  libboost-dev qt6-serialport-dev libserialport-dev
  fonts-wqy-microhei xvfb xdotool x11-apps x11-utils imagemagick
  debootstrap desktop-file-utils python3
  clang libclang-rt-14-dev
)

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
[ -n "${SANITIZE:-}" ] && cmake_args+=(-DSANITIZE="$SANITIZE")
[ -n "${FUZZ:-}" ] && cmake_args+=(-DQUARL_FUZZ=ON)

cmake "${cmake_args[@]}" >/dev/null
build_args=(--build "$build_dir" --parallel "$(nproc)")
[ -n "${BUILD_TARGET:-}" ] && build_args+=(--target "$BUILD_TARGET")
cmake "${build_args[@]}"
