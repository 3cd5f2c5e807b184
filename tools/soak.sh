#!/bin/bash
# soak.sh BUILD_DIR [RUNS]: RUNS (1000) registrations of dmregd --fast on dmreg-modem-sim, each
# on a SIM and a modem of their own identities, with up to two faults drawn at random from those
# real modules show, and the server's reply delivered. Reports how many registered, and fails on
# any wrong identity sent or recorded, any reply lost, any run that did not end within its bound.
# The draw is seeded: a run that fails can be run again as it was. Leaves all in BUILD_DIR/soak.
set -u
source "$(dirname "$0")/demo-lib.sh"
runs=${2:-1000}
work=$build/soak
bound=120  # seconds a run may take, its faults and their timeouts included
sim_pid=""
cleanup() { [ -n "$sim_pid" ] && exec 3>&- && wait "$sim_pid"; }
RANDOM=1206

luhn() {  # luhn 14DIGITS: the IMEI's check digit
  local sum=0 d
  for (( i = 0; i < 14; i++ )); do
    d=${1:i:1}
    (( i % 2 == 1 )) && d=$(( d * 2 )) && (( d > 9 )) && d=$(( d - 9 ))
    sum=$(( sum + d ))
  done
  echo $(( (10 - sum % 10) % 10 ))
}
digits() { local out=""; for (( i = 0; i < $1; i++ )); do out+=$(( RANDOM % 10 )); done; echo "$out"; }
asked=0  # control lines written; the simulator answers each with one line
sim() { echo "$1" >&3; asked=$((asked + 1)); }
# Every line written taken: a modem's state must be set before dmregd meets it.
answered() { [ "$(wc -l < sim.out)" -gt "$asked" ]; }  # its "ready" line first
replied() { [ "$(grep -c '^ok 00' sim.out)" -gt "$1" ]; }  # counted anew at each look
# The faults, each a control line or a few separated by " ; "; those after "then" come once dmregd
# listens.
faults=(
  "late-imsi:set answer AT+CIMI = \$imsi{late} | \$imsi"
  "late-imei:set answer AT+CGSN = \$imei{late} | \$imei"
  "refused-prompt:set prompt = +CMS ERROR: 331 | \\\\r\\\\n> "
  "network-error:set send = +CMS ERROR: 332 | +CMS ERROR: 512 | ok"
  "no-prompt:set prompt = {silent} | \\\\r\\\\n> "
  "left-at-prompt:datamode"
  "vanishes-at-prompt:set prompt = {blink} | \\\\r\\\\n> "
  "sim-busy:set answer AT+CPIN? = +CME ERROR: 14 | +CME ERROR: SIM busy | +CPIN: READY"
  "imeisv:set answer AT+CGSN = \${imei:0:14}42"
  "read-fails:set answer AT+CMGR=1 = ERROR | {default}"
  "line-at-a-time:set chunk = line"
  "three-byte-pieces:set chunk = 3"
  "urc-before-pdu:set between = ^RSSI: 17"
  "sms-late:set sms_after = 3"
  "one-memory-cpms:set cpms = 1"
  "storage-full:set capacity = 1 ; store 0040038121F30004622170417305000C0605040B840B8468656C6C6F"
  "first-read-cut:set answer AT+CMGR=1 = +CMGR: 0,,48\\\\n0044 | {default}"
  "then flood:flood 100 RING"
  "then announcement-lost:store"
  "then sim-storage:deliver SM"
  "then reset-in-place:reboot"
  "then reset-to-text-mode:reboot text"
)

