#!/usr/bin/env bash
# The test command. Installs the dependencies, then runs these phases and prints the time of
# each at the end (also when one fails):
#   format   clang-format-14 finds nothing to change in the tree's C++ files
#   build    the library and the tools as installed (build/: GCC, optimised), each installed header
#            compiled alone, the shared object's exports checked against tests/exported-symbols.txt,
#            its ABI compared with the committed description of tests/abi/,
#            and the tests whose memory bounds need an address-space cap (label "memory")
#   asan     a build with AddressSanitizer and UndefinedBehaviorSanitizer (build-asan/, clang-14):
#            every test, the fuzz corpus replays included
#   tsan     a build with ThreadSanitizer (build-tsan/, clang-14): the library and the tests that
#            start threads
#   tidy     clang-tidy-14 on src/ and platform/, with the normal build's compile commands: the
#            library's unity units, so that the third-party headers are read and matched a few times
#            instead of once per file
#   install  build/ installed into build/install; examples/consumer built against it with
#            find_package and with pkg-config and run against the installed simulator; the Debian
#            packages, checked by lintian, unpacked into a scratch root, and the consumer built
#            against that root and run the same way; the API reference
# Each configuration is built once; a second run rebuilds only what changed. The library, the CLI and
# the simulator are compiled in unity units (CLOUDSTACK_UNITY) except in the ThreadSanitizer build,
# which compiles every file alone and so still finds a file that leaves out an include of its own.
set -euo pipefail
cd "$(dirname "$0")/.."

jobs=$(nproc 2>/dev/null || echo 2)
report=()
current=""
started=0
cpu_start=(0 0)

times_file=$(mktemp)
# User and system CPU seconds of every child process waited for so far. `times` must run in this
# shell, not in a command substitution, whose own children are none.
children_cpu() {
  times >"$times_file"
  awk 'NR == 2 { split($1, u, /[ms]/); split($2, s, /[ms]/); printf "%.1f %.1f\n", u[1] * 60 + u[2], s[1] * 60 + s[2] }' \
    "$times_file" >"$times_file.cpu"
}

begin() {
  current=$1
  echo
  echo "== $current =="
  started=$(date +%s.%N)
  children_cpu
  read -r -a cpu_start <"$times_file.cpu"
}

end() {
  local status=$1 now cpu
  now=$(date +%s.%N)
  children_cpu
  read -r -a cpu <"$times_file.cpu"
  report+=("$(awk -v n="$current" -v t0="$started" -v t1="$now" -v u0="${cpu_start[0]}" -v u1="${cpu[0]}" \
    -v s0="${cpu_start[1]}" -v s1="${cpu[1]}" -v st="$status" \
    'BEGIN { printf "%-8s %8.1f %8.1f %8.1f  %s", n, t1 - t0, u1 - u0, s1 - s0, st }')")
  current=""
}

print_report() {
  local status=$?
  [ -n "$current" ] && end FAILED
  echo
  echo "phase     wall (s)  user (s)   sys (s)"
  printf '%s\n' "${report[@]}"
  if [ "$status" -eq 0 ]; then echo "every phase passed"; else echo "test.sh failed"; fi
  rm -f "$times_file" "$times_file.cpu"
}
trap print_report EXIT

# phase NAME COMMAND...: runs one timed phase; the script stops at the first that fails.
phase() {
  begin "$1"
  shift
  "$@"
  end ok
}

configure() {
  local dir=$1
  shift
  # A tree configured for another compiler is started afresh rather than half reconfigured.
  if [ -n "${CXX:-}" ] && [ -f "$dir/CMakeCache.txt" ] && ! grep -q "^CMAKE_CXX_COMPILER:[A-Z]*=.*$CXX\$" "$dir/CMakeCache.txt"; then
    rm -rf "$dir"
  fi
  mkdir -p "$dir"
  cmake -S . -B "$dir" -G Ninja "$@" >"$dir/configure.log" 2>&1 || { cat "$dir/configure.log"; return 1; }
}

format_check() {
  local files
  if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    mapfile -t files < <(git ls-files '*.cpp' '*.h')
  else
    mapfile -t files < <(find . -path './build*' -prune -o \( -name '*.cpp' -o -name '*.h' \) -print)
  fi
  clang-format-14 --dry-run --Werror "${files[@]}"
  echo "${#files[@]} files formatted as .clang-format says"
}

