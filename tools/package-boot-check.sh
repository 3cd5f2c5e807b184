#!/bin/sh
# package-boot-check.sh: run by systemd inside a booted Debian root where the packages are
# installed over a tree the device maker placed first (tools/package-boot.sh starts it). The
# service as a device runs it, under the installed unit with all its restrictions: no modem yet,
# then not configured, then a modem it may not open; a whole registration over the simulated
# modem with a restart and a SIGKILL while the reply is awaited, a forged reply refused; an edit
# of the maker's tree; a SIM swap with a stale reply in storage; the journal's errors; a purge.
# Writes what it found to /dmreg-check/result, "PASSED" last when all held, and powers off.
set -u
result=/dmreg-check/result
: > "$result"
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
wait_for() {  # wait_for COMMAND...: within 30 s
  i=0
  while [ $i -lt 300 ]; do "$@" && return 0; sleep 0.1; i=$((i + 1)); done
  return 1
}
state() { systemctl show -p ActiveState --value dmregd; }
ended() { [ "$(state)" != active ] && [ "$(state)" != activating ] && [ "$(state)" != reloading ]; }
status() { systemctl show -p ExecMainStatus --value dmregd; }
journal() { journalctl -u dmregd --no-pager -o cat "$@"; }
told() { journal | grep -qF "$1"; }
pdus() { grep -c '^pdu ' /run/sim/record; }
sim() { echo "$1" >&3; }
registration=./DevDetail/Ext/Conf/PMF/Agents/Registration

# At boot: the maker's tree is there, the modem is not. Told at once, and not started again (the
# udev rule starts it when the modem appears).
systemctl is-enabled --quiet dmregd || fail "dmregd is not enabled"
wait_for ended || fail "dmregd does not end without a modem"
[ "$(status)" = 69 ] || fail "without a modem dmregd ended with $(status), not 69"
told "[dmregd] there is no modem at /dev/dmreg-modem" || fail "dmregd did not say that there is no modem"
systemctl status dmregd 2>&1 | grep -q 'status=69/UNAVAILABLE' || fail "systemctl status does not name exit 69"
[ "$(systemctl show -p NRestarts --value dmregd)" = 0 ] || fail "the unit started dmregd again without a modem"
say "at boot without a modem: told at once, exit 69 (UNAVAILABLE), not started again"

# Not configured: a maker who has not placed the tree yet. The system is not degraded.
mv /etc/dmreg/tree.txt /etc/dmreg/tree.maker
systemctl reset-failed dmregd
systemctl start dmregd
wait_for ended || fail "dmregd does not end when not configured"
[ "$(status)" = 6 ] || fail "not configured, dmregd ended with $(status), not 6"
systemctl is-failed --quiet dmregd && fail "not configured, the unit failed"
told "not configured for registration: there is no tree at /etc/dmreg/tree.txt. Make it from /usr/share/dmregd/tree.txt" ||
  fail "dmregd did not say what to fill in"
[ "$(systemctl show -p NRestarts --value dmregd)" = 0 ] || fail "the unit started dmregd again after exit status 6"
say "not configured: said what to fill in, exit 6, the unit not failed and not started again"
mv /etc/dmreg/tree.maker /etc/dmreg/tree.txt

# The unit's own judgement of its exposure, on the running system.
exposure=$(systemd-analyze security dmregd 2>/dev/null | sed -n 's/.*Overall exposure level for dmregd.service: \([0-9.]*\).*/\1/p')
awk -v e="$exposure" 'BEGIN { exit !(e != "" && e <= 1.0) }' || fail "exposure '$exposure', above 1.0"
say "systemd-analyze security: exposure $exposure"

