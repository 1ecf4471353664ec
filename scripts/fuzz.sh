#!/usr/bin/env bash
# Fuzzes one target of fuzz/ with libFuzzer for a while.
#
#   scripts/fuzz.sh TARGET SECONDS [more libFuzzer options]
#
# TARGET is one of: list_parse object_parse json_getters response_headers query_string
# request_signer wrapper. The targets are built with clang-14 (-fsanitize=fuzzer,address,undefined)
# in build-fuzz/. The run starts from the committed corpus (fuzz/corpus/TARGET and the seed folders
# the replay test uses) with the dictionary fuzz/json.dict, and never writes into the tree: new
# inputs go to build-fuzz/scratch/TARGET, a crash, leak, time-out (10 s) or allocation over
# 2048 MB to build-fuzz/artifacts/TARGET/.
#
# A finding, from there:
#   build-fuzz/fuzz/fuzz_TARGET build-fuzz/artifacts/TARGET/crash-...       # reproduce
#   build-fuzz/fuzz/fuzz_TARGET -minimize_crash=1 -max_total_time=60 \
#       -exact_artifact_path=/tmp/small build-fuzz/artifacts/TARGET/crash-...  # minimise
#   cp /tmp/small fuzz/corpus/TARGET/regression-WHAT                         # keep it
#   ctest --test-dir build -R Fuzz.TARGET                                    # replay, after the fix
set -euo pipefail
cd "$(dirname "$0")/.."

targets="list_parse object_parse json_getters response_headers query_string request_signer wrapper"
if [ $# -lt 2 ] || ! [[ " $targets " == *" $1 "* ]] || ! [[ "$2" =~ ^[0-9]+$ ]]; then
  echo "usage: scripts/fuzz.sh TARGET SECONDS [libFuzzer options]" >&2
  echo "targets: $targets" >&2
  exit 2
fi
target=$1
seconds=$2
shift 2

if ! command -v clang++-14 > /dev/null; then
  echo "clang++-14 is missing: run scripts/install-deps.sh" >&2
  exit 1
fi

cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++-14 \
  -DCLOUDSTACK_FUZZ=ON -DCLOUDSTACK_SANITIZE=ON -DCLOUDSTACK_BUILD_TESTS=OFF -DCLOUDSTACK_BUILD_TOOLS=OFF > /dev/null
cmake --build build-fuzz -j 2 --target "fuzz_$target"

# The same seed folders as the replay test (fuzz/CMakeLists.txt).
seeds=(fuzz/corpus/"$target")
case $target in
  object_parse) seeds+=(tests/fixtures) ;;
  json_getters) seeds+=(tests/fixtures tests/corpus/list) ;;
esac

scratch=build-fuzz/scratch/$target
artifacts=build-fuzz/artifacts/$target
mkdir -p "$scratch" "$artifacts"
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
# libFuzzer writes new inputs into the first folder only.
exec "build-fuzz/fuzz/fuzz_$target" "$scratch" "${seeds[@]}" \
  -dict=fuzz/json.dict -max_total_time="$seconds" -timeout=10 -malloc_limit_mb=2048 -rss_limit_mb=4096 \
  -artifact_prefix="$artifacts/" -print_final_stats=1 "$@"
