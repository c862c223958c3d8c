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

packages=$("$ntolvex" get-packages)
list_packages() {
  echo "\$ ls -A '$packages'"
  ls -A "$packages"
  echo
}

# A package copied from the folder: progress 50, then 100. A second run finds it in
# place and does nothing.
run download --url releases --name Sample-1.0.0-osx-full.nupkg
run download --url releases --name Sample-1.0.0-osx-full.nupkg
list_packages

# The same feed and packages over HTTP, from a server on 127.0.0.1 (stopped on exit).
port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
python3 -m http.server --bind 127.0.0.1 --directory "$scratch/Sample.app/Contents/MacOS/releases" "$port" \
  >"$scratch/http.log" 2>&1 &
server_pid=$!
for _ in $(seq 100); do
  python3 -c 'import socket, sys; socket.create_connection(("127.0.0.1", int(sys.argv[1])), 1)' "$port" \
    2>/dev/null && break
  sleep 0.05
done
url="http://127.0.0.1:$port/"
run check --url "$url"
# The name is matched ignoring ASCII case and stored as the feed spells it; the package
# that was there before is removed once the new one is in place.
run download --url "$url" --name sample-1.1.0-OSX-full.nupkg
list_packages
