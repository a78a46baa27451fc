# shellcheck shell=bash
# Sourced by scripts/check-deb.sh and scripts/install-size.sh: the clean
# Debian 12 they work in, made once with debootstrap and then kept.
#
#   make_clean_system BASE MIRROR LOG   makes BASE unless it is complete;
#                                       debootstrap's output goes to LOG
# BASE/.complete marks a finished system: an interrupted one is made anew.
make_clean_system() {
  local base=$1 mirror=$2 log=$3
  [ -f "$base/.complete" ] && return 0
  [ -d "$base" ] && rm -rf --one-file-system "$base"
  debootstrap --variant=minbase bookworm "$base" "$mirror" > "$log" 2>&1 ||
    { tail -n 20 "$log" >&2; echo "debootstrap failed (log: $log)" >&2; return 1; }
  cat > "$base/etc/apt/sources.list" <<EOF
deb $mirror bookworm main
deb $mirror bookworm-updates main
deb ${DEBIAN_SECURITY_MIRROR:-http://deb.debian.org/debian-security} bookworm-security main
EOF
  # No services start inside the test system.
  printf '#!/bin/sh\nexit 101\n' > "$base/usr/sbin/policy-rc.d"
  chmod 755 "$base/usr/sbin/policy-rc.d"
  touch "$base/.complete"
}
