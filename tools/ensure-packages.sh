#!/bin/sh
# ensure-packages.sh PACKAGE...: installs the Debian packages that are missing, with apt-get when
# run as root. Exits 1 when something is missing and cannot be installed here.
missing=""
for p in "$@"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
[ -z "$missing" ] && exit 0
if [ "$(id -u)" = 0 ]; then
  echo "installing:$missing"
  { apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $missing; } >/dev/null || exit 1
  exit 0
fi
echo "missing packages:$missing"
echo "install them with: sudo apt-get install$missing"
exit 1
