#!/usr/bin/env bash
# Regenerates base/Gb2Big5Table_generated.cpp. Needs Debian's opencc (for its
# simplified-to-traditional list); the normal build does not.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
build=${BUILD_DIR:-$here/build}

if ! command -v opencc_dict >/dev/null; then
  sudo=(); [ "$(id -u)" -eq 0 ] || sudo=(sudo)
  "${sudo[@]}" apt-get install -y -qq opencc
fi
dict=/usr/share/opencc/STCharacters.ocd2
list=$(mktemp --suffix=.txt)
trap 'rm -f "$list"' EXIT
opencc_dict -i "$dict" -o "$list" -f ocd2 -t text

cmake --build "$build" --target gen_gb2big5
"$build/tools/gen_gb2big5" "$list" "$here/base/Gb2Big5Table_generated.cpp"
