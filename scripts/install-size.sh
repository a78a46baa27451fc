#!/usr/bin/env bash
# What installing packages costs on a clean Debian 12: in a copy of the clean
# system scripts/check-deb.sh keeps (made first if missing), apt simulates
# `apt-get install --no-install-recommends` of the packages, and the
# Installed-Size of every package it would install is added up. Nothing is
# installed. Needs root and the Debian mirror.
#
#   scripts/install-size.sh GROUP|PACKAGE...
#
# A word that is one of scripts/setup.sh's groups (run, test, fuzz, package)
# stands for its packages. Prints the number of packages, the download and
# the installed size in MB (10^6 bytes, as apt counts); INSTALL_SIZE_LIST=FILE
# also writes the packages with their sizes in KiB to FILE.
#   scripts/install-size.sh run                 what scripts/run.sh installs
#   scripts/install-size.sh run test fuzz package   every group
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# shellcheck source=clean-system.sh
. "$here/scripts/clean-system.sh"

case "${1:-}" in
  ""|-h|--help) awk 'NR > 1 && /^#/ { sub(/^# ?/, ""); print; next } NR > 1 { exit }' "${BASH_SOURCE[0]}"; exit 0 ;;
esac
[ "$(id -u)" -eq 0 ] || { echo "install-size: needs root (debootstrap, chroot)" >&2; exit 2; }

packages=()
for word in "$@"; do
  if names=$("$here/scripts/setup.sh" --packages "$word" 2>/dev/null); then
    mapfile -t -O "${#packages[@]}" packages <<< "$names"
  else
    packages+=("$word")
  fi
done

work=$(realpath -m "${CHECK_DIR:-$here/build-package/check}")
base=$work/bookworm
mkdir -p "$work"
exec 9> "$work.lock"
flock -n 9 || { echo "install-size: a check is running in $work" >&2; exit 2; }
make_clean_system "$base" "${DEBIAN_MIRROR:-http://deb.debian.org/debian}" "$work/debootstrap.log"

root=$work/size-root
rm -rf --one-file-system "$root"
cp -a "$base" "$root"
trap 'rm -rf --one-file-system "$root"' EXIT
cp -L /etc/resolv.conf "$root/etc/resolv.conf"
in_root() { chroot "$root" env -i PATH=/usr/bin:/bin:/usr/sbin:/sbin LANG=C.UTF-8 "$@"; }
in_root apt-get update -qq

plan=$(in_root apt-get install -s --no-install-recommends "${packages[@]}")
# "Inst NAME (VERSION ARCHIVE [ARCH])": the version apt would install.
mapfile -t inst < <(awk '/^Inst / { gsub(/[()]/, "", $3); print $2 "=" $3 }' <<< "$plan")
in_root apt-cache show --no-all-versions "${inst[@]}" |
  awk '/^Package: / { p = $2 } /^Installed-Size: / { print p, $2 }' > "$root/sizes"
[ -z "${INSTALL_SIZE_LIST:-}" ] || sort -k2,2nr "$root/sizes" > "$INSTALL_SIZE_LIST"
awk -v n="${#inst[@]}" '{ kib += $2 } END { printf "%d packages, %.1f MB installed\n", n, kib * 1024 / 1e6 }' "$root/sizes"
# apt's own count of the same, as a cross-check (it stops at its question).
in_root apt-get install --assume-no --no-install-recommends "${packages[@]}" 2>/dev/null |
  grep -E '^(Need to get|After this operation)' || true
