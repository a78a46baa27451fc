#!/usr/bin/env bash
# `cmake --install` of a build into a scratch folder: exactly the three
# programs, their man pages (when the build had help2man), the menu entry, the
# icon, z500ctl's bash completion and the documents land there (nothing from
# tests or libraries), the entry is valid and its Exec is the installed
# program, the man pages are gzip'd and name their program, no program
# carries a run path into the build tree, and they all start from the
# installed place.
#   InstallTest.sh BUILD_DIR
set -euo pipefail
build=$1
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

prefix=$scratch/root/usr
cmake --install "$build" --prefix "$prefix" > "$scratch/install.log" ||
  { cat "$scratch/install.log" >&2; fail "cmake --install"; }

man=
grep -q '^HELP2MAN:FILEPATH=/' "$build/CMakeCache.txt" && man=1
doc=share/doc/z500-manager
expected=$({
  printf '%s\n' bin/z500-manager bin/z500-sim bin/z500ctl share/applications/z500-manager.desktop \
    share/bash-completion/completions/z500ctl share/icons/hicolor/scalable/apps/z500-manager.svg \
    $doc/changelog.gz $doc/copyright $doc/install.md $doc/simulator.md $doc/user-guide.md $doc/z500ctl.md \
    $doc/settings-dialog-en.png $doc/settings-dialog-zh.png
  for f in connect parameters directory delete-confirm format-confirm upgrade-file upgrade-done; do
    echo "$doc/guide/$f.png"
  done
  [ -z "$man" ] || printf 'share/man/man1/%s.1.gz\n' z500-manager z500-sim z500ctl
} | LC_ALL=C sort)
actual=$(cd "$prefix" && find . -type f -o -type l | sed 's|^\./||' | LC_ALL=C sort)
[ "$actual" = "$expected" ] || fail "installed files differ:
$(diff <(echo "$expected") <(echo "$actual"))"
for b in z500-manager z500ctl z500-sim; do
  [ -x "$prefix/bin/$b" ] || fail "$b is not executable"
  if readelf -d "$prefix/bin/$b" | grep -E 'R(UN)?PATH' | grep -qF "$build"; then
    fail "$b has a run path into the build tree"
  fi
done

if [ -n "$man" ]; then
  for b in z500-manager z500ctl z500-sim; do
    page=$prefix/share/man/man1/$b.1.gz
    head=$(gzip -dc "$page" | grep -m1 '^\.TH ') || fail "$b.1.gz is no gzip'd man page"
    [[ "$head" == ".TH ${b^^} \"1\""* ]] || fail "$b.1.gz is titled '$head'"
  done
fi
# Every picture and page the user guide links is there beside it.
for link in $(grep -o '](\(guide/\)\{0,1\}[a-z0-9-]*\.\(png\|md\)' "$prefix/$doc/user-guide.md" | cut -c3-); do
  [ -f "$prefix/$doc/$link" ] || fail "the user guide links $link, which is not installed"
done

# z500ctl's completion as bash runs it: the words offered for a command line
# whose last word is being completed. --port offers the COM names that
# `z500ctl ports` prints (a stand-in here, with a port's indented detail
# lines, which are no port) and all-found.
completion=$prefix/share/bash-completion/completions/z500ctl
if [ -f /usr/share/bash-completion/bash_completion ]; then
  mkdir "$scratch/fake"
  cat > "$scratch/fake/z500ctl" <<'EOF_FAKE'
#!/bin/sh
[ "$1" = ports ] && printf 'COM1  /dev/ttyS0     open: yes\n      driver serial8250\nCOM2  /dev/ttyUSB0  busy: z500ctl (pid 4711)\n      usb 1a86:7523 USB Serial\n'
EOF_FAKE
  chmod +x "$scratch/fake/z500ctl"
  offered() {  # offered WORD...: the last word is the one being completed
    PATH=$scratch/fake:$PATH bash -c '. /usr/share/bash-completion/bash_completion; . "$0"
      COMP_WORDS=(z500ctl "$@"); COMP_CWORD=$#; COMP_LINE="${COMP_WORDS[*]}"; COMP_POINT=${#COMP_LINE}
      _z500ctl z500ctl; echo "${COMPREPLY[*]}"' "$completion" "$@"
  }
  commands="ports scan params files delete format upgrade sound reset-baud unlog"
  # shellcheck disable=SC2086  # the words of a command line
  while IFS='|' read -r line want; do
    got=$(offered $line "")
    [ "$got" = "$want" ] || fail "completing 'z500ctl $line ': '$got', not '$want'"
  done <<EOF_CASES
|$commands
--port|COM1 COM2 all-found
--port COM2 --timeout 3|$commands
params|set
EOF_CASES
  # shellcheck disable=SC2086
  while IFS='|' read -r line want; do
    [[ " $(offered $line) " == *" $want "* ]] || fail "completing 'z500ctl $line' does not offer $want"
  done <<'EOF_CASES'
format --|--yes
upgrade --|--handshake-timeout
files --port COM1 --|--json
--|--trace
EOF_CASES
else
  echo "no bash-completion: the completion is only parsed (scripts/setup.sh's test group installs it)"
  bash -n "$completion" || fail "the bash completion does not parse"
fi

desktop=$prefix/share/applications/z500-manager.desktop
desktop-file-validate "$desktop" || fail "desktop-file-validate"
export PATH=$prefix/bin:$PATH
exec_line=$(sed -n 's/^Exec=//p' "$desktop")
[ "$(command -v "${exec_line%% *}")" = "$prefix/bin/z500-manager" ] ||
  fail "Exec=$exec_line is not the installed program"
[ "$(sed -n 's/^Icon=//p' "$desktop")" = z500-manager ] || fail "Icon is not the installed icon's name"
grep -q '^Name\[zh_CN\]=' "$desktop" || fail "no Chinese name"

for b in z500ctl z500-sim; do
  help=$("$b" --help) || fail "$b --help ended with an error"
  grep -q "^Usage: $b" <<< "$help" || fail "$b --help printed no usage"
done
[ "$(z500-sim --version)" = "z500-sim $(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")" ] ||
  fail "z500-sim --version printed '$(z500-sim --version)'"

# The window, started as the menu starts it, is still up after two seconds
# and has nothing to complain about.
mkdir -m 0700 "$scratch/run"
status=0
XDG_RUNTIME_DIR=$scratch/run QT_QPA_PLATFORM=offscreen timeout 2 sh -c "exec $exec_line" \
  2> "$scratch/window.err" || status=$?
[ "$status" -eq 124 ] || fail "the window ended by itself (status $status): $(cat "$scratch/window.err")"
[ ! -s "$scratch/window.err" ] || fail "the window wrote: $(cat "$scratch/window.err")"
echo "installed tree checked"
