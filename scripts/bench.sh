#!/usr/bin/env bash
# Builds a Release tree of its own (build-bench/) and prints the benchmark tables:
#   1. one answer of 10,000 machines: the library's list parse, the tree route it replaced, a
#      simdjson On-Demand floor and Python (json.loads + dicts), with peak RSS per body size;
#   2. growth from 1,000 to 100,000 machines in one answer;
#   3. end to end against cloudstack-sim: every page of 10,000 and 50,000 machines, and small calls;
#   4. 100 machines stopped one at a time and with 4, 8 and 16 machines in progress (jobs of 1 s);
#   5. paged lists of 10,000 to 100,000 machines, the simulator and the client each on a core of its own:
#      wall time against max(transfer, parse), the next page asked for after the parse (before) and during it.
# Every figure is a median of RUNS runs (default 5); the one-at-a-time row of table 4 is SERIAL_RUNS runs
# (default 1: it takes over 100 s). Benchmarks print; they assert nothing.
#
#   scripts/bench.sh                    everything
#   scripts/bench.sh parse              tables 1 and 2 only
#   scripts/bench.sh e2e                table 3 only
#   scripts/bench.sh bulk               table 4 only
#   scripts/bench.sh pages              table 5 only
# Environment: RUNS, SIZES (growth rows), E2E_VMS, SMALL_CALLS, SIM_ADDR (a loopback address), BULK_VMS,
# SERIAL_RUNS, PAGED_VMS.
set -euo pipefail
cd "$(dirname "$0")/.."

what=${1:-all}
RUNS=${RUNS:-5}
SIZES=${SIZES:-"1000 2000 5000 10000 20000 50000 100000"}
E2E_VMS=${E2E_VMS:-"10000 50000"}
SMALL_CALLS=${SMALL_CALLS:-2000}
SIM_ADDR=${SIM_ADDR:-127.42.0.1}
BULK_VMS=${BULK_VMS:-100}
SERIAL_RUNS=${SERIAL_RUNS:-1}
PAGED_VMS=${PAGED_VMS:-"10000 50000 100000"}
PYTHON=${PYTHON:-python3}

