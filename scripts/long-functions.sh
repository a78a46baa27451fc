#!/usr/bin/env bash
# Lists the longest functions of the given folders (default: the product's
# own code), longest first: lines, file:line, name. Uses universal-ctags.
#
#   scripts/long-functions.sh [--most N] [FOLDER...]
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
most=10
if [ "${1:-}" = --most ]; then most=$2; shift 2; fi
cd "$here"
folders=("$@")
[ ${#folders[@]} -gt 0 ] || folders=(base comm receiver app cli sim)
existing=()
for f in "${folders[@]}"; do [ -d "$f" ] && existing+=("$f"); done
ctags -R --languages=C++ --kinds-C++=f --fields=+ne --output-format=json -f - "${existing[@]}" |
  python3 -c '
import json, sys
rows = []
for line in sys.stdin:
    t = json.loads(line)
    if "end" in t:
        scope = t.get("scope", "")
        name = (scope + "::" if scope else "") + t["name"]
        rows.append((t["end"] - t["line"] + 1, "%s:%d" % (t["path"], t["line"]), name))
rows.sort(key=lambda r: -r[0])
for n, where, name in rows[:int(sys.argv[1])]:
    print("%5d  %-40s %s" % (n, where, name))
' "$most"
