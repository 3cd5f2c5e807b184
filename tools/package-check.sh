#!/bin/bash
# package-check.sh BUILD_DIR: the Debian packages that make package left in BUILD_DIR, as a user
# gets them: unpacked into a scratch root (BUILD_DIR/root), judged by lintian, the systemd unit
# verified by systemd-analyze, the installed service asking the simulated modem, and the consumer
# built against the installed development files.
set -u
build=$(cd "$1" && pwd)
source_dir=$(cd "$(dirname "$0")/.." && pwd)
root=$build/root
sim_pid=""
fail() {
  echo "package check failed: $*" >&2
  [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null
  exit 1
}
shopt -s nullglob
debs=("$build"/*.deb)
[ ${#debs[@]} -eq 4 ] || fail "expected the four packages in $build, found ${#debs[@]}"

# Tags that stay, each explained in the README: the telephony library keeps the name its platform
# gives it; the platform package carries two libraries; CPack's maintainer scripts call ldconfig.
lintian --fail-on error,warning --suppress-tags \
  shared-library-lacks-version,package-name-doesnt-match-sonames,maintscript-calls-ldconfig "${debs[@]}" ||
  fail "lintian"
echo "lintian: nothing beyond the three tags the README explains"

rm -rf "$root" && mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates" || fail "cannot make $root"
touch "$root/var/lib/dpkg/status" "$root/var/lib/dpkg/available"
dpkg --root="$root" --force-depends --force-not-root --log=/dev/null --unpack "${debs[@]}" >/dev/null ||
  fail "the packages do not unpack"
libdir=$(dirname "$(find "$root/usr/lib" -name 'libzavdmreg.so.1' | head -n 1)")
for file in "$libdir/libzavdmreg.so.1" "$libdir/libzavtapi.so" "$libdir/libdmnative.so.02" "$libdir/libzavdmreg.so" \
            "$root/usr/include/zavdmreg/DM_RegLaunch.h" "$root/usr/include/zavdmreg/dmt.hpp" "$root/usr/bin/dmregd" \
            "$root/etc/dmreg/dmregd.conf.dpkg-new" "$root/etc/dmreg/tree.txt.dpkg-new" "$root/usr/lib/systemd/system/dmregd.service" \
            "$root/lib/udev/rules.d/77-dmreg-modem.rules" "$root/usr/share/man/man8/dmregd.8.gz"; do
  [ -e "$file" ] || fail "${file#"$root"} is not installed"
done
dpkg-deb -f "$build"/dmregd_*.deb Depends | grep -q 'libzavdmreg1 (= ' || fail "dmregd does not depend on libzavdmreg1"
echo "unpacked into $root: libraries, headers, service, configuration, unit, udev rule, manual pages"

mkdir -p "$build/unit" && unit=$build/unit/dmregd.service
sed "s|/usr/bin/dmregd|$root/usr/bin/dmregd|" "$root/usr/lib/systemd/system/dmregd.service" > "$unit"
systemd-analyze verify "$unit" || fail "systemd-analyze verify"
echo "systemd-analyze verify: the unit is sound"

# The installed service and simulator, on the installed libraries. (The configuration files wait
# as .dpkg-new for dpkg --configure, which only a real root can run.)
export LD_LIBRARY_PATH=$libdir
mkdir -p "$build/sim" && fifo=$build/sim/control && rm -f "$fifo" && mkfifo "$fifo"
"$root/usr/bin/dmreg-modem-sim" --link "$build/sim/modem" < "$fifo" > "$build/sim/answers" &
sim_pid=$!
exec 3> "$fifo"
for _ in $(seq 50); do [ -e "$build/sim/modem" ] && break; sleep 0.1; done
echo "modem = $build/sim/modem" > "$build/sim/dmregd.conf"
"$root/usr/bin/dmregd" --check --config "$build/sim/dmregd.conf" > "$build/sim/check" 2>&1 || fail "dmregd --check: $(cat "$build/sim/check")"
grep -qx 'IMSI: 001010123456789' "$build/sim/check" || fail "dmregd --check did not read the IMSI: $(cat "$build/sim/check")"
exec 3>&-
wait "$sim_pid"
sim_pid=""
echo "the installed dmregd --check read the simulated modem"
unset LD_LIBRARY_PATH

bash "$source_dir/tests/consumer/consumer_test.sh" "$build" "$source_dir" "$root/usr" || fail "the consumer"
echo "the consumer builds against the unpacked development package, with find_package and with pkg-config"
