#!/usr/bin/env bash
# Installs every build, test and tool dependency from Debian's packages.
# Safe to run again: apt-get skips what is already there.
set -euo pipefail

packages=(
  g++ cmake ninja-build pkg-config
  libcurl4-openssl-dev   # HTTP transport
  nlohmann-json3-dev     # JSON value model
  libsimdjson-dev        # one-pass reading of list answers
  libssl-dev             # MD5 digest (libcrypto)
  libgtest-dev libgmock-dev
  libcpp-httplib-dev     # test server and simulator
  zlib1g-dev libbrotli-dev
  python3                # the Python reference client of scripts/bench.sh
  clang-14 libclang-rt-14-dev llvm-14  # the sanitizer builds of scripts/test.sh, libFuzzer, the symbolizer
  lld-14                 # links the sanitizer builds' test programs in a third of ld's time
  clang-format-14 clang-tidy-14  # the format and clang-tidy phases of scripts/test.sh
  doxygen                # the API reference (cmake --build build --target docs)
  dpkg-dev file          # cpack -G DEB (dpkg-shlibdeps)
  lintian                # the Debian packages' check in scripts/test.sh
  help2man               # the tools' manual pages, from their --help
  abigail-tools          # abidw/abidiff: the shared object keeps the ABI of its SONAME (ctest AbiCompatible)
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -q
$SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
