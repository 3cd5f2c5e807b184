#!/bin/bash
# The simulated handset's programs: their error cases, and dmreg-client against a live listener
# run by dmreg-host. Usage: tools_test.sh BUILD_DIR SOURCE_DIR
set -u
build=$1
source_dir=$2
run=${DMREG_EMULATOR:-}
host="$run $build/bin/dmreg-host"
client="$run $build/bin/dmreg-client"
work="$build/tests/work/tools_test"
configured() { sed -n "s/^#define $1 \"\\(.*\\)\"\$/\\1/p" "$build/generated/dmreg_config.h"; }
status_file=$(configured DMREG_STATUS_FILE)
registration=./DevDetail/Ext/Conf/PMF/Agents/Registration
failed=0

check() {  # check NAME EXPECTED_EXIT EXPECTED_OUTPUT_PART COMMAND...
  local name=$1 want=$2 part=$3; shift 3
  local out code
  out=$("$@" 2>&1); code=$?
  if [ "$code" != "$want" ] || [[ "$out" != *"$part"* ]]; then
    failed=$((failed + 1))
    printf 'FAILED %s: exit %s (wanted %s), output:\n%s\n(wanted: %s)\n' "$name" "$code" "$want" "$out" "$part"
  fi
}
wait_for() { for _ in $(seq 100); do "$@" && return 0; sleep 0.1; done; return 1; }
trap 'kill $(jobs -p) 2>/dev/null; wait 2>/dev/null' EXIT
rm -rf "$work" && mkdir -p "$work" && cd "$work" || exit 1

check "host unknown option" 2 "unknown or incomplete option '--slow'" $host --slow
check "host missing tree" 3 "dmreg-host: tree missing.txt: No such file or directory" $host --tree missing.txt
check "host scenario is a folder" 3 "dmreg-host: scenario .: not a regular file" $host --scenario .
touch not-a-socket
check "client usage" 2 "usage:" $client ack --success
check "client bad timeout" 2 "unknown or incomplete option '--timeout'" $client --timeout x getport
check "client nothing listens" 3 "nothing listens at none.sock" $client --socket none.sock getport
check "client not a socket" 4 "not-a-socket is not a socket" $client --socket not-a-socket getport
check "client text too long" 2 "at most 159 characters" $client ack "$(printf '%0160d' 0)"

# Listeners that misbehave: one answers nonsense, one nothing at all. Each has a socket of its
# own, made anew, so that a client never meets the one before.
peer() {  # peer NAME COMMAND: a listener at NAME.sock that runs COMMAND for its one client
  rm -f "$1.sock"
  socat UNIX-LISTEN:"$1.sock" SYSTEM:"$2" &
  peer_pid=$!
  wait_for test -S "$1.sock" || echo "FAILED: no listener at $1.sock"
}
if command -v socat > /dev/null; then
  peer nonsense 'head -c 14 >/dev/null; printf hello'
  check "client malformed answer" 5 'malformed answer from nonsense.sock: "hello"' $client --socket nonsense.sock getport
  kill "$peer_pid" 2>/dev/null; wait "$peer_pid" 2>/dev/null
  peer silent 'cat >/dev/null'
  check "client no answer" 6 "no answer from silent.sock within 1 s" $client --socket silent.sock --timeout 1 getport
  kill "$peer_pid" 2>/dev/null; wait "$peer_pid" 2>/dev/null
else
  echo "skipped the listeners that misbehave: socat is not installed (apt-get install socat)"
fi

case "$status_file" in
  "$build"/*)
    cp "$source_dir/examples/trees/handset.txt" tree.txt
    rm -f "$status_file"
    $host --fast --tree tree.txt --scenario "$source_dir/examples/scenarios/new-sim.txt" 2> host.log &
    wait_for grep -q 'listenAndProcess()' host.log || echo "FAILED: no listener"
    check "client port" 0 "16999" $client getport
    check "rejected acknowledgement" 0 "delivered: IMEI:111111111111111/1" $client ack "IMEI:111111111111111/1"
    grep -q "^$registration/RegStatus int 0\$" tree.txt || check "rejection recorded" 0 "" false
    check "success" 0 "delivered: IMEI:490154203237518/1" $client ack --success --imei 490154203237518
    grep -q "^$registration/RegStatus int 1\$" tree.txt || check "success recorded in the tree" 0 "" false
    [ "$(cat "$status_file")" = 001010123456789 ] || check "IMSI in the status file" 0 "" false
    ;;
  *) echo "skipped the live listener: this build records registrations outside $build" ;;
esac
echo "tools: $failed failed"
[ "$failed" -eq 0 ]