# The modem: the simulator on a pseudo-terminal, at first closed to the modem's group.
mkdir -p /run/sim && mkfifo /run/sim/control
dmreg-modem-sim --link /dev/dmreg-modem --record /run/sim/record < /run/sim/control > /run/sim/answers &
exec 3> /run/sim/control
wait_for test -e /dev/dmreg-modem || fail "the simulator did not start"
terminal=$(readlink -f /dev/dmreg-modem)
chgrp dialout "$terminal" && chmod 0600 "$terminal"
mkdir -p /etc/systemd/system/dmregd.service.d
# The simulated modem is a pseudo-terminal, no USB serial port; its waits are shortened, and a
# crash is followed by a start a second later.
printf '[Service]\nDeviceAllow=char-pts rw\nExecStart=\nExecStart=/usr/sbin/dmregd --fast\nRestartSec=1\n' \
  > /etc/systemd/system/dmregd.service.d/simulated-modem.conf
systemctl daemon-reload
systemctl reset-failed dmregd
systemctl start dmregd
wait_for ended || fail "dmregd does not end when it may not open the modem"
[ "$(status)" = 77 ] || fail "with a modem it may not open, dmregd ended with $(status), not 77"
told "may not be opened (Permission denied): the service's user needs its group" || fail "dmregd did not say why the modem cannot be opened"
say "a modem it may not open: told at once, exit 77 (NOPERM), not started again"

# ModemManager, where it is installed and not told to leave the port alone, is named.
chmod 0660 "$terminal"
printf '#!/bin/sh\n' > /usr/sbin/ModemManager && chmod 755 /usr/sbin/ModemManager
dmregd --check > /dmreg-check/check 2>&1
grep -q "^note: ModemManager is installed and not told to leave /dev/dmreg-modem alone: give dmregd a port of its own with ID_MM_PORT_IGNORE=1" \
  /dmreg-check/check || fail "dmregd --check did not name ModemManager: $(cat /dmreg-check/check)"
grep -qx 'IMSI: 001010123456789' /dmreg-check/check || fail "dmregd --check: $(cat /dmreg-check/check)"
rm /usr/sbin/ModemManager
say "dmregd --check reads the modem, and names ModemManager as one that may take its port"

# A registration, through a restart and a SIGKILL while the reply is awaited.
systemctl reset-failed dmregd
systemctl start dmregd
wait_for told "[dmregd] try 1 of 4 sent to +15550100200; waiting until" || fail "no registration SMS was sent"
systemctl status dmregd 2>/dev/null | grep -q "Status: \"waiting for the server's reply to try 1 of 4, until" ||
  fail "systemctl status does not show what dmregd waits for: $(systemctl status dmregd 2>&1 | grep Status)"
[ "$(stat -L -c %a /run/dmreg)" = 700 ] || fail "/run/dmreg is $(stat -L -c %a /run/dmreg)"
[ "$(stat -c %a /var/lib/private/dmreg)" = 700 ] || fail "/var/lib/private/dmreg is $(stat -c %a /var/lib/private/dmreg)"
su -s /bin/sh nobody -c 'test -e /run/dmreg/dmreg.sock' 2>/dev/null && fail "another user reaches the socket"
systemctl restart dmregd
wait_for told "[dmregd] awaiting the server's reply to the registration sent before" || fail "a restart did not await the reply"
systemctl kill -s KILL dmregd
# A real port is closed with its last user, and its exclusive use (TIOCEXCL) ends with it; the
# simulator keeps its pseudo-terminal open, so the check ends it as the kernel would (TIOCNXCL).
perl -e 'open(my $port, "+<", $ARGV[0]) or die; ioctl($port, 0x540D, 0) or die' "$terminal" ||
  fail "cannot end the pseudo-terminal's exclusive use"
wait_for sh -c '[ "$(journalctl -u dmregd -o cat | grep -c "awaiting the server.s reply to the registration sent before")" -ge 2 ]' ||
  fail "after a SIGKILL the unit did not await the reply"
[ "$(pdus)" = 1 ] || fail "a restart or a crash sent again: $(pdus) SMS"
dmregd --status | grep -qx 'tries: 1 of 4' || fail "dmregd --status: $(dmregd --status 2>&1)"
say "sent once; a restart and a SIGKILL awaited the reply without sending again; systemctl status and dmregd --status tell it"

