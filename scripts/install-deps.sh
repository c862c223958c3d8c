#!/usr/bin/env bash
# Installs the Debian packages that building, testing, benchmarking and fuzzing need,
# and only those that are missing. Run as root; a second run with everything present
# returns at once without touching apt.
set -euo pipefail

# The one list of what the project needs.
packages=(
  cmake make ninja-build g++ pkg-config git
  libcurl4-openssl-dev   # HTTP and TLS client
  zlib1g-dev             # gzip-coded response bodies
  libssl-dev             # SHA-1 for package integrity
  libxml2-dev            # manifest reader
  rapidjson-dev          # release feed reader
  libcli11-dev           # command line
  libicu-dev             # international domain names (UTS #46)
  libgtest-dev libgmock-dev
  libcpp-httplib-dev     # HTTP servers in the tests
  libbenchmark-dev
  openssl curl python3 nginx util-linux time
  strace                 # the order of the flushes, in the tests
  clang libclang-rt-14-dev
  llvm-14                # llvm-lipo-14 and llvm-objdump-14 for make macos-check
)
# make macos-check installs its cross compiler with npm; any Node.js with npm will do.
command -v npm >/dev/null || packages+=(nodejs npm)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "install-deps: missing packages (${missing[*]}); run as root to install them" >&2
  exit 1
fi
echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