build=build-bench
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCLOUDSTACK_BUILD_TESTS=OFF -DCLOUDSTACK_BUILD_BENCHMARKS=ON >/dev/null
cmake --build "$build" -j2 --target parser_bench parser_floor e2e_client paged_bench cloudstack-sim >/dev/null
bench=$build/bench
work=$(mktemp -d)
sim_pid=""
cleanup() {
  [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

# value NAME FILE: the value of the line "NAME value" in FILE
value() { awk -v k="$1" '$1 == k { print $2 }' "$2"; }
# median of the numbers on stdin
median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
rss_ratio() { awk -v kib="$(value peak_rss_kib "$1")" -v bytes="$(value body_bytes "$1")" 'BEGIN { printf "%.2f", kib * 1024 / bytes }'; }

# start_sim ARGS...: cloudstack-sim on $SIM_ADDR:8080 with ARGS, under $SIM_PIN (a taskset, or nothing);
# returns once it accepts connections.
SIM_PIN=""
start_sim() {
  $SIM_PIN "$build/tools/simulator/cloudstack-sim" --listen "$SIM_ADDR" "$@" >"$work/sim.log" 2>&1 &
  sim_pid=$!
  for _ in $(seq 1 300); do
    if "$PYTHON" -c "import socket, sys; s = socket.socket(); s.settimeout(0.2); sys.exit(s.connect_ex(('$SIM_ADDR', 8080)))"; then
      return 0
    fi
    kill -0 "$sim_pid" 2>/dev/null || { cat "$work/sim.log"; return 1; }
    sleep 0.1
  done
  echo "cloudstack-sim did not start"; return 1
}
stop_sim() { kill "$sim_pid"; wait "$sim_pid" 2>/dev/null || true; sim_pid=""; }
# repeat FILE-PREFIX COMMAND...: runs COMMAND $RUNS times into FILE-PREFIX.1, .2, ...
repeat() { local out=$1; shift; for i in $(seq 1 "$RUNS"); do "$@" >"$out.$i"; done; }
med() { for f in "$2".*; do value "$1" "$f"; done | median; }

echo "machine: $(nproc) cores, $(awk '/MemTotal/ { printf "%.0f GiB", $2 / 1048576 }' /proc/meminfo); load average at start: $(cut -d' ' -f1-3 /proc/loadavg)"
echo "every figure is a median of $RUNS runs; wall = elapsed time, CPU = the parsing thread's CPU time"

if [ "$what" = all ] || [ "$what" = parse ]; then
  # ---------------------------------------------------------------------------------------------
  n=10000
  "$bench/parser_bench" write $n "$work/body.json" >/dev/null
  "$bench/parser_bench" time $n "$RUNS" >"$work/lib"
  "$bench/parser_floor" time $n "$RUNS" >"$work/floor"
  "$PYTHON" bench/python_client.py parse "$work/body.json" "$RUNS" >"$work/py"
  "$bench/parser_bench" rss lib $n >"$work/rss-lib"
  "$bench/parser_bench" rss tree $n >"$work/rss-tree"
  "$bench/parser_floor" rss $n >"$work/rss-floor"
  "$PYTHON" bench/python_client.py rss "$work/body.json" >"$work/rss-py"

  lib=$(value library_ms "$work/lib")
  lib_cpu=$(value library_cpu_ms "$work/lib")
  bytes=$(value body_bytes "$work/lib")
  echo
  echo "== 1. One answer of $n machines ($(awk -v b="$bytes" 'BEGIN { printf "%.1f MB", b / 1e6 }')): listVirtualMachines into SVMInfoLib records =="
  printf "%-36s %10s %10s %13s %13s %16s\n" "route" "wall ms" "CPU ms" "wall / lib" "CPU / lib" "peak RSS / body"
  row() { printf "%-36s %10.1f %10.1f %12sx %12sx %15sx\n" "$1" "$2" "$3" "$(ratio "$2" "$lib")" "$(ratio "$3" "$lib_cpu")" "$4"; }
  row "library ParseNestedList (one pass)" "$lib" "$lib_cpu" "$(rss_ratio "$work/rss-lib")"
  row "library tree route (before)" "$(value tree_ms "$work/lib")" "$(value tree_cpu_ms "$work/lib")" "$(rss_ratio "$work/rss-tree")"
  row "simdjson On-Demand floor" "$(value floor_ms "$work/floor")" "$(value floor_cpu_ms "$work/floor")" "$(rss_ratio "$work/rss-floor")"
  row "Python json.loads + dicts" "$(value python_ms "$work/py")" "$(value python_cpu_ms "$work/py")" "$(rss_ratio "$work/rss-py")"
  echo "targets: library >= 10x faster than Python (wall $(ratio "$(value python_ms "$work/py")" "$lib")x, CPU $(ratio "$(value python_cpu_ms "$work/py")" "$lib_cpu")x);" \
       "within 3x of the floor (wall $(ratio "$lib" "$(value floor_ms "$work/floor")")x, CPU $(ratio "$lib_cpu" "$(value floor_cpu_ms "$work/floor")")x);" \
       "peak RSS <= 2x the body, stretch 1.5x ($(rss_ratio "$work/rss-lib")x)"
  echo "(peak RSS: a separate process that builds only the body, then parses it once; Python reads the body from a file)"

  # ---------------------------------------------------------------------------------------------
  echo
  echo "== 2. Growth: one answer of N machines =="
  printf "%8s %10s %12s %12s %14s %14s %12s\n" "machines" "body MB" "library ms" "us/machine" "RSS / body" "floor ms" "floor us/m"
  for n in $SIZES; do
    "$bench/parser_bench" time-lib "$n" "$RUNS" >"$work/g-lib"
    "$bench/parser_bench" rss lib "$n" >"$work/g-rss"
    "$bench/parser_floor" time "$n" "$RUNS" >"$work/g-floor"
    ms=$(value library_ms "$work/g-lib")
    fms=$(value floor_ms "$work/g-floor")
    printf "%8d %10.1f %12.1f %12.2f %13sx %14.1f %12.2f\n" "$n" \
      "$(awk -v b="$(value body_bytes "$work/g-lib")" 'BEGIN { print b / 1e6 }')" "$ms" \
      "$(awk -v t="$ms" -v n="$n" 'BEGIN { print t * 1000 / n }')" "$(rss_ratio "$work/g-rss")" \
      "$fms" "$(awk -v t="$fms" -v n="$n" 'BEGIN { print t * 1000 / n }')"
  done
fi

if [ "$what" = all ] || [ "$what" = e2e ]; then
  # ---------------------------------------------------------------------------------------------
  echo
  echo "== 3a. End to end, paged: login and every page of 500 from cloudstack-sim ($SIM_ADDR) =="
  printf "%8s  %-40s %10s %10s %12s %16s\n" "machines" "client" "wall ms" "CPU ms" "CPU / lib" "wall / transfer"
  for n in $E2E_VMS; do
    start_sim --vms "$n"
    repeat "$work/e-lib" "$bench/e2e_client" paged "$SIM_ADDR" admin password
    repeat "$work/e-py" "$PYTHON" bench/python_client.py paged "$SIM_ADDR" admin password 500
    repeat "$work/e-raw" "$bench/e2e_client" fetch "$SIM_ADDR" admin password 500
    stop_sim
    got=$(value machines "$work/e-lib.1")
    [ "$got" = "$n" ] || echo "warning: the library listed $got machines of $n"
    raw=$(med wall_ms "$work/e-raw")
    lcpu=$(med cpu_ms "$work/e-lib")
    for c in "library (C++ client, CCloudStackWrapper):e-lib" "Python http.client + json.loads + dicts:e-py" "transfer alone (libcurl, bodies dropped):e-raw"; do
      name=${c%%:*}; file=${c##*:}
      w=$(med wall_ms "$work/$file"); p=$(med cpu_ms "$work/$file")
      printf "%8d  %-40s %10.1f %10.1f %11sx %15sx\n" "$n" "$name" "$w" "$p" "$(ratio "$p" "$lcpu")" "$(ratio "$w" "$raw")"
    done
  done
  echo "(CPU = the client process's user + system time; the simulator runs on the same machine)"

  echo
  echo "== 3b. Small calls: $SMALL_CALLS listZones on one client (library: one wrapper; Python: one keep-alive http.client connection) =="
  printf "%-40s %16s %16s %12s\n" "client" "wall us/call" "CPU us/call" "CPU / lib"
  start_sim --vms 10
  repeat "$work/s-lib" "$bench/e2e_client" small "$SIM_ADDR" admin password "$SMALL_CALLS"
  repeat "$work/s-py" "$PYTHON" bench/python_client.py small "$SIM_ADDR" admin password "$SMALL_CALLS"
  repeat "$work/s-raw" "$bench/e2e_client" fetch-small "$SIM_ADDR" admin password "$SMALL_CALLS"
  stop_sim
  lcpu=$(med cpu_us_per_call "$work/s-lib")
  for c in "library GetZoneInfoList:s-lib" "Python http.client keep-alive:s-py" "transfer alone (libcurl easy handle):s-raw"; do
    name=${c%%:*}; file=${c##*:}
    p=$(med cpu_us_per_call "$work/$file")
    printf "%-40s %16.1f %16.1f %11sx\n" "$name" "$(med wall_us_per_call "$work/$file")" "$p" "$(ratio "$p" "$lcpu")"
  done
fi

if [ "$what" = all ] || [ "$what" = bulk ]; then
  # ---------------------------------------------------------------------------------------------
  echo
  echo "== 4. Many machines at once: $BULK_VMS machines stopped, jobs of 1 s (cloudstack-sim --job-seconds 1), a poll every second =="
  printf "%-44s %10s %14s\n" "client" "wall s" "one at a time / wall"
  start_sim --vms "$BULK_VMS" --job-seconds 1
  for i in $(seq 1 "$SERIAL_RUNS"); do "$bench/e2e_client" bulk "$SIM_ADDR" admin password "$BULK_VMS" 0 >"$work/b-0.$i"; done
  serial=$(med wall_ms "$work/b-0")
  printf "%-44s %10.1f %13sx\n" "StopVM, one machine after another" "$(awk -v w="$serial" 'BEGIN { print w / 1000 }')" "1.00"
  for c in 4 8 16; do
    repeat "$work/b-$c" "$bench/e2e_client" bulk "$SIM_ADDR" admin password "$BULK_VMS" "$c"
    w=$(med wall_ms "$work/b-$c")
    printf "%-44s %10.1f %13sx\n" "StopVMs, SetConcurrency($c)" "$(awk -v w="$w" 'BEGIN { print w / 1000 }')" "$(ratio "$serial" "$w")"
  done
  stop_sim
  echo "target: concurrency 8 at least 6x less wall time than one at a time ($(ratio "$serial" "$(med wall_ms "$work/b-8")")x)"
  echo "(one at a time: $SERIAL_RUNS run(s); a failed stop would show in the files' 'failed' lines, and the medians would not be printed as a success)"
  for f in "$work"/b-*; do [ "$(value failed "$f")" = 0 ] || echo "warning: $f: $(value failed "$f") machines failed"; done
fi

if [ "$what" = all ] || [ "$what" = pages ]; then
  # ---------------------------------------------------------------------------------------------
  echo
  echo "== 5. Paged lists, cloudstack-sim on core 0 and the client on core 1 (taskset): every page of 500 =="
  if [ "$(nproc)" -lt 2 ] || ! command -v taskset >/dev/null; then
    echo "(needs two cores and taskset; skipped)"
  else
    printf "%8s %12s %10s %10s %12s %8s %12s %8s %14s %16s\n" "machines" "transfer ms" "parse ms" "max ms" "before ms" "/ max" "after ms" "/ max" "after CPU ms" "parse + recv CPU"
    SIM_PIN="taskset -c 0"
    for n in $PAGED_VMS; do
      start_sim --vms "$n"
      client="taskset -c 1"
      repeat "$work/p-raw" $client "$bench/e2e_client" fetch "$SIM_ADDR" admin password 500
      repeat "$work/p-parse" $client "$bench/paged_bench" parse "$SIM_ADDR" admin password
      repeat "$work/p-before" $client "$bench/paged_bench" list "$SIM_ADDR" admin password one-by-one
      repeat "$work/p-after" $client "$bench/paged_bench" list "$SIM_ADDR" admin password ahead
      stop_sim
      got=$(value machines "$work/p-after.1")
      [ "$got" = "$n" ] || echo "warning: the library listed $got machines of $n"
      t=$(med wall_ms "$work/p-raw"); p=$(med parse_ms "$work/p-parse")
      m=$(awk -v a="$t" -v b="$p" 'BEGIN { print (a > b) ? a : b }')
      b=$(med wall_ms "$work/p-before"); a=$(med wall_ms "$work/p-after")
      ac=$(med cpu_ms "$work/p-after"); tc=$(med cpu_ms "$work/p-raw")
      printf "%8d %12.1f %10.1f %10.1f %12.1f %7sx %12.1f %7sx %14.1f %16.1f\n" "$n" "$t" "$p" "$m" "$b" "$(ratio "$b" "$m")" "$a" "$(ratio "$a" "$m")" "$ac" "$(awk -v a="$p" -v b="$tc" 'BEGIN { print a + b }')"
    done
    SIM_PIN=""
    echo "target: after <= 1.15x max(transfer, parse). transfer = login and every page with libcurl, bodies dropped;"
    echo "parse = the library's parse of the same pages into records, alone; before/after include the login."
    echo "after CPU = the client process's CPU time (its one thread's core); parse + recv CPU = the parse plus the CPU the"
    echo "bare transfer's client spends receiving the same bytes: the least one thread can spend, overlap or not"
  fi
fi