# A forged confirmation, then the server's.
sim "reply +15550199999 IMEI:490154203237518/1"
wait_for told "is not from the server's number" || fail "the forged reply was not refused"
sim "reply +15550100200 IMEI:490154203237518/1"
wait_for ended || fail "dmregd did not end after the server's reply"
[ "$(status)" = 0 ] || fail "dmregd ended with $(status) after the server's reply"
[ "$(cat /var/lib/dmreg/zav_dmregstatus.cfg)" = 001010123456789 ] || fail "the status file does not hold the IMSI"
grep -q "$registration/RegStatus int 1" /var/lib/dmreg/tree.txt || fail "RegStatus is not 1"
told "[dmregd] the registration of SIM 001010123456789 is confirmed" || fail "dmregd did not say it is confirmed"
say "the forged reply refused, the server's recorded; dmregd ended with 0"

# The maker edits the tree: the next start uses it, and keeps the registration's nodes.
sed -i 's|^\(./DevInfo/Mod string\).*|\1 ZV-200|' /etc/dmreg/tree.txt
systemctl start dmregd
wait_for ended || fail "dmregd did not end with the SIM registered"
grep -q '^./DevInfo/Mod string ZV-200$' /var/lib/dmreg/tree.txt || fail "the edit of /etc/dmreg/tree.txt did not take effect"
grep -q "^$registration/RegIMSI string 001010123456789$" /var/lib/dmreg/tree.txt || fail "RegIMSI was lost"
told "[dmregd] the SIM 001010123456789 is registered already" || fail "the registered SIM was not recognised"
say "an edit of /etc/dmreg/tree.txt took effect at the next start; RegIMSI and RegStatus kept"

# Another SIM, with a copy of the old reply left in storage: it confirms nothing.
sim "reply +15550100200 IMEI:490154203237518/1"
sim "set answer AT+CIMI = 001019999999999"
systemctl start dmregd
wait_for told "answered an earlier registration: deleted" || fail "the stale reply was not cleared"
wait_for sh -c '[ "$(grep -c "^pdu " /run/sim/record)" = 2 ]' || fail "the new SIM was not registered"
sleep 1
told "the registration of SIM 001019999999999 is confirmed" && fail "a stale reply confirmed the new SIM"
sim "reply +15550100200 IMEI:490154203237518/1"
wait_for ended || fail "dmregd did not end after the new SIM's reply"
[ "$(cat /var/lib/dmreg/zav_dmregstatus.cfg)" = 001019999999999 ] || fail "the new SIM is not recorded"
say "a new SIM: the old reply in storage deleted, not taken; registered by its own reply"

# The journal's priorities: exactly the errors at err, the trace's frames at debug.
errors=$(journalctl -p err SYSLOG_IDENTIFIER=dmregd --no-pager -o cat | sort -u)
expected="[dmregd] the modem /dev/dmreg-modem may not be opened (Permission denied): the service's user needs its group (ls -l /dev/dmreg-modem) and the unit must allow the device (DeviceAllow=)
[dmregd] there is no modem at /dev/dmreg-modem (No such file or directory): dmregd is started when it appears (its udev rule), or set modem in dmregd.conf"
[ "$errors" = "$expected" ] || fail "journalctl -p err: $errors"
journalctl -p debug..debug SYSLOG_IDENTIFIER=dmregd --no-pager -o cat | grep -q 'activateDmRegister()	ENTER' ||
  fail "the trace's frames are not at debug"
say "journalctl -u dmregd -p err shows exactly the two errors; the trace's ENTER and LEAVE at debug"

# Purged: no state and no links left; the maker's own files stay.
dpkg --purge dmregd > /dmreg-check/purge 2>&1 || fail "purge: $(cat /dmreg-check/purge)"
for left in /var/lib/dmreg /var/lib/private/dmreg /run/dmreg /run/private/dmreg /etc/systemd/system/multi-user.target.wants/dmregd.service; do
  [ -e "$left" ] || [ -L "$left" ] && fail "$left is left after the purge"
done
[ -f /etc/dmreg/tree.txt ] || fail "the purge took the maker's tree"
say "purged: no state or links left, the maker's tree kept"
say PASSED
finish
