#!/bin/bash
# demo.sh BUILD_DIR: one registration of a simulated handset, then the same SIM again.
# Runs in a fresh folder under BUILD_DIR and leaves nothing outside it.
set -u
build=$(cd "${1:-build}" && pwd)
source_dir=$(cd "$(dirname "$0")/.." && pwd)
run=${DMREG_EMULATOR:-}
host="$run $build/bin/dmreg-host"
client="$run $build/bin/dmreg-client"
configured() { sed -n "s/^#define $1 \"\\(.*\\)\"\$/\\1/p" "$build/generated/dmreg_config.h"; }
socket=$(configured DMREG_SOCKET_PATH)
status_file=$(configured DMREG_STATUS_FILE)
run_dir=$(dirname "$socket")
work="$build/demo"
registration=./DevDetail/Ext/Conf/PMF/Agents/Registration
host_pid=""

say() { printf '\n\033[1m== %s\033[0m\n' "$*"; }
fail() {
  printf '\n\033[1;31mdemo failed: %s\033[0m\n' "$*" >&2
  [ -n "$host_pid" ] && kill "$host_pid" 2>/dev/null
  finish
  exit 1
}
# The build's socket folder under /tmp is the demo's while it runs.
made_run_dir=""
finish() { [ -n "$made_run_dir" ] && rm -rf "$run_dir"; rm -f "$socket"; }
# Shows what the host has written since the last call.
shown=0
show_trace() {
  local lines
  lines=$(wc -l < "$1")
  sed -n "$((shown + 1)),${lines}p" "$1" | sed 's/^/   | /'
  shown=$lines
}
wait_for() {  # wait_for SECONDS COMMAND...: until the command succeeds
  local limit=$(( $1 * 10 )); shift
  for _ in $(seq "$limit"); do "$@" && return 0; sleep 0.1; done
  return 1
}

case "$status_file" in
  "$build"/*) ;;
  *) fail "this build records registrations in $status_file, outside $build; the demo needs the host build (make demo)" ;;
esac
if [ ! -d "$run_dir" ]; then
  mkdir -m 700 "$run_dir" || fail "cannot make $run_dir"
  made_run_dir=yes
fi
[ -x "$build/bin/dmreg-host" ] || fail "no $build/bin/dmreg-host: build first"
# A socket file left by an earlier run is normal (the library replaces it); a live listener is not.
if [ -e "$socket" ] && $client --timeout 1 getport >/dev/null 2>&1; then
  fail "a listener is already serving $socket: stop it first"
fi

rm -rf "$work" && mkdir -p "$work" || fail "cannot make $work"
cp "$source_dir/examples/trees/handset.txt" "$work/tree.txt"
cp "$source_dir/examples/scenarios/new-sim.txt" "$work/new-sim.txt"
rm -f "$status_file"
cd "$work" || fail "cannot enter $work"

say "A handset starts with a SIM it has never registered (IMSI 001010123456789)."
echo "   The host process calls activateDmRegister(); --fast shortens its 120 s start-up delay."
$host --fast --tree tree.txt --scenario new-sim.txt 2> host-1.log &
host_pid=$!
wait_for 10 test -s outbox.txt || { show_trace host-1.log; fail "no registration SMS was sent"; }
wait_for 10 test -S "$socket" || fail "the listener did not start on $socket"
wait_for 5 grep -q 'listenAndProcess()' host-1.log || fail "the listener did not start"
show_trace host-1.log

say "The telephony service took one port-addressed SMS for the DM server:"
sed 's/^/   /' outbox.txt
imei=$(sed -n 's/.* data=IMEI:\([0-9]*\)\/.*/\1/p' outbox.txt | head -n 1)
[ -n "$imei" ] || fail "no IMEI in the SMS"

say "Playing the DM server: the local client asks for the port and delivers the acknowledgement."
port=$($client getport) || fail "dmreg-client getport failed"
echo "   client port: $port"
$client ack --success --imei "$imei" | sed 's/^/   /' || fail "the acknowledgement was not delivered"
wait_for 5 grep -q 'registration flag is OK' host-1.log || fail "the acknowledgement was not accepted"
show_trace host-1.log

say "What the handset recorded:"
[ "$(cat "$status_file" 2>/dev/null)" = 001010123456789 ] || fail "the status file does not hold the IMSI"
echo "   status file $status_file: $(cat "$status_file")"
grep -q "^$registration/RegStatus int 1\$" tree.txt || fail "RegStatus is not 1"
grep -q "^$registration/RegIMSI string 001010123456789\$" tree.txt || fail "RegIMSI does not hold the IMSI"
grep -E 'Registration/Reg(Status|IMSI) ' tree.txt | sed 's/^/   tree: /'

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
