#!/bin/sh
# ensure-packages.sh PACKAGE...: installs the Debian packages that are missing, with apt-get when
# run as root; a package of another architecture (libc6:armhf) has its architecture added to
# dpkg first. Exits 1 when something is missing and cannot be installed here.
missing=""
architectures=""
for p in "$@"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" && continue
  missing="$missing $p"
  case "$p" in
    *:*) dpkg --print-foreign-architectures | grep -qx "${p#*:}" || architectures="$architectures ${p#*:}" ;;
  esac
done
[ -z "$missing" ] && exit 0
if [ "$(id -u)" = 0 ]; then
  echo "installing:$missing"
  for a in $(echo "$architectures" | tr ' ' '\n' | sort -u); do
    dpkg --add-architecture "$a" || exit 1
  done
  { apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $missing; } >/dev/null || exit 1
  exit 0
fi
echo "missing packages:$missing"
echo "install them with: sudo apt-get install$missing"
exit 1
