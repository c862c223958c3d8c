# shellcheck shell=bash
# The set-up the benchmark scripts share: a work folder, a fake bundle, nginx serving a
# folder on 127.0.0.1, and one timed run of a command. Sourced, after `here` is set to
# the bench folder:
#
#   here="$(cd "$(dirname "$0")" && pwd)"
#   . "$here/common.sh"

# Ends the script unless GNU time, nginx and curl are installed.
require_tools() {
  [[ -x /usr/bin/time ]] || { echo "GNU time is missing: apt-get install time" >&2; exit 1; }
  command -v nginx >/dev/null || { echo "nginx is missing: apt-get install nginx" >&2; exit 1; }
  command -v curl >/dev/null || { echo "curl is missing: apt-get install curl" >&2; exit 1; }
}

cleanup() {
  if [[ -n "$nginx_pid" ]] && kill -0 "$nginx_pid" 2>/dev/null; then
    kill -QUIT "$nginx_pid" 2>/dev/null || true
    for _ in $(seq 50); do kill -0 "$nginx_pid" 2>/dev/null || break; sleep 0.1; done
  fi
  rm -rf "$work"
}

# Makes the work folder $work, named after $1, removed at exit (nginx stopped first if
# it was started).
make_work() {
  work="$(mktemp -d "${TMPDIR:-/tmp}/$1.XXXXXX")"
  nginx_pid=""
  trap cleanup EXIT
  # nginx's workers run as another user: they must be able to read what it serves.
  chmod 755 "$work"
}

# The bundle: the program $1, the updater and a manifest in $macos; HOME ($work/home)
# beside it.
make_bundle() {
  macos="$work/Sample.app/Contents/MacOS"
  mkdir -p "$macos" "$work/home"
  cp "$1" "$macos/ntolvex"
  printf '#!/bin/sh\n' >"$macos/Hoistel"
  cat >"$macos/nv.version" <<'EOF'
<?xml version="1.0" encoding="utf-8"?>
<package><metadata><id>Sample</id><version>1.0.0</version><channel>osx</channel></metadata></package>
EOF
}

# Serves the folder $1 from nginx on a free port of 127.0.0.1, sets $base to
# http://127.0.0.1:<port> and waits until the file $2 in it can be fetched.
# shellcheck disable=SC2154  # here: set by the sourcing script
start_nginx() {
  local root="$1" probe="$2" port
  mkdir -p "$work/nginx"
  port="$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')"
  sed -e "s|@PORT@|$port|g" -e "s|@PREFIX@|$work/nginx|g" -e "s|@ROOT@|$root|g" \
    "$here/download_nginx.conf.in" >"$work/nginx/nginx.conf"
  nginx -e "$work/nginx/error.log" -p "$work/nginx" -c "$work/nginx/nginx.conf"
  for _ in $(seq 100); do [[ -s "$work/nginx/nginx.pid" ]] && break; sleep 0.05; done
  nginx_pid="$(cat "$work/nginx/nginx.pid")"
  base="http://127.0.0.1:$port"
  for _ in $(seq 100); do
    curl -sf --noproxy '*' -o /dev/null -r 0-0 "$base/$probe" && break
    sleep 0.05
  done
}

# Runs a command once under GNU time: standard input from /dev/null, standard output
# to $work/$1.out (replaced), standard error appended to $work/$1.err. Appends
# "microseconds peak_KiB" to $work/$1.txt and returns the command's status.
time_run() {
  local name="$1"; shift
  local start end status=0
  start=$(date +%s%N)
  /usr/bin/time -f '%M' -o "$work/mem" "$@" <"/dev/null" >"$work/$name.out" 2>>"$work/$name.err" ||
    status=$?
  end=$(date +%s%N)
  echo "$(( (end - start) / 1000 )) $(tail -n 1 "$work/mem")" >>"$work/$name.txt"
  return "$status"
}

# time_run, but a failure reports the command and its standard error and ends the script.
time_run_checked() {
  local name="$1"; shift
  time_run "$name" "$@" || { echo "failed: $*" >&2; cat "$work/$name.err" >&2; exit 1; }
}
