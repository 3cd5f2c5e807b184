#!/bin/sh
# package-boot-check.sh: run by systemd inside a booted Debian root where the packages are
# installed (tools/package-boot.sh starts it). The service as a device runs it: first not
# configured, then a whole registration over the simulated modem under the installed unit with
# all its restrictions, a forged reply refused on the way, then a purge. Writes what it found to
# /dmreg-check/result, "PASSED" last when all held, and powers the container off.
set -u
result=/dmreg-check/result
: > "$result"
. /dmreg-check/pdus
say() { echo "$*" >> "$result"; }
finish() {
  journalctl -u dmregd --no-pager -o cat > /dmreg-check/journal 2>&1
  systemctl --no-block poweroff
  exit 0
}
fail() {
  say "FAILED: $*"
  finish
}
wait_for() {  # wait_for COMMAND...: within 20 s
  i=0
  while [ $i -lt 200 ]; do "$@" && return 0; sleep 0.1; i=$((i + 1)); done
  return 1
}
ended() { [ "$(systemctl show -p ActiveState --value dmregd)" != active ] && [ "$(systemctl show -p ActiveState --value dmregd)" != activating ]; }
status() { systemctl show -p ExecMainStatus --value dmregd; }

# Installed enabled; the shipped tree registers nothing and says why, and the unit stays down.
systemctl is-enabled --quiet dmregd || fail "dmregd is not enabled"
wait_for ended || fail "dmregd does not end with the tree it ships"
[ "$(status)" = 6 ] || fail "with the shipped tree dmregd ended with $(status), not 6"
journalctl -u dmregd --no-pager -o cat | grep -q "not configured for registration" || fail "dmregd did not say that it is not configured"
[ "$(systemctl show -p NRestarts --value dmregd)" = 0 ] || fail "the unit started dmregd again after exit status 6"
say "the shipped tree: dmregd says it is not configured, exit 6, not started again"

# The unit's own judgement of its exposure, on the running system.
exposure=$(systemd-analyze security dmregd 2>/dev/null | sed -n 's/.*Overall exposure level for dmregd.service: \([0-9.]*\).*/\1/p')
awk -v e="$exposure" 'BEGIN { exit !(e != "" && e <= 1.0) }' || fail "exposure '$exposure', above 1.0"
say "systemd-analyze security: exposure $exposure"

# The modem: the simulator on a pseudo-terminal, given to the modem's group as a serial port is.
mkdir -p /run/sim && mkfifo /run/sim/control
dmreg-modem-sim --link /dev/dmreg-modem --record /run/sim/record < /run/sim/control > /run/sim/answers &
exec 3> /run/sim/control
wait_for test -e /dev/dmreg-modem || fail "the simulator did not start"
terminal=$(readlink -f /dev/dmreg-modem)
chgrp dialout "$terminal" && chmod 0660 "$terminal"
mkdir -p /etc/systemd/system/dmregd.service.d
# The simulated modem is a pseudo-terminal, no USB serial port; and its waits are shortened.
printf '[Service]\nDeviceAllow=char-pts rw\nExecStart=\nExecStart=/usr/sbin/dmregd --fast --config /etc/dmreg/dmregd.conf\n' \
  > /etc/systemd/system/dmregd.service.d/simulated-modem.conf
systemctl daemon-reload

# The device maker's tree: the operator, the server and the device.
rm -f /var/lib/dmreg/tree.txt
cat > /etc/dmreg/tree.txt <<'EOF'
./DevInfo/DevId string IMEI:490154203237518
./DevInfo/Man string Zav
./DevInfo/Mod string ZV-100
./DevDetail/SwV string 1.0.3
./DevDetail/Ext/Conf/PMF/Agents/Registration/ServerNumber string +15550100200
./DevDetail/Ext/Conf/PMF/Agents/Registration/ServerPort int 16998
./DevDetail/Ext/Conf/PMF/Agents/Registration/ClientPort int 16999
./DevDetail/Ext/Conf/PMF/Agents/Registration/Enable bool true
./DevDetail/Ext/Conf/PMF/Agents/Registration/MNC/Home/Code string 00101
./DevDetail/Ext/Conf/PMF/Agents/Registration/RegIMSI string 
./DevDetail/Ext/Conf/PMF/Agents/Registration/RegStatus int 0
EOF
sed -i 's|^modem = .*|modem = /dev/dmreg-modem|' /etc/dmreg/dmregd.conf
systemctl reset-failed dmregd
systemctl start dmregd
wait_for grep -q '^pdu ' /run/sim/record || fail "no registration SMS was sent"
say "the registration SMS went out, $(( $(sed -n 's/^pdu //p' /run/sim/record | wc -c) / 2 )) octets"
wait_for sh -c 'journalctl -u dmregd --no-pager -o cat | grep -q "listenAndProcess()"' || fail "the listener did not start"
[ "$(stat -c %a /run/dmreg)" = 700 ] || fail "/run/dmreg is $(stat -c %a /run/dmreg)"
[ "$(stat -c %a /var/lib/private/dmreg)" = 700 ] || fail "/var/lib/private/dmreg is $(stat -c %a /var/lib/private/dmreg)"
su -s /bin/sh nobody -c 'test -e /run/dmreg/dmreg.sock' 2>/dev/null && fail "another user reaches the socket"
say "the socket and the state are the service's own: /run/dmreg and /var/lib/private/dmreg are 0700"

# A forged confirmation, then the server's.
echo "deliver $FORGED" >&3
wait_for sh -c 'journalctl -u dmregd --no-pager -o cat | grep -q "is not from the server" ' || fail "the forged reply was not refused"
echo "deliver $ACK" >&3
wait_for ended || fail "dmregd did not end after the server's reply"
[ "$(status)" = 0 ] || fail "dmregd ended with $(status) after the server's reply"
[ "$(cat /var/lib/dmreg/zav_dmregstatus.cfg)" = 001010123456789 ] || fail "the status file does not hold the IMSI"
grep -q 'RegStatus int 1' /var/lib/dmreg/tree.txt || fail "RegStatus is not 1"
say "the forged reply refused, the server's recorded; dmregd ended with 0 and released the modem"

# Purged: no state, no links left.
dpkg --purge dmregd > /dmreg-check/purge 2>&1 || fail "purge: $(cat /dmreg-check/purge)"
for left in /var/lib/dmreg /var/lib/private/dmreg /etc/dmreg /etc/systemd/system/multi-user.target.wants/dmregd.service; do
  [ -e "$left" ] || [ -L "$left" ] && fail "$left is left after the purge"
done
say "purged: no state, configuration or links left"
say PASSED
finish
