#!/bin/sh
# z500-manager --help and --version with no display at all: each prints its
# text and exits 0 (help2man runs both while the package is built); --trace
# without a file name is a usage error (exit 2).
set -u
program=$1
unset DISPLAY WAYLAND_DISPLAY QT_QPA_PLATFORM
help=$("$program" --help) || { echo "--help exited $?"; exit 1; }
case $help in "Usage: z500-manager"*) ;; *) echo "--help printed: $help"; exit 1 ;; esac
version=$("$program" --version) || { echo "--version exited $?"; exit 1; }
case $version in "z500-manager "[0-9]*) ;; *) echo "--version printed: $version"; exit 1 ;; esac
"$program" --trace >/dev/null 2>&1
rc=$?
[ "$rc" = 2 ] || { echo "--trace without a file exited $rc"; exit 1; }