# The library and the tools as they are installed (GCC, optimised), the checks of the public
# surface (each installed header alone, the exported symbols), and the memory-bound tests, which
# the sanitizers' shadow memory would keep from their address-space cap.
normal_build() {
  # The prefix of the Debian packages, so that GNUInstallDirs picks Debian's folders for them.
  # Debug information only for the library, which the ABI check reads (its types; variable tracking
  # would only slow GCC down): the tools and tests compile in half the time without it, and the
  # packages strip it anyway.
  configure build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCLOUDSTACK_UNITY=ON -DCLOUDSTACK_BUILD_BENCHMARKS=OFF \
    -DCMAKE_INSTALL_PREFIX=/usr "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O2 -DNDEBUG" \
    "-DCLOUDSTACK_LIBRARY_COMPILE_OPTIONS=-g;-fno-var-tracking"
  cmake --build build -j "$jobs" --target CloudStackSDKWrapper cloudstack-cli cloudstack-sim FaultMemoryTest \
    TeskLibCurlTransportTest
  ctest --test-dir build --output-on-failure -j "$jobs" -L 'surface|memory'
}

# The sanitizer builds use clang-14, which compiles the test programs in half GCC's time, and lld,
# which links them in a third of ld's. Line tables are all the debug information a sanitizer's report
# needs to name the file and line of each frame.
sanitizer_compilers() {
  export CC=clang-14 CXX=clang++-14
  if [ -x /usr/bin/llvm-symbolizer-14 ]; then export ASAN_SYMBOLIZER_PATH=/usr/bin/llvm-symbolizer-14; fi
  sanitizer_flags=(-DCMAKE_C_FLAGS_DEBUG=-gline-tables-only -DCMAKE_CXX_FLAGS_DEBUG=-gline-tables-only
    -DCMAKE_EXE_LINKER_FLAGS=-fuse-ld=lld-14 -DCMAKE_SHARED_LINKER_FLAGS=-fuse-ld=lld-14)
}

# Every test, the fuzz corpus replays included.
asan_build() {
  (
    sanitizer_compilers
    export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
    configure build-asan -DCMAKE_BUILD_TYPE=Debug -DCLOUDSTACK_SANITIZE=ON -DCLOUDSTACK_BUILD_BENCHMARKS=OFF \
      -DCLOUDSTACK_UNITY=ON "${sanitizer_flags[@]}"
    cmake --build build-asan -j "$jobs"
    ctest --test-dir build-asan --output-on-failure -j "$jobs"
  )
}

tsan_build() {
  (
    sanitizer_compilers
    # TSAN_OPTIONS, with the suppressions of tests/tsan.supp, are set on each test by tests/CMakeLists.txt.
    configure build-tsan -DCMAKE_BUILD_TYPE=Debug -DCLOUDSTACK_TSAN=ON -DCLOUDSTACK_BUILD_TOOLS=OFF \
      -DCLOUDSTACK_UNITY=OFF "${sanitizer_flags[@]}"
    cmake --build build-tsan -j "$jobs" --target thread-tests
    ctest --test-dir build-tsan --output-on-failure -j "$jobs" -L threads
  )
}

tidy() {
  # Every finding is an error (.clang-tidy); the compile commands are the normal build's. A unity
  # unit includes the library's .cpp files, so findings in them are shown as in headers, and the
  # include of a .cpp is no finding there; the GCC-only warning option is no error for clang.
  run-clang-tidy-14 -p build -j "$jobs" -quiet -checks=-bugprone-suspicious-include \
    -header-filter='/(include|platform|src)/[^/]*\.(h|cpp)$' -extra-arg=-Wno-unknown-warning-option \
    "$PWD/(build/CMakeFiles/CloudStackObjects\.dir/Unity/unity_[0-9]+_cxx\.cxx|(src|platform)/[^/]*\.cpp)\$" \
    >build/clang-tidy.log 2>&1 ||
    { grep -v -e '^clang-tidy-14 ' -e 'warnings generated' -e '^Suppressed' -e '^Use -header-filter' \
        build/clang-tidy.log; return 1; }
  echo "clang-tidy: no finding in $(grep -c '^clang-tidy-14 ' build/clang-tidy.log) units"
}

# The Debian packages as a host's machine gets them: lintian finds no error in them (its warnings
# are shown), and the consumer builds and runs against their files alone, unpacked into a scratch
# root.
package_check() {
  rm -rf build/packages build/package-root
  (cd build && cpack -G DEB >/dev/null)
  ls build/packages/*.deb
  lintian --fail-on error build/packages/*.deb
  for deb in build/packages/*.deb; do
    dpkg-deb -x "$deb" build/package-root
  done
  examples/consumer/check.sh build/package-root/usr build/consumer-packages
}

install_check() {
  rm -rf build/install
  cmake --install build --prefix build/install >/dev/null
  examples/consumer/check.sh build/install build/consumer
  package_check
  cmake --build build --target docs
  echo "API reference: build/docs/html/index.html"
}

phase deps bash scripts/install-deps.sh
phase format format_check
phase build normal_build
phase asan asan_build
phase tsan tsan_build
phase tidy tidy
phase install install_check
