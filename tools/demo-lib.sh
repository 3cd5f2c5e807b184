# Sourced by the demos: the build's paths, how they talk, and how they wait. Sets build, source_dir,
# socket, status_file and run_dir from BUILD_DIR ($1); a demo's cleanup stops what it started.
build=$(cd "${1:-build}" && pwd)
source_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
configured() { sed -n "s/^#define $1 \"\\(.*\\)\"\$/\\1/p" "$build/generated/dmreg_config.h"; }
socket=$(configured DMREG_SOCKET_PATH)
status_file=$(configured DMREG_STATUS_FILE)
run_dir=$(dirname "$socket")
registration=./DevDetail/Ext/Conf/PMF/Agents/Registration
cleanup() { :; }

say() { printf '\n\033[1m== %s\033[0m\n' "$*"; }
fail() {
  printf '\n\033[1;31mdemo failed: %s\033[0m\n' "$*" >&2
  cleanup
  finish
  exit 1
}
# The build's socket folder under /tmp is the demo's while it runs.
made_run_dir=""
finish() { [ -n "$made_run_dir" ] && rm -rf "$run_dir"; rm -f "$socket"; }
# Shows what a program has written to the file since the last call: all, or the lines that
# match an extended regular expression.
shown=0
show_trace() {  # show_trace FILE [PATTERN]
  local lines
  lines=$(wc -l < "$1")
  sed -n "$((shown + 1)),${lines}p" "$1" | grep -E "${2:-}" | sed 's/^/   | /'
  shown=$lines
}
wait_for() {  # wait_for SECONDS COMMAND...: until the command succeeds
  local limit=$(( $1 * 10 )); shift
  for _ in $(seq "$limit"); do "$@" && return 0; sleep 0.1; done
  return 1
}
# The demo's own folder, and the status file and socket of a build made for demos and tests.
start_demo() {  # start_demo WORK
  case "$status_file" in
    "$build"/*) ;;
    *) fail "this build records registrations in $status_file, outside $build; the demo needs the host build" ;;
  esac
  if [ ! -d "$run_dir" ]; then
    mkdir -m 700 "$run_dir" || fail "cannot make $run_dir"
    made_run_dir=yes
  fi
  # A socket file left by an earlier run is normal (the library replaces it); a live listener is not.
  if [ -e "$socket" ] && ${DMREG_EMULATOR:-} "$build/bin/dmreg-client" --timeout 1 getport >/dev/null 2>&1; then
    fail "a listener is already serving $socket: stop it first"
  fi
  rm -rf "$1" && mkdir -p "$1" || fail "cannot make $1"
  cp "$source_dir/examples/trees/handset.txt" "$1/tree.txt"
  # and the service's record of its tries and its copy of the tree
  rm -f "$status_file" "$(dirname "$status_file")/dmregd.state" "$(dirname "$status_file")/tree.txt"
  cd "$1" || fail "cannot enter $1"
}
# What the device recorded for the IMSI: the status file and the tree (the handset's own, or the
# service's copy of it).
show_recorded() {  # show_recorded IMSI [TREE]
  local tree=${2:-tree.txt}
  [ "$(cat "$status_file" 2>/dev/null)" = "$1" ] || fail "the status file does not hold the IMSI"
  echo "   status file $status_file: $(cat "$status_file")"
  grep -q "^$registration/RegStatus int 1\$" "$tree" || fail "RegStatus is not 1"
  grep -q "^$registration/RegIMSI string $1\$" "$tree" || fail "RegIMSI does not hold the IMSI"
  grep -E 'Registration/Reg(Status|IMSI) ' "$tree" | sed 's/^/   tree: /'
}