start_demo "$work"
mkfifo control
: > record
"$build/bin/dmreg-modem-sim" --link "$work/modem" --record record < control > sim.out &
sim_pid=$!
exec 3> control
wait_for 10 grep -q '^ready' sim.out || fail "the simulator did not start"
printf 'modem = %s\ntree = %s\nlist_interval = 1\nretry_interval = 1\n' "$work/modem" "$work/tree.txt" > dmregd.conf
: > soak.log
registered=0 wrong=0 lost=0 slow=0
for (( run = 1; run <= runs; run++ )); do
  imsi=00101$(digits 10)
  imei14=$(digits 14)
  imei=$imei14$(luhn "$imei14")
  drawn=()
  for (( n = RANDOM % 3; n > 0; n-- )); do drawn+=("${faults[RANDOM % ${#faults[@]}]}"); done
  sim reset
  sim "set answer AT+CIMI = $imsi"
  sim "set answer AT+CGSN = $imei"
  reply=deliver
  names=""
  for fault in "${drawn[@]}"; do
    names+="${names:+,}${fault%%:*}"
    line=$(eval echo "\"${fault#*:}\"")
    case $fault in
      "then announcement-lost"*) reply=store ;;
      "then sim-storage"*) reply="deliver SM" ;;
      then*) ;;
      *) while IFS= read -r part; do sim "$part"; done <<< "${line// ; /$'\n'}" ;;
    esac
  done
  echo "run $run: ${names:-no fault}" > current-run  # what a run that does not end drew
  cp "$source_dir/examples/trees/handset.txt" tree.txt
  rm -f "$status_file" "$(dirname "$status_file")/dmregd.state" "$(dirname "$status_file")/tree.txt"
  wait_for 10 answered || fail "the simulator does not take its control lines"
  recorded_before=$(wc -l < record)
  started=$(date +%s%N)
  : > run.log  # emptied here: the started program's own redirection may come after the wait below looks
  "$build/bin/dmregd" --fast --config dmregd.conf 2>> "run.log" &
  service=$!
  ok=yes
  wait_for $bound grep -q 'listenAndProcess()' run.log || ok="no listener"
  for fault in "${drawn[@]}"; do
    case $fault in
      "then flood"*) sim "flood 100 RING" ;;
      "then reset"*) sim "${fault#*:}" ;;
    esac
  done
  sent=$(tail -n +$((recorded_before + 1)) record | sed -n 's/^pdu //p' | head -n 1)
  hex=$(echo "$sent" | grep -o '494D45493A[0-9A-F]*' | head -n 1)
  text=$(printf "$(echo "$hex" | sed 's/../\\x&/g')")  # the registration text the SMS carries
  [ "${text:5:15}" = "$imei" ] || { ok="sent the IMEI '${text:5:15}' for $imei"; wrong=$((wrong + 1)); }
  built=$(grep -c '^ok 00' sim.out)
  sim "pdu +15550100200 IMEI:$imei/1"
  wait_for 60 replied "$built" || fail "the simulator built no reply"
  sim "$reply $(grep '^ok 00' sim.out | tail -n 1 | cut -c4-)"
  for _ in $(seq $((bound * 10))); do kill -0 "$service" 2>/dev/null || break; sleep 0.1; done
  if kill -0 "$service" 2>/dev/null; then
    kill -9 "$service"
    [ "$ok" = yes ] && ok="did not end within $bound s" && slow=$((slow + 1))
  fi
  wait "$service"
  status=$?
  seconds=$(( ($(date +%s%N) - started) / 1000000 ))
  recorded=$(cat "$status_file" 2>/dev/null)
  if [ "$ok" = yes ] && [ "$status" != 0 ]; then ok="ended with $status"; lost=$((lost + 1)); fi
  if [ "$ok" = yes ] && [ "$recorded" != "$imsi" ]; then ok="recorded '$recorded' for $imsi"; wrong=$((wrong + 1)); fi
  [ "$ok" = yes ] && registered=$((registered + 1))
  printf 'run %d: %s; IMSI %s, IMEI %s: %s in %d ms\n' "$run" "${names:-no fault}" "$imsi" "$imei" \
    "$([ "$ok" = yes ] && echo registered || echo "FAILED, $ok")" "$seconds" >> soak.log
  [ "$ok" = yes ] || cp run.log "failed-run-$run.log"
  (( run % 50 == 0 )) && echo "soak: $run runs, $registered registered"
done
cleanup
sim_pid=""
finish
echo "soak: $registered of $runs registered; $wrong with a wrong identity, $lost replies lost, $slow beyond $bound s (each run in $work/soak.log)"
[ "$registered" -eq "$runs" ]
