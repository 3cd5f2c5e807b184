#!/bin/sh
# build-packages.sh ARCH DIR: the Debian packages of ARCH (the host's, or armhf, arm64 cross-built)
# from a copy of the source tree as it stands, built with debhelper in DIR/src; the packages land
# in DIR.
set -eu
arch=$1
dir=$(mkdir -p "$2" && cd "$2" && pwd)
source_dir=$(cd "$(dirname "$0")/.." && pwd)
rm -rf "$dir/src" "$dir"/*.deb "$dir"/*.changes "$dir"/*.buildinfo
mkdir -p "$dir/src"
cd "$source_dir"
if git rev-parse --is-inside-work-tree > /dev/null 2>&1; then
  git ls-files -co --exclude-standard | grep -v '^build' | tar -cf - -T - | tar -xf - -C "$dir/src"
else
  tar --exclude='./build*' -cf - . | tar -xf - -C "$dir/src"
fi
cd "$dir/src"
cross=""
[ "$arch" = "$(dpkg --print-architecture)" ] || cross="-a $arch -d"
# shellcheck disable=SC2086
if ! dpkg-buildpackage $cross -b -us -uc -j2 > "$dir/build.log" 2>&1; then
  tail -n 40 "$dir/build.log"
  echo "build-packages: the $arch packages did not build (all in $dir/build.log)" >&2
  exit 1
fi
ls "$dir"/*_"$arch".deb | grep -v dbgsym
