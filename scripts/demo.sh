#!/usr/bin/env bash
# The demonstration in one command: builds what is missing, plays a bus of one instrument of each
# model on a pseudo-terminal, and runs the module in the host stand-in with a live table of what the
# host sees. The first run searches the bus; later runs restore the saved configuration.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

usage() {
  cat <<'TEXT'
Usage: scripts/demo.sh [--seconds N] [--fresh] [--interactive] [--trace] [--mqtt | --opcua] [--state DIR] [--build DIR]

Runs the module against the bus simulator (tools/sim/demo.bus: a controller, an alarm instrument,
two transducers and a current-loop module whose values change by themselves, and a silent address)
and shows the live table of duzevod-host until Ctrl-C (or q) ends it.

The first run searches the bus (about 8 seconds: the silent address costs five attempts) and saves
the configuration in the state folder; later runs restore it. The operator's answers come from a
script; with --interactive the module's own dialog asks instead.

  --seconds N      end after N seconds (for unattended runs)
  --fresh          forget the saved configuration: search again
  --interactive    let the operator dialog show (choose the port ending in /line)
  --trace          write the frame trace to trace.log in the state folder
  --mqtt           run the MQTT gateway instead, with a private broker on 127.0.0.1, and show the
                   topics as a subscriber (mosquitto_sub) sees them; writes are allowed
  --opcua          run the gateway as a Sparkplug B edge node with a private broker, and duzevod-opcua
                   (the OPC UA server) on it; a client prints the served tree, then the server runs
                   on (Sign and SignAndEncrypt, user demo, password demo) until the end
  --state DIR      the state folder (default ${XDG_STATE_HOME:-~/.local/state}/duzevod-demo)
  --build DIR      use the programs built in DIR instead of building build/release
  --help           this text

On a terminal the table is redrawn in place; the keys r, c and b write the alarm instrument's Reset,
Cancellation and Mode of blocking bits.
TEXT
}

die() {
  echo "demo.sh: $*" >&2
  exit 2
}

seconds="" fresh=0 interactive=0 trace=0 mqtt=0 build=""
state="${XDG_STATE_HOME:-${HOME:-/tmp}/.local/state}/duzevod-demo"
opcua=0
while [ $# -gt 0 ]; do
  case $1 in
    --seconds | --state | --build)
      [ $# -ge 2 ] || die "$1 needs a value"
      case $1 in --seconds) seconds=$2 ;; --state) state=$2 ;; --build) build=$2 ;; esac
      shift 2 ;;
    --seconds=*) seconds=${1#*=}; shift ;;
    --state=*) state=${1#*=}; shift ;;
    --build=*) build=${1#*=}; shift ;;
    --fresh) fresh=1; shift ;;
    --interactive) interactive=1; shift ;;
    --trace) trace=1; shift ;;
    --mqtt) mqtt=1; shift ;;
    --opcua) opcua=1; shift ;;
    -h | --help) usage; exit 0 ;;
    *) die "unknown option '$1' (see --help)" ;;
  esac
done
[ -z "$seconds" ] || [[ $seconds =~ ^[0-9]+([.][0-9]+)?$ ]] || die "--seconds wants a number of seconds, not '$seconds'"
# The OPC UA mode runs the gateway too, as the MQTT mode does.
[ $opcua = 0 ] || [ $mqtt = 0 ] || die "--mqtt and --opcua are two different demonstrations: choose one"
[ $opcua = 0 ] || mqtt=1
# The operator script names the port by its path, one word.
[[ $state != *[[:space:]]* ]] || die "the state folder's path may not hold blanks: '$state' (use --state)"
[ $mqtt = 0 ] || [ $interactive = 0 ] || die "--mqtt runs the gateway in the background: leave out --interactive"
[ $mqtt = 0 ] || [[ -z $seconds || $seconds =~ ^[0-9]+$ ]] || die "--mqtt wants whole --seconds, not '$seconds'"

if [ -z "$build" ]; then
  build=$root/build/release
  if [ ! -f "$build/build.ninja" ]; then
    # Only the Linux build and its libraries: the test toolchain (Wine, mingw-w64, Xvfb…) is the test
    # command's business, and the tests are not configured here.
    "$root/scripts/install-deps.sh" --linux
    echo "demo: building $build (once; a few minutes)" >&2
    (cd "$root" && cmake --preset release -DBUILD_TESTING=OFF) >/dev/null
  fi
  cmake --build "$build" --target duzevod duzevod-host duzevod-sim $([ $mqtt = 0 ] || echo duzevod-mqtt) >/dev/null
fi
module=$build/libduzevod.so host=$build/tools/host/duzevod-host sim=$build/tools/sim/duzevod-sim
[ $mqtt = 0 ] || host=$build/tools/mqtt/duzevod-mqtt
for program in "$module" "$host" "$sim"; do
  [ -e "$program" ] || die "$program is missing (build it, or leave out --build)"
done

mkdir -p "$state"
state=$(cd "$state" && pwd)
[ $fresh = 0 ] || rm -f "$state/DUZEvod.sys"

