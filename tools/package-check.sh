#!/bin/bash
# package-check.sh BUILD_DIR: the Debian packages that make package and make package-arm left in
# BUILD_DIR (the host's there, armhf and arm64 in BUILD_DIR/armhf and BUILD_DIR/arm64), judged
# with the tools their users' distributions use:
#   lintian with no override but those the packages ship, hardening-check on every ELF file;
#   the unit by systemd-analyze verify and security;
#   the host's packages unpacked into a scratch root: the installed dmregd --check against the
#   installed simulator, an integrator's program against the development package;
#   the ARM packages unpacked into ARM roots: dmregd --check and a whole registration on the
#   simulator, both ARM programs under qemu-user;
#   in a Debian base system (debootstrap): piuparts (install, remove, purge), and the packages
#   installed, upgraded and booted with systemd-nspawn for a registration under the installed unit.
# Everything it writes stays under BUILD_DIR.
set -u
build=$(cd "$1" && pwd)
source_dir=$(cd "$(dirname "$0")/.." && pwd)
host_arch=$(dpkg --print-architecture)
shopt -s nullglob
fail() {
  echo "package check failed: $*" >&2
  exit 1
}
# What was checked, also in BUILD_DIR/report.txt for make test's summary.
: > "$build/report.txt"
report() { echo "$*" | tee -a "$build/report.txt"; }
wait_for() {  # wait_for COMMAND...: within 20 s
  for _ in $(seq 200); do "$@" && return 0; sleep 0.1; done
  return 1
}

folder() { [ "$1" = "$host_arch" ] && echo "$build" || echo "$build/$1"; }
packages() { local dir; dir=$(folder "$1"); echo "$dir"/{libzavdmreg1,zavdmreg-platform,libzavdmreg-dev,dmregd}_*_"$1".deb; }

