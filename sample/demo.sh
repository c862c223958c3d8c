#!/usr/bin/env bash
# Runs the main job of the program on the sample bundle and the sample feed: the
# installed version, the packages directory, an update check from a folder and over
# HTTP, and a package download. Everything happens in a scratch directory; HOME
# points into it.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
binary=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
scratch=$(mktemp -d "${TMPDIR:-/tmp}/ntolvex-demo.XXXXXX")
server_pid=
cleanup() {
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null || true
  rm -rf "$scratch"
}
trap cleanup EXIT

cp -R "$here/Sample.app" "$scratch/"
cp -R "$here/releases" "$scratch/Sample.app/Contents/MacOS/releases"
cp "$binary" "$scratch/Sample.app/Contents/MacOS/ntolvex"
mkdir -p "$scratch/home"
export HOME="$scratch/home"
ntolvex="$scratch/Sample.app/Contents/MacOS/ntolvex"

run() {
  echo "\$ ntolvex $*"
  set +e
  "$ntolvex" "$@"
  local status=$?
  set -e
  echo "(exit status $status)"
  echo
}

run get-version
run get-packages
# A relative folder is found beside the executable, whatever the current directory.
run check --url releases
# The same version from another channel is offered only with --downgrade.
run check --url releases --channel beta
run check --url releases --channel beta --downgrade