sim_pid="" gateway_pid="" broker_pid="" sub_pid=""
cleanup() {
  # The gateway before the broker: it says "offline" to the broker before the broker goes.
  for pid in "$sub_pid" "$gateway_pid" "$broker_pid" "$sim_pid"; do
    if [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null; then
      kill "$pid" 2>/dev/null || true
      wait "$pid" 2>/dev/null || true
    fi
  done
}
trap cleanup EXIT
trap 'exit 130' INT TERM
stop_pid() {
  [ -n "$1" ] && kill "$1" 2>/dev/null && wait "$1" 2>/dev/null || true
}

# The simulator prints its pseudo-terminal's path first; its commands are not read from here.
"$sim" --bus "$root/tools/sim/demo.bus" </dev/null >"$state/sim.out" 2>"$state/sim.log" &
sim_pid=$!
pty=""
for _ in $(seq 100); do
  pty=$(head -n 1 "$state/sim.out" 2>/dev/null || true)
  [ -z "$pty" ] || break
  kill -0 "$sim_pid" 2>/dev/null || { cat "$state/sim.log" >&2; die "the simulator did not start"; }
  sleep 0.05
done
[ -n "$pty" ] || die "the simulator gave no line in time"
# A fixed name for the changing pseudo-terminal, so that a saved configuration finds the bus again.
line=$state/line
ln -sfn "$pty" "$line"

settings=(DUZEVOD_DIR="$state" DUZEVOD_PORTS="$line")
if [ $interactive = 0 ]; then
  if [ -f "$state/DUZEvod.sys" ]; then
    echo "demo: restoring the configuration saved in $state (--fresh searches again)" >&2
    settings+=(DUZEVOD_OPERATOR="answer no")
  else
    # demo.bus uses addresses 1 to 6.
    echo "demo: searching addresses 1 to 6 on $pty (address 4 is silent and takes a few seconds)" >&2
    settings+=(DUZEVOD_OPERATOR="dialog port=$line limit=6 search; dialog exit")
  fi
fi
[ $trace = 0 ] || settings+=(DUZEVOD_TRACE="$state/trace.log")
arguments=(--module "$module")
[ -z "$seconds" ] || arguments+=(--seconds "$seconds")

# --opcua: broker, the gateway as the Sparkplug edge node "demo-line" of group "demo", the OPC UA server
# on a free port, and a plain OPC UA client that prints what the server shows.
# A private broker on a free port of 127.0.0.1 (broker_port, broker_pid): a taken port makes mosquitto
# end at once, and another is tried.
start_broker() {
  for _ in $(seq 20); do
    broker_port=$((20000 + RANDOM % 20000))
    printf 'listener %s 127.0.0.1\nallow_anonymous true\npersistence false\n' "$broker_port" >"$state/mosquitto.conf"
    [ "$(id -u)" -ne 0 ] || echo "user root" >>"$state/mosquitto.conf"
    mosquitto -c "$state/mosquitto.conf" </dev/null >/dev/null 2>"$state/mosquitto.log" &
    broker_pid=$!
    sleep 0.3
    kill -0 "$broker_pid" 2>/dev/null && return
    broker_pid=""
  done
  die "the broker did not start (see $state/mosquitto.log)"
}

run_opcua() {
  local opcua_dir=$root/tools/opcua ua_port bport="" opcua_pid="" client_pki=$state/opcua-client-pki
  command -v node >/dev/null && command -v npm >/dev/null ||
    die "--opcua needs node and npm (scripts/install-deps.sh installs them)"
  command -v mosquitto >/dev/null || die "--opcua needs mosquitto (scripts/install-deps.sh installs it)"
  "$opcua_dir/npm-ci.sh" || die "the OPC UA server's packages are not installed (see above)"
  start_broker
  bport=$broker_port
  # The server's users and certificate store, and the client's certificate in its trusted folder.
  printf 'demo\n' >"$state/opcua-password"
  node "$opcua_dir/bin/duzevod-opcua.js" --hash-password demo <"$state/opcua-password" >"$state/opcua-users"
  local cert
  cert=$(node "$opcua_dir/bin/duzevod-opcua-browse.js" --pki "$client_pki" --init)
  mkdir -p "$state/opcua-pki/trusted/certs"
  cp "$cert" "$state/opcua-pki/trusted/certs/duzevod-opcua-browse.pem"
  ua_port=$(node -e 'const s=require("net").createServer().listen(0,"127.0.0.1",()=>{console.log(s.address().port);s.close()})')
  echo "demo: broker on 127.0.0.1:$bport; gateway log $state/mqtt.log, server log $state/opcua.log" >&2
  # The server is the group's primary host: the gateway sends its births once the server listens.
  node "$opcua_dir/bin/duzevod-opcua.js" --broker "127.0.0.1:$bport" --group demo --host-id demo-host \
    --port "$ua_port" --users "$state/opcua-users" --pki "$state/opcua-pki" --allow-writes </dev/null \
    2>"$state/opcua.log" &
  opcua_pid=$!
  # The gateway goes first, so that its NDEATH still reaches the server (a primary host that went
  # offline first would have it leave the broker and find no broker to say goodbye to); then the server,
  # which says offline before the broker goes (cleanup stops the rest).
  trap 'stop_pid "$gateway_pid"; stop_pid "$opcua_pid"; cleanup' EXIT
  local endpoint=opc.tcp://127.0.0.1:$ua_port
  for _ in $(seq 150); do
    grep -q "connected to the broker" "$state/opcua.log" 2>/dev/null && break
    kill -0 "$opcua_pid" 2>/dev/null || { cat "$state/opcua.log" >&2; die "the OPC UA server did not start"; }
    sleep 0.2
  done
  env -u DUZEVOD_OPERATOR "${settings[@]}" "$host" --module "$module" --broker "127.0.0.1:$bport" \
    --sparkplug demo --edge-node demo-line --primary-host demo-host --allow-writes </dev/null \
    2>"$state/mqtt.log" &
  gateway_pid=$!
  echo "demo: OPC UA server at $endpoint (user demo, password demo); waiting for the devices" >&2
  node "$opcua_dir/bin/duzevod-opcua-browse.js" --pki "$client_pki" --endpoint "$endpoint" --user demo \
    --password-file "$state/opcua-password" --wait 60 ||
    { tail -n 20 "$state/opcua.log" "$state/mqtt.log" >&2; die "the client could not browse the server"; }
  echo "demo: any OPC UA client may connect to $endpoint now: its certificate goes from" \
    "$state/opcua-pki/rejected to $state/opcua-pki/trusted/certs" >&2
  if [ -n "$seconds" ]; then
    sleep "$seconds"
  else
    echo "demo: Ctrl-C ends it" >&2
    wait "$opcua_pid" || true
  fi
  exit 0
}
[ $opcua = 0 ] || run_opcua

status=0
if [ $mqtt = 1 ]; then
  command -v mosquitto >/dev/null && command -v mosquitto_sub >/dev/null ||
    die "--mqtt needs mosquitto and mosquitto-clients (scripts/install-deps.sh installs them)"
  start_broker
  port=$broker_port
  echo "demo: broker on 127.0.0.1:$port; the gateway's messages go to $state/mqtt.log" >&2
  echo "demo: write a command bit with: mosquitto_pub -p $port -t 'demo/Device2/Reset/set' -m 1" >&2
  arguments=(--module "$module" --broker "127.0.0.1:$port" --prefix demo --allow-writes)
  env -u DUZEVOD_OPERATOR "${settings[@]}" "$host" "${arguments[@]}" </dev/null 2>"$state/mqtt.log" &
  gateway_pid=$!
  # What a subscriber sees: every topic under the prefix, retained state first. The demo reads its lines
  # itself, so that the time being up or Ctrl-C ends the subscriber rather than the subscriber's own
  # time-out, which it reports as a failure.
  coproc SUBSCRIBER { exec mosquitto_sub -h 127.0.0.1 -p "$port" -t 'demo/#' -v 2>"$state/subscriber.log"; }
  sub_pid=$SUBSCRIBER_PID
  exec {from_sub}<&"${SUBSCRIBER[0]}"
  interrupted=0
  trap 'interrupted=1' INT TERM  # a trapped signal cuts the read short
  started=$SECONDS messages=0 pending="" why=""
  declare -A topics=()
  while [ $interrupted = 0 ]; do
    if [ -n "$seconds" ] && [ $((SECONDS - started)) -ge "$seconds" ]; then break; fi
    if ! kill -0 "$gateway_pid" 2>/dev/null; then
      wait "$gateway_pid" && status=0 || status=$?
      why="the gateway ended by itself (status $status); its messages are in $state/mqtt.log"
      break
    fi
    if IFS= read -r -t 1 chunk <&"$from_sub"; then
      line=$pending$chunk pending=""
      printf '%s\n' "$line"
      messages=$((messages + 1))
      topics[${line%% *}]=1
    elif [ $? -gt 128 ]; then
      pending+=$chunk  # no line end yet (or the read was interrupted): keep what came
    else
      wait "$sub_pid" && status=0 || status=$?
      why="the subscriber ended by itself (status $status; see $state/subscriber.log)"
      break
    fi
  done
  trap 'exit 130' INT TERM
  exec {from_sub}<&-
  took=$((SECONDS - started))
  # On a terminal Ctrl-C reaches the gateway and the subscriber too, which may end first: no failure.
  if [ -n "$why" ] && [ $interrupted = 0 ]; then
    echo "demo: $why" >&2
    [ "$status" != 0 ] || status=1
    exit "$status"
  fi
  shown="the subscriber saw $messages messages on ${#topics[@]} topics in $took s"
  [ $interrupted = 0 ] || shown="interrupted; $shown"
  echo "demo: $shown (the gateway's own messages: $state/mqtt.log)" >&2
  exit 0
fi
env -u DUZEVOD_OPERATOR "${settings[@]}" "$host" "${arguments[@]}" || status=$?
[ $trace = 0 ] || echo "demo: frames in $state/trace.log" >&2
exit $status
