#!/usr/bin/env bash
# Makes the pictures of the window for the user guide: builds the tool and
# the acceptance test (with scripts/setup.sh), then runs the test, which
# drives the real window on a virtual screen of its own against a simulated
# receiver and saves a picture at each step into docs/guide/ (connect.png,
# parameters.png, directory.png, delete-confirm.png, format-confirm.png,
# upgrade-file.png, upgrade-done.png) and one of the whole screen at the end
# into docs/acceptance.png.
#
#   scripts/screenshots.sh
#   SHOTS_DIR=/tmp/shots scripts/screenshots.sh   pictures somewhere else
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

build_dir=${BUILD_DIR:-$here/build}
case "$build_dir" in /*) ;; *) build_dir=$here/$build_dir ;; esac
shots=${SHOTS_DIR:-$here/docs/guide}
case "$shots" in /*) ;; *) shots=$PWD/$shots ;; esac
screen=${SCREEN_SHOT:-$here/docs/acceptance.png}
case "$screen" in /*) ;; *) screen=$PWD/$screen ;; esac

SETUP_GROUPS="run test" BUILD_DIR="$build_dir" BUILD_TARGET=acceptance_tests "$here/scripts/setup.sh"
mkdir -p "$shots" "$(dirname "$screen")"
ACCEPTANCE_SHOTS="$shots" ACCEPTANCE_SCREEN="$screen" \
  ctest --test-dir "$build_dir" -L acceptance --output-on-failure
# A skipped test (no Xvfb or xdotool) passes without pictures.
for f in connect parameters directory delete-confirm format-confirm upgrade-file upgrade-done; do
  [ -s "$shots/$f.png" ] || { echo "screenshots: $shots/$f.png was not made" >&2; exit 1; }
done
[ -s "$screen" ] || { echo "screenshots: $screen was not made" >&2; exit 1; }
echo "screenshots: pictures in $shots and $screen"
