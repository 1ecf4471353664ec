#!/usr/bin/env bash
# Builds the host program of this folder against an installed CloudStackSDKWrapper twice, once
# with CMake's find_package and once with pkg-config, and runs both against the installed
# cloudstack-sim: connect, list, stop and start web-01 by name, an unknown command whose error
# line reaches the host's sink.
#
#   examples/consumer/check.sh PREFIX [WORK_DIR]
#
# PREFIX is what `cmake --install build --prefix PREFIX` filled, or the usr/ folder of the Debian
# packages unpacked with `dpkg-deb -x`. The simulator listens on a loopback address of this
# process's own, on a port the system picks, and is stopped on exit.
set -euo pipefail

if [ $# -lt 1 ]; then
  echo "usage: examples/consumer/check.sh PREFIX [WORK_DIR]" >&2
  exit 2
fi
here=$(cd "$(dirname "$0")" && pwd)
prefix=$(cd "$1" && pwd)
work=${2:-$(mktemp -d "${TMPDIR:-/tmp}/cloudstack-consumer.XXXXXX")}
rm -rf "$work"
mkdir -p "$work"
work=$(cd "$work" && pwd)

sim_pid=""
cleanup() {
  if [ -n "$sim_pid" ]; then
    kill -TERM "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null || true
  fi
}
trap cleanup EXIT

echo "-- host built with find_package(CloudStackSDKWrapper)"
cmake -S "$here" -B "$work/cmake" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/cmake" >/dev/null
host_cmake=$work/cmake/cloudstack-host

echo "-- host built with pkg-config cloudstack-sdk-wrapper"
pc=$(find "$prefix" -name cloudstack-sdk-wrapper.pc -print -quit)
[ -n "$pc" ] || { echo "check: no cloudstack-sdk-wrapper.pc under $prefix" >&2; exit 1; }
export PKG_CONFIG_PATH=$(dirname "$pc")
# shellcheck disable=SC2046  # the flags are words
c++ -std=c++17 -Wall -Wextra -Werror -o "$work/cloudstack-host-pc" "$here/host.cpp" \
  $(pkg-config --cflags --libs cloudstack-sdk-wrapper) -Wl,-rpath,"$(pkg-config --variable=libdir cloudstack-sdk-wrapper)"
host_pc=$work/cloudstack-host-pc

# One address per process, apart from the 127.2-65.x.x range the test programs take.
address=127.$((66 + ($$ >> 16 & 63))).$(($$ >> 8 & 255)).$(($$ & 255))
fifo=$work/sim.out
mkfifo "$fifo"
"$prefix/bin/cloudstack-sim" --listen "$address" --port 0 --bad-login-delay-ms 0 >"$fifo" 2>"$work/sim.err" &
sim_pid=$!
exec 3<"$fifo"
# The simulator prints this line once it accepts connections; EOF means it gave up.
if ! IFS= read -r -t 60 line <&3 || [[ $line != "cloudstack-sim listening on "* ]]; then
  echo "check: cloudstack-sim did not start: ${line:-}" >&2
  cat "$work/sim.err" >&2
  exit 1
fi
server=${line##* }
echo "-- $line"

for host in "$host_cmake" "$host_pc"; do
  echo "\$ ${host#"$work"/} $server admin password web-01"
  "$host" "$server" admin password web-01
done
echo "consumer check: both hosts built against $prefix and ran"
