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
# An image build: the device maker's configuration and tree are there before the packages, which
# apt-get installs without a question.
mkdir -p "$boot/etc/dmreg"
printf '# the device maker'"'"'s own settings\nmodem = /dev/dmreg-modem\nlist_interval = 60\n' > "$boot/etc/dmreg/dmregd.conf"
cp "$source_dir/examples/trees/handset.txt" "$boot/etc/dmreg/tree.txt"
apt_install() {  # apt_install FOLDER LOG: the folder's packages, as an image build installs them
  container env DEBIAN_FRONTEND=noninteractive sh -c "apt-get install -y -q $1/*.deb < /dev/null" > "$2" 2>&1
}
apt_install /dmreg-debs/old "$build/boot-install.log" || fail "install: $(cat "$build/boot-install.log")"
apt_install /dmreg-debs/new "$build/boot-upgrade.log" || fail "upgrade: $(cat "$build/boot-upgrade.log")"
grep -q "device maker's own settings" "$boot/etc/dmreg/dmregd.conf" || fail "the upgrade did not keep the maker's configuration"
grep -q "Enable bool true" "$boot/etc/dmreg/tree.txt" || fail "the install or the upgrade changed the maker's tree"
[ -L "$boot/etc/systemd/system/multi-user.target.wants/dmregd.service" ] || fail "the service is not enabled"
echo "installed with apt-get -y over the maker's tree and configuration, upgraded, both kept" | tee -a "$build/report.txt"

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
