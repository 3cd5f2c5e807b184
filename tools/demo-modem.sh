#!/bin/bash
# demo-modem.sh BUILD_DIR: dmregd registers a Linux device over the simulated modem; playing the
# DM server, the demo puts the acknowledgement into the modem as an SMS, and the service's
# receiver hands it to the listener. Then the same SIM again. Runs in a fresh folder under
# BUILD_DIR and leaves nothing outside it.
set -u
source "$(dirname "$0")/demo-lib.sh"
run=${DMREG_EMULATOR:-}
work=$build/demo-modem
service_pid=""
sim_pid=""
cleanup() {
  [ -n "$service_pid" ] && kill "$service_pid" 2>/dev/null && wait "$service_pid"
  [ -n "$sim_pid" ] && exec 3>&- && wait "$sim_pid"
}
answered() { [ "$(wc -l < sim.out)" -gt "$1" ]; }  # counted anew at each look
sim() {  # sim LINE: a control line for the simulator, and its answer
  local before
  before=$(wc -l < sim.out)
  echo "$1" >&3
  wait_for 20 answered "$before" || fail "the simulator does not answer '$1'"
  sed -n '$p' sim.out
}
wireshark() {  # wireshark submit|deliver PDU
  bash "$source_dir/tools/sms-wireshark.sh" "$@" | sed 's/^/   /' ||
    echo "   (Wireshark's tshark is not installed: apt-get install tshark shows the PDU decoded)"
}
# The service's own lines and the library's main steps; the whole trace is in dmregd-N.log.
steps='\[dmregd\]|zavtapi-at|SIM card is valid|IMSI match|PIN is|need (not )?register|has been sent|listenAndProcess\(\)|flag is'
tree_value() { sed -n "s|^$registration/$1 [a-z]* ||p" tree.txt; }

for program in dmregd dmreg-modem-sim; do
  [ -x "$build/bin/$program" ] || fail "no $build/bin/$program: build first"
done
start_demo "$work"
mkfifo control
$run "$build/bin/dmreg-modem-sim" --link "$work/modem" --record modem.record < control > sim.out &
sim_pid=$!
exec 3> control
wait_for 20 grep -q '^ready' sim.out || fail "the simulator did not start"
printf 'modem = %s\ntree = %s\n' "$work/modem" "$work/tree.txt" > dmregd.conf

say "A Linux device with a cellular modem (simulated at $work/modem) runs dmregd."
echo "   Its SIM has never been registered (IMSI 001010123456789); --fast shortens the waits."
$run "$build/bin/dmregd" --fast --config dmregd.conf 2> dmregd-1.log &
service_pid=$!
wait_for 20 grep -q '^pdu ' modem.record || { show_trace dmregd-1.log; fail "no registration SMS was submitted"; }
wait_for 20 grep -q 'listenAndProcess()' dmregd-1.log || fail "the listener did not start"
show_trace dmregd-1.log "$steps"

say "The AT commands the modem received:"
sed -n 's/^cmd //p' modem.record | paste -sd ' ' | fold -s -w 96 | sed 's/^/   /'
say "The one SMS it submitted, as Wireshark reads it:"
pdu=$(sed -n 's/^pdu //p' modem.record)
echo "   $pdu"
wireshark submit "$pdu"
imei=$(sed -n 's/.*msg: IMEI:\([0-9]*\)\/.*/\1/p' dmregd-1.log | head -n 1)
[ -n "$imei" ] || fail "no IMEI in the SMS"

say "Playing the DM server: its acknowledgement arrives in the modem as an SMS to the client port."
# The simulator builds it: from the server number, 8-bit data from the server's port to the
# client's, stamped now (UTC).
sim "set ports = $(tree_value ClientPort) $(tree_value ServerPort)" > /dev/null || exit 1
ack=$(sim "pdu $(tree_value ServerNumber) IMEI:$imei/1") || exit 1
ack=${ack#ok }
echo "   $ack"
wireshark deliver "$ack"
answer=$(sim "deliver $ack") || exit 1  # sim has told why
echo "   the modem stores it and tells dmregd (+CMTI): $answer"
wait_for 20 grep -q 'handed to the listener' dmregd-1.log || { show_trace dmregd-1.log; fail "the receiver did not hand it over"; }
wait_for 20 grep -q 'registration flag is OK' dmregd-1.log || fail "the listener did not take the acknowledgement"
show_trace dmregd-1.log "$steps"

say "The registration is confirmed: dmregd ends by itself and releases the modem."
wait_for 20 grep -q 'the registration of SIM 001010123456789 is confirmed' dmregd-1.log || fail "dmregd did not see the registration confirmed"
wait "$service_pid" || fail "dmregd ended with status $?"
service_pid=""
show_trace dmregd-1.log "$steps"

say "What the device recorded:"
show_recorded 001010123456789 "$(dirname "$status_file")/tree.txt"
stored=$(sim stored) || exit 1
[ "$stored" = ok ] || fail "the modem still stores messages: $stored"
echo "   the modem's storage: empty (the acknowledgement was deleted once the listener took it)"

say "dmregd starts again with the same SIM."
shown=0
$run "$build/bin/dmregd" --fast --config dmregd.conf 2> dmregd-2.log || fail "the second start failed"
show_trace dmregd-2.log "$steps"
grep -q 'is registered already' dmregd-2.log || fail "the same SIM was not recognised"
[ "$(grep -c '^pdu ' modem.record)" -eq 1 ] || fail "a second SMS was submitted"

cleanup
sim_pid=""
finish
say "Done: one SMS for a new SIM, its acknowledgement taken from the modem, none for the same SIM at the next start."
