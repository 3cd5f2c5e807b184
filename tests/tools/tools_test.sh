#!/bin/bash
# The programs of the simulated handset: their error cases, and dmreg-client against a live
# listener run by dmreg-host. Usage: tools_test.sh BUILD_DIR SOURCE_DIR
set -u
build=$1
source_dir=$2
run=${DMREG_EMULATOR:-}
host="$run $build/bin/dmreg-host"
client="$run $build/bin/dmreg-client"
work="$build/tests/work/tools_test"
socket=/tmp/ipc_dmreg_sock
status_file=$(sed -n 's/^#define DMREG_STATUS_FILE "\(.*\)"$/\1/p' "$build/generated/dmreg_config.h")
registration=./DevDetail/Ext/Conf/PMF/Agents/Registration
passed=0
failed=0
host_pid=""

check() {  # check NAME EXPECTED_EXIT EXPECTED_OUTPUT_PART COMMAND...
  local name=$1 want=$2 part=$3; shift 3
  local out code
  out=$("$@" 2>&1); code=$?
  if [ "$code" = "$want" ] && [[ "$out" == *"$part"* ]]; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    printf 'FAILED %s: exit %s (wanted %s), output:\n%s\n(wanted to contain: %s)\n' "$name" "$code" "$want" "$out" "$part"
  fi
}
expect() {  # expect NAME CONDITION...
  local name=$1; shift
  if "$@"; then passed=$((passed + 1)); else failed=$((failed + 1)); echo "FAILED $name"; fi
}
wait_for() {
  for _ in $(seq 100); do "$@" && return 0; sleep 0.1; done
  return 1
}
cleanup() { [ -n "$host_pid" ] && kill "$host_pid" 2>/dev/null; wait 2>/dev/null; }
trap cleanup EXIT

rm -rf "$work" && mkdir -p "$work" && cd "$work" || exit 1

# dmreg-host
check "host help" 0 "usage: dmreg-host" $host --help
check "host unknown option" 2 "unknown or incomplete option '--slow'" $host --slow
check "host option without value" 2 "unknown or incomplete option '--tree'" $host --tree
check "host missing tree" 3 "dmreg-host: tree missing.txt: No such file or directory" $host --tree missing.txt
check "host scenario is a folder" 3 "dmreg-host: scenario .: not a regular file" $host --scenario .

# dmreg-client without a listener
touch not-a-socket
check "client help" 0 "usage: dmreg-client" $client --help
check "client usage" 2 "usage:" $client frobnicate
check "client bad timeout" 2 "unknown or incomplete option '--timeout'" $client --timeout x getport
check "client success without IMEI" 2 "usage:" $client ack --success
check "client nothing listens" 3 "nothing listens at none.sock" $client --socket none.sock getport
check "client not a socket" 4 "not-a-socket is not a socket" $client --socket not-a-socket getport
check "client text too long" 2 "at most 159 characters" $client ack "$(printf 'x%.0s' $(seq 160))"

# dmreg-client against listeners that misbehave (small local peers in python3)
peer() {  # peer SOCKET ANSWER|silent: serves one connection, then goes
  python3 - "$1" "$2" <<'PY' &
import os, socket, sys
path, answer = sys.argv[1], sys.argv[2]
if os.path.exists(path): os.unlink(path)
s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM); s.bind(path); s.listen(1)
c, _ = s.accept(); c.recv(256)
if answer == "silent": c.recv(1)  # holds the connection until the client gives up
else: c.sendall(answer.encode())
c.close(); s.close(); os.unlink(path)
PY
  wait_for test -S "$1"
}
peer peer.sock "hello"
check "client malformed answer" 5 'malformed answer from' $client --socket peer.sock getport
wait
peer peer.sock silent
check "client no answer" 6 "no answer from peer.sock within 1 s" $client --socket peer.sock --timeout 1 getport
wait

# dmreg-client against the library's listener
case "$status_file" in
  "$build"/*)
    cp "$source_dir/examples/trees/handset.txt" tree.txt
    cp "$source_dir/examples/scenarios/new-sim.txt" scenario.txt
    rm -f "$status_file"
    $host --fast --tree tree.txt --scenario scenario.txt 2> host.log &
    host_pid=$!
    expect "listener started" wait_for grep -q 'listenAndProcess()' host.log
    check "client port" 0 "16999" $client getport
    check "rejected acknowledgement" 0 "acknowledgement delivered: IMEI:111111111111111/1" $client ack "IMEI:111111111111111/1"
    expect "rejection recorded" grep -q "^$registration/RegStatus int 0\$" tree.txt
    expect "nothing registered" test ! -e "$status_file"
    check "success acknowledgement" 0 "acknowledgement delivered: IMEI:490154203237518/1" \
      $client ack --success --imei 490154203237518
    expect "success recorded in the tree" grep -q "^$registration/RegStatus int 1\$" tree.txt
    expect "IMSI recorded in the tree" grep -q "^$registration/RegIMSI string 001010123456789\$" tree.txt
    expect "IMSI recorded in the status file" test "$(cat "$status_file")" = 001010123456789
    kill "$host_pid"; wait "$host_pid" 2>/dev/null; host_pid=""
    rm -f "$socket"
    ;;
  *) echo "skipped the live listener: this build records registrations outside $build" ;;
esac

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