for arch in "$host_arch" armhf arm64; do
  read -r -a debs <<< "$(packages "$arch")"
  [ ${#debs[@]} -eq 4 ] || fail "expected the four $arch packages in $(folder "$arch"), found ${#debs[@]}"
  lintian --fail-on error,warning "${debs[@]}" > "$(folder "$arch")/lintian.log" 2>&1 || { cat "$(folder "$arch")/lintian.log"; fail "lintian ($arch)"; }
  files=$(folder "$arch")/files
  rm -rf "$files" && mkdir -p "$files"
  for deb in "${debs[@]}"; do dpkg-deb -x "$deb" "$files"; done
  # PIE, stack protector, fortified functions, full RELRO and BIND_NOW (control-flow protection
  # needs a C library built with it, which Debian 12 has not).
  elves=$(find "$files" -type f -exec file {} + | grep ' ELF ' | cut -d: -f1)
  [ -n "$elves" ] || fail "no ELF file in the $arch packages"
  hardening-check --nocfprotection --quiet $elves 2>/dev/null || fail "hardening-check ($arch): $(hardening-check --nocfprotection --quiet $elves 2>&1)"
  report "$arch: lintian finds no error or warning; hardening-check passes $(echo "$elves" | wc -w) ELF files"
done

# The unit, as it is installed, with the programs of the scratch root.
root=$build/root
rm -rf "$root" && mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates" || fail "cannot make $root"
touch "$root/var/lib/dpkg/status" "$root/var/lib/dpkg/available"
read -r -a debs <<< "$(packages "$host_arch")"
dpkg --root="$root" --force-depends --force-not-root --log=/dev/null --unpack "${debs[@]}" >/dev/null ||
  fail "the packages do not unpack"
libdir=$(dirname "$(find "$root/usr/lib" -name 'libzavdmreg.so.1' | head -n 1)")
for file in "$libdir/libzavdmreg.so.1" "$libdir/libzavtapi.so" "$libdir/libdmnative.so.02" "$libdir/libzavdmreg.so" \
            "$root/usr/include/zavdmreg/DM_RegLaunch.h" "$root/usr/include/zavdmreg/dmt.hpp" "$root/usr/sbin/dmregd" \
            "$root/usr/bin/dmreg-modem-sim" "$root/usr/share/dmregd/dmregd.conf" "$root/usr/share/dmregd/tree.txt" \
            "$root/lib/systemd/system/dmregd.service" "$root/lib/udev/rules.d/77-dmreg-modem.rules" \
            "$root/usr/share/man/man8/dmregd.8.gz"; do
  [ -e "$file" ] || fail "${file#"$root"} is not installed"
done
mkdir -p "$build/unit" && unit=$build/unit/dmregd.service
sed "s|/usr/sbin/dmregd|$root/usr/sbin/dmregd|" "$root/lib/systemd/system/dmregd.service" > "$unit"
systemd-analyze verify "$unit" 2>&1 | grep -v "Command 'man dmregd(8)' failed" | grep . && fail "systemd-analyze verify"
exposure=$(systemd-analyze security --offline=true "$unit" 2>/dev/null | sed -n 's/.*Overall exposure level for dmregd.service: \([0-9.]*\).*/\1/p')
awk -v e="$exposure" 'BEGIN { exit !(e != "" && e <= 1.0) }' || fail "the unit's exposure is '$exposure', above 1.0"
report "systemd-analyze: the unit is sound, its exposure $exposure"

# The installed service and simulator, on the installed libraries.
sim=$build/sim
rm -rf "$sim" && mkdir -p "$sim" && mkfifo "$sim/control"
LD_LIBRARY_PATH=$libdir "$root/usr/bin/dmreg-modem-sim" --link "$sim/modem" < "$sim/control" > "$sim/answers" &
exec 3> "$sim/control"
wait_for test -e "$sim/modem" || fail "the installed simulator does not start"
echo "modem = $sim/modem" > "$sim/dmregd.conf"
LD_LIBRARY_PATH=$libdir "$root/usr/sbin/dmregd" --check --config "$sim/dmregd.conf" > "$sim/check" 2>&1 || fail "dmregd --check: $(cat "$sim/check")"
grep -qx 'IMSI: 001010123456789' "$sim/check" || fail "dmregd --check did not read the IMSI: $(cat "$sim/check")"
exec 3>&-
wait
report "the installed dmregd --check read the installed simulator"
bash "$source_dir/tests/consumer/consumer_test.sh" "$build" "$source_dir" "$root/usr" || fail "the consumer"
report "the consumer builds against the unpacked development package, with find_package and with pkg-config"

# Each ARM architecture's packages in an ARM root with its C and C++ runtime, run under qemu-user
# in a mount namespace of their own, where the service's /var/lib and /run are folders of this build.
for arch in armhf arm64; do
  dir=$build/$arch
  qemu=$([ "$arch" = armhf ] && echo qemu-arm || echo qemu-aarch64)
  arm_root=$dir/root
  rm -rf "$arm_root" "$dir/state" "$dir/run" "$dir/runtime" && mkdir -p "$arm_root" "$dir/state" "$dir/run" "$dir/runtime"
  (cd "$dir/runtime" && apt-get download -q "libc6:$arch" "libstdc++6:$arch" "libgcc-s1:$arch" > /dev/null 2>&1) ||
    fail "cannot download the $arch C runtime"
  for deb in $(packages "$arch") "$dir"/runtime/*.deb; do dpkg-deb -x "$deb" "$arm_root"; done
  cp "$source_dir/examples/trees/handset.txt" "$dir/tree.txt"
  printf 'modem = %s\ntree = %s\n' "$dir/modem" "$dir/tree.txt" > "$dir/dmregd.conf"
  rm -f "$dir/control" "$dir/record" && mkfifo "$dir/control"
  unshare --mount --propagation private env QEMU="$qemu" ROOT="$arm_root" DIR="$dir" bash -c '
    mount --bind "$DIR/state" /var/lib && mount --bind "$DIR/run" /run || exit 1
    run() { "$QEMU" -L "$ROOT" "$@"; }
    run "$ROOT/usr/bin/dmreg-modem-sim" --link "$DIR/modem" --record "$DIR/record" < "$DIR/control" > "$DIR/answers" &
    exec 3> "$DIR/control"
    for _ in $(seq 200); do [ -e "$DIR/modem" ] && break; sleep 0.1; done
    run "$ROOT/usr/sbin/dmregd" --check --config "$DIR/dmregd.conf" > "$DIR/check" 2>&1 || exit 2
    run "$ROOT/usr/sbin/dmregd" --fast --config "$DIR/dmregd.conf" 2> "$DIR/dmregd.log" &
    service=$!
    for _ in $(seq 600); do grep -q "^pdu " "$DIR/record" 2>/dev/null && break; sleep 0.1; done
    for _ in $(seq 200); do grep -q "listenAndProcess()" "$DIR/dmregd.log" && break; sleep 0.1; done
    echo "reply +15550100200 IMEI:490154203237518/1" >&3
    wait "$service" || exit 3
    [ "$(cat /var/lib/dmreg/zav_dmregstatus.cfg)" = 001010123456789 ] || exit 4
  '
  case $? in
    0) ;;
    2) fail "$arch: dmregd --check: $(cat "$dir/check")" ;;
    3 | 4) fail "$arch: the registration did not end as it must: $(tail -n 20 "$dir/dmregd.log")" ;;
    *) fail "$arch: cannot make a mount namespace for the ARM root" ;;
  esac
  grep -qx 'IMSI: 001010123456789' "$dir/check" || fail "$arch: dmregd --check did not read the IMSI: $(cat "$dir/check")"
  report "$arch: in an ARM root under $qemu, dmregd --check read the simulator and a registration was confirmed"
done

# A Debian base system, where it can be had from the network.
debian_root=$build/debian-root
if [ ! -x "$debian_root/usr/bin/dpkg" ]; then
  rm -rf "$debian_root"
  if ! debootstrap --variant=minbase --include=systemd,systemd-sysv,libstdc++6 bookworm "$debian_root" \
       http://deb.debian.org/debian > "$build/debootstrap.log" 2>&1; then
    report "skipped piuparts and the boot check: no Debian base system could be had ($(tail -n 1 "$build/debootstrap.log"))"
    exit 0
  fi
fi
scripts=$build/piuparts-scripts
rm -rf "$scripts" "$build/piuparts-tmp" && mkdir -p "$scripts" "$build/piuparts-tmp"
cat > "$scripts/post_install_dmregd_state" <<'EOF'
#!/bin/sh
# What the service leaves once it has run: its state, kept by systemd for its dynamic user.
[ -x /usr/sbin/dmregd ] || exit 0
mkdir -p /var/lib/private/dmreg && ln -sfn private/dmreg /var/lib/dmreg
cp /usr/share/dmregd/tree.txt /var/lib/private/dmreg/tree.txt
echo 001010123456789 > /var/lib/private/dmreg/zav_dmregstatus.cfg
echo tries=1 > /var/lib/private/dmreg/dmregd.state
EOF
chmod +x "$scripts/post_install_dmregd_state"
read -r -a debs <<< "$(packages "$host_arch")"
piuparts --existing-chroot "$debian_root" --tmpdir "$build/piuparts-tmp" --scriptsdir "$scripts" --no-upgrade-test \
  --distribution bookworm --mirror http://deb.debian.org/debian "${debs[@]}" > "$build/piuparts.log" 2>&1 ||
  { tail -n 40 "$build/piuparts.log"; fail "piuparts"; }
grep -q 'post_install_dmregd_state' "$build/piuparts.log" || fail "piuparts did not run the service's state into the test"
report "piuparts: installed, removed and purged, the service's state with them, nothing left behind"
bash "$source_dir/tools/package-boot.sh" "$build" "$debian_root" || fail "the boot check"
