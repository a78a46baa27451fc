#!/bin/sh
# help2man runs this in place of the program named in MAN_PROGRAM, as
# "help-text.sh --help" (or --help-all): the program runs under a time limit,
# without a display, and its help text is passed on with "Exit codes:"
# turned into help2man's mark for a section of its own (EXIT STATUS).
# A program that does not answer fails the build; the message goes to the
# file MAN_LOG as well as stderr, as help2man does not show stderr.
limit=${MAN_TIMEOUT:-10}
log=${MAN_LOG:-/dev/null}
: > "$log"
runtime=$(mktemp -d) || exit 1
status=0
text=$(XDG_RUNTIME_DIR=$runtime QT_QPA_PLATFORM=offscreen timeout "$limit" "$MAN_PROGRAM" "$@" 2>/dev/null) ||
  status=$?
rm -rf "$runtime"
if [ "$status" -ne 0 ] || [ -z "$text" ]; then
  echo "help-text.sh: '$MAN_PROGRAM $*' failed (status $status)" | tee -a "$log" >&2
  exit 1
fi
printf '%s\n' "$text" | sed 's/^Exit codes:$/*Exit status*/'
