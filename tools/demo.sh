#!/bin/bash
# demo.sh BUILD_DIR: one registration of a simulated handset, then the same SIM again.
# Runs in a fresh folder under BUILD_DIR and leaves nothing outside it.
set -u
source "$(dirname "$0")/demo-lib.sh"
run=${DMREG_EMULATOR:-}
host="$run $build/bin/dmreg-host"
client="$run $build/bin/dmreg-client"
host_pid=""
cleanup() { [ -n "$host_pid" ] && kill "$host_pid" 2>/dev/null; }

[ -x "$build/bin/dmreg-host" ] || fail "no $build/bin/dmreg-host: build first"
start_demo "$build/demo"
cp "$source_dir/examples/scenarios/new-sim.txt" new-sim.txt

say "A handset starts with a SIM it has never registered (IMSI 001010123456789)."
echo "   The host process calls activateDmRegister(); --fast shortens its 120 s start-up delay."
$host --fast --tree tree.txt --scenario new-sim.txt 2> host-1.log &
host_pid=$!
wait_for 20 test -s outbox.txt || { show_trace host-1.log; fail "no registration SMS was sent"; }
wait_for 20 test -S "$socket" || fail "the listener did not start on $socket"
wait_for 20 grep -q 'listenAndProcess()' host-1.log || fail "the listener did not start"
show_trace host-1.log

say "The telephony service took one port-addressed SMS for the DM server:"
sed 's/^/   /' outbox.txt
imei=$(sed -n 's/.* data=IMEI:\([0-9]*\)\/.*/\1/p' outbox.txt | head -n 1)
[ -n "$imei" ] || fail "no IMEI in the SMS"

say "Playing the DM server: the local client asks for the port and delivers the acknowledgement."
port=$($client getport) || fail "dmreg-client getport failed"
echo "   client port: $port"
$client ack --success --imei "$imei" | sed 's/^/   /' || fail "the acknowledgement was not delivered"
wait_for 20 grep -q 'registration flag is OK' host-1.log || fail "the acknowledgement was not accepted"
show_trace host-1.log

say "What the handset recorded:"
show_recorded 001010123456789

say "The listener serves for ever; the handset is switched off."
kill "$host_pid" 2>/dev/null
wait "$host_pid" 2>/dev/null
host_pid=""
rm -f "$socket"

say "The handset starts again with the same SIM."
shown=0
$host --fast --tree tree.txt --scenario new-sim.txt 2> host-2.log || fail "the second start failed"
show_trace host-2.log
grep -q 'need not register' host-2.log || fail "the same SIM was not recognised"
[ "$(wc -l < outbox.txt)" -eq 1 ] || fail "a second SMS was sent"
[ -e "$socket" ] && fail "a listener was started"

finish
say "Done: one SMS for a new SIM, none for the same SIM at the next start."
