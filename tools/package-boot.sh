#!/bin/bash
# package-boot.sh BUILD_DIR DEBIAN_ROOT: the packages in BUILD_DIR installed into a copy of a
# Debian root, upgraded to a later version with a changed configuration kept, then booted with
# systemd-nspawn: package-boot-check.sh, run by systemd there, registers the device under the
# installed unit. Everything stays under BUILD_DIR.
set -u
build=$(cd "$1" && pwd)
debian_root=$2
source_dir=$(cd "$(dirname "$0")/.." && pwd)
boot=$build/boot-root
fail() { echo "boot check failed: $*" >&2; exit 1; }
container() { systemd-nspawn -q --register=no --keep-unit -D "$boot" "$@"; }
shopt -s nullglob

rm -rf "$boot" && cp -a "$debian_root" "$boot" || fail "cannot copy the Debian root"
mkdir -p "$boot/dmreg-debs/old" "$boot/dmreg-debs/new" "$boot/dmreg-check"
for deb in "$build"/libzavdmreg1_*.deb "$build"/zavdmreg-platform_*.deb "$build"/libzavdmreg-dev_*.deb "$build"/dmregd_*.deb; do
  cp "$deb" "$boot/dmreg-debs/old/"
  # The same package as a later version, for the upgrade.
  unpacked=$build/upgrade/$(basename "$deb" .deb)
  rm -rf "$unpacked" && mkdir -p "$unpacked" && dpkg-deb -R "$deb" "$unpacked" || fail "cannot unpack $deb"
  version=$(dpkg-deb -f "$deb" Version)
  sed -i "s/^Version: $version\$/Version: $version+1/; s/(= $version)/(= $version+1)/g" "$unpacked/DEBIAN/control"
  dpkg-deb -b "$unpacked" "$boot/dmreg-debs/new/" > /dev/null || fail "cannot pack the upgrade of $deb"
done
container sh -c 'dpkg -i /dmreg-debs/old/*.deb' > "$build/boot-install.log" 2>&1 || fail "install: $(cat "$build/boot-install.log")"
echo "# the device maker's own setting" >> "$boot/etc/dmreg/dmregd.conf"
container sh -c 'dpkg -i /dmreg-debs/new/*.deb' > "$build/boot-upgrade.log" 2>&1 || fail "upgrade: $(cat "$build/boot-upgrade.log")"
grep -q "device maker's own setting" "$boot/etc/dmreg/dmregd.conf" || fail "the upgrade did not keep the changed configuration"
[ -L "$boot/etc/systemd/system/multi-user.target.wants/dmregd.service" ] || fail "the service is not enabled"
echo "installed, and upgraded to the next version with the changed configuration kept" | tee -a "$build/report.txt"

# The replies the check delivers: the server's acknowledgement, and the same from a forger.
source "$source_dir/tools/deliver-pdu.sh"
{
  echo "ACK=$(deliver_pdu +15550100200 IMEI:490154203237518/1 16999 16998)"
  echo "FORGED=$(deliver_pdu +15550199999 IMEI:490154203237518/1 16999 16998)"
} > "$boot/dmreg-check/pdus"
install -m 755 "$source_dir/tools/package-boot-check.sh" "$boot/dmreg-check/check.sh"
cat > "$boot/etc/systemd/system/dmreg-check.service" <<'UNIT'
[Unit]
Description=The registration service checked as a device runs it
After=multi-user.target
[Service]
Type=oneshot
ExecStart=/dmreg-check/check.sh
UNIT
cat > "$boot/etc/systemd/system/dmreg-check.target" <<'UNIT'
[Unit]
Description=A device with the check
Requires=multi-user.target dmreg-check.service
After=multi-user.target dmreg-check.service
UNIT
timeout 300 systemd-nspawn -q --register=no --keep-unit -D "$boot" --boot -- systemd.unit=dmreg-check.target \
  > "$build/boot.log" 2>&1
grep -vx PASSED "$boot/dmreg-check/result" | sed 's/^/booted: /' | tee -a "$build/report.txt"
grep -qx PASSED "$boot/dmreg-check/result" || { sed 's/^/  | /' "$boot/dmreg-check/journal"; fail "see above and $build/boot.log"; }
