#!/usr/bin/env bash
# Builds the command-line client and the management-server simulator, starts the simulator on
# 127.0.0.1:8080 and walks through the client's commands against it. The simulator is stopped on
# exit, also when a step fails; the exit status is non-zero when any step failed.
set -uo pipefail
cd "$(dirname "$0")/.."

CLI=build/tools/cli/cloudstack-cli
SIM=build/tools/simulator/cloudstack-sim
ADDRESS=127.0.0.1
PORT=8080

log=$(mktemp "${TMPDIR:-/tmp}/cloudstack-demo.XXXXXX")
sim_pid=""
failed=0

cleanup() {
  if [ -n "$sim_pid" ]; then
    kill -TERM "$sim_pid" 2>/dev/null
    wait "$sim_pid" 2>/dev/null
  fi
  rm -f "$log"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# Runs a preparation step quietly; its output is shown only when it fails.
prepare() {
  echo "\$ $*"
  if ! "$@" >"$log" 2>&1; then
    cat "$log"
    echo "demo: '$*' failed" >&2
    exit 1
  fi
}

listening() { (exec 3<>"/dev/tcp/$ADDRESS/$PORT") 2>/dev/null; }

# One client command, shown the way a person types it.
step() {
  echo
  echo "\$ cloudstack-cli $*"
  if ! "$CLI" "$@"; then
    echo "demo: 'cloudstack-cli $*' failed" >&2
    failed=1
  fi
}

prepare bash scripts/install-deps.sh
prepare cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
prepare cmake --build build --target cloudstack-cli cloudstack-sim

if listening; then
  echo "demo: something already listens on $ADDRESS:$PORT; stop it first (the simulator needs that port)" >&2
  exit 1
fi

echo "\$ cloudstack-sim --listen $ADDRESS &"
"$SIM" --listen "$ADDRESS" >"$log" 2>&1 &
sim_pid=$!
# Ready once it accepts connections and has printed its startup line.
for _ in $(seq 100); do
  listening && [ -s "$log" ] && break
  if ! kill -0 "$sim_pid" 2>/dev/null; then
    cat "$log"
    sim_pid=""
    echo "demo: the simulator ended before it listened" >&2
    exit 1
  fi
  sleep 0.1
done
if ! listening; then
  echo "demo: the simulator does not answer on $ADDRESS:$PORT" >&2
  exit 1
fi
cat "$log"

export CLOUDSTACK_SERVER=$ADDRESS CLOUDSTACK_USER=admin CLOUDSTACK_PASSWORD=password

step zones
step clusters
step hosts
step vms

# The first running machine of the listing: VM names are host-name labels, without blanks.
vm=$("$CLI" vms | awk 'NR > 1 && $2 == "Running" { print $1; exit }')
if [ -z "$vm" ]; then
  echo "demo: no running virtual machine to stop" >&2
  exit 1
fi
step stop --name "$vm"
step start --name "$vm"
step vms

echo
if [ "$failed" -ne 0 ]; then
  echo "demo: some steps failed" >&2
  exit 1
fi
echo "demo: every step succeeded; the simulator is stopped on exit"
