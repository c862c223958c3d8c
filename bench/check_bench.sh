#!/usr/bin/env bash
# Times `ntolvex check --url <folder>` on a large generated feed (about 10 MB, tens of
# thousands of assets) from a fake bundle, and `ntolvex check --url http://...` on the
# same feed served by a local nginx on 127.0.0.1, against Python's json module reading
# the file and `curl -o` fetching it, and reports the peak resident memory of each.
#
#   bench/check_bench.sh [path/to/ntolvex]     (default: build/bin/ntolvex, a Release build)
#   RUNS=7 ASSETS=40000 bench/check_bench.sh
#
# Needs python3, nginx, curl and GNU time (/usr/bin/time, Debian package "time").
set -euo pipefail

here="$(cd "$(dirname "$0")" && pwd)"
exe="${1:-$here/../build/bin/ntolvex}"
runs="${RUNS:-5}"
assets="${ASSETS:-20000}"

[[ -x "$exe" ]] || { echo "no program at $exe (build it with: make build)" >&2; exit 1; }
[[ -x /usr/bin/time ]] || { echo "GNU time is missing: apt-get install time" >&2; exit 1; }

command -v nginx >/dev/null || { echo "nginx is missing: apt-get install nginx" >&2; exit 1; }
command -v curl >/dev/null || { echo "curl is missing: apt-get install curl" >&2; exit 1; }

work="$(mktemp -d "${TMPDIR:-/tmp}/check-bench.XXXXXX")"
nginx_pid=""
cleanup() {
  if [[ -n "$nginx_pid" ]] && kill -0 "$nginx_pid" 2>/dev/null; then
    kill -QUIT "$nginx_pid" 2>/dev/null || true
    for _ in $(seq 50); do kill -0 "$nginx_pid" 2>/dev/null || break; sleep 0.1; done
  fi
  rm -rf "$work"
}
trap cleanup EXIT
# nginx's workers run as another user: they must be able to read the feed.
chmod 755 "$work"

# The bundle: the program, the updater and a manifest; HOME beside it.
macos="$work/Sample.app/Contents/MacOS"
mkdir -p "$macos" "$work/home" "$work/feeds"
cp "$exe" "$macos/ntolvex"
printf '#!/bin/sh\n' >"$macos/Hoistel"
cat >"$macos/nv.version" <<'EOF'
<?xml version="1.0" encoding="utf-8"?>
<package><metadata><id>Sample</id><version>1.0.0</version><channel>osx</channel></metadata></package>
EOF

# The feed: full and delta assets with notes, escapes and non-ASCII text, the highest
# full release somewhere in the middle.
feed="$work/feeds/releases.osx.json"
python3 - "$feed" "$assets" <<'EOF'
import hashlib, json, sys
path, count = sys.argv[1], int(sys.argv[2])
assets = []
for i in range(count):
    version = "1.%d.%d" % (i // 1000, i % 1000)
    if i == count // 2:
        version = "9.0.0"
    kind = "Full" if i % 3 else "Delta"
    assets.append({
        "PackageId": "Sample",
        "Version": version,
        "Type": kind,
        "FileName": "Sample-%s-%s.nupkg" % (version, kind.lower()),
        "SHA1": hashlib.sha1(str(i).encode()).hexdigest(),
        "Size": 50_000_000 + i * 7919,
        "NotesMarkdown": "## Sample %s\n\n* Fixed issue #%d \"quoted\"\n* Faster start-up, caf\u00e9 \u2713\n" % (version, i),
        "NotesHtml": "<h2>Sample %s</h2><ul><li>Fixed issue #%d</li><li>Faster start-up</li></ul>" % (version, i),
        "Extra": {"Channel": "osx", "Tags": ["a", "b", i]},
    })
with open(path, "w", encoding="utf-8") as f:
    json.dump({"Assets": assets}, f, ensure_ascii=False, indent=1)
EOF
size=$(stat -c %s "$feed")
chmod 755 "$work/feeds"
chmod 644 "$feed"

# The same folder over HTTP.
mkdir -p "$work/nginx"
port="$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')"
sed -e "s|@PORT@|$port|g" -e "s|@PREFIX@|$work/nginx|g" -e "s|@ROOT@|$work/feeds|g" \
  "$here/download_nginx.conf.in" >"$work/nginx/nginx.conf"
nginx -e "$work/nginx/error.log" -p "$work/nginx" -c "$work/nginx/nginx.conf"
for _ in $(seq 100); do [[ -s "$work/nginx/nginx.pid" ]] && break; sleep 0.05; done
nginx_pid="$(cat "$work/nginx/nginx.pid")"
base="http://127.0.0.1:$port"
for _ in $(seq 100); do
  curl -sf --noproxy '*' -o /dev/null -r 0-0 "$base/releases.osx.json" && break
  sleep 0.05
done

now_ns() { date +%s%N; }

# Runs a command RUNS times; prints the median and minimum wall time in ms and the
# highest peak RSS in KiB.
measure() {
  local times=() peak=0 t0 t1 rss
  for ((i = 0; i < runs; i++)); do
    t0=$(now_ns)
    /usr/bin/time -f '%M' -o "$work/rss" "$@" >"$work/out" 2>"$work/err" </dev/null || {
      echo "failed: $*" >&2; cat "$work/err" >&2; exit 1; }
    t1=$(now_ns)
    times+=($(((t1 - t0) / 1000)))
    rss=$(tail -n 1 "$work/rss")
    ((rss > peak)) && peak=$rss
  done
  local sorted
  sorted=$(printf '%s\n' "${times[@]}" | sort -n)
  local median min
  median=$(sed -n "$(((runs + 1) / 2))p" <<<"$sorted")
  min=$(head -n 1 <<<"$sorted")
  printf '%d.%03d %d.%03d %d\n' $((median / 1000)) $((median % 1000)) $((min / 1000)) $((min % 1000)) "$peak"
}

echo "feed: $assets assets, $size bytes ($(awk "BEGIN{printf \"%.1f\", $size/1048576}") MiB), $runs runs each"

read -r c_med c_min c_rss < <(HOME="$work/home" measure "$macos/ntolvex" check --url "$work/feeds")
line=$(cat "$work/out")
[[ "$line" == *'"Version":"9.0.0"'* ]] || { echo "unexpected check output: $line" >&2; exit 1; }
read -r h_med h_min h_rss < <(HOME="$work/home" measure "$macos/ntolvex" check --url "$base/")
[[ "$(cat "$work/out")" == "$line" ]] || { echo "check over HTTP printed another line" >&2; exit 1; }
read -r k_med k_min k_rss < <(measure curl -sS --noproxy '*' -o "$work/curl.json" "$base/releases.osx.json")
cmp -s "$work/curl.json" "$feed" || { echo "curl fetched another feed" >&2; exit 1; }
# python reads the feed from its standard input; measure() gives it /dev/null, so the
# redirection happens in a shell that then becomes python.
read -r p_med p_min p_rss < <(measure sh -c 'exec python3 -c "import json,sys; json.load(sys.stdin)" < "$0"' "$feed")

printf '%-28s %10s %10s %12s %10s\n' "" "median ms" "min ms" "peak RSS KiB" "x feed"
printf '%-28s %10s %10s %12d %10.2f\n' "ntolvex check --url <dir>" "$c_med" "$c_min" "$c_rss" \
  "$(awk "BEGIN{print $c_rss*1024/$size}")"
printf '%-28s %10s %10s %12d %10.2f\n' "python3 json.load" "$p_med" "$p_min" "$p_rss" \
  "$(awk "BEGIN{print $p_rss*1024/$size}")"
printf '%-28s %10s %10s %12d %10.2f\n' "ntolvex check --url http" "$h_med" "$h_min" "$h_rss" \
  "$(awk "BEGIN{print $h_rss*1024/$size}")"
printf '%-28s %10s %10s %12d %10.2f\n' "curl -o (the feed alone)" "$k_med" "$k_min" "$k_rss" \
  "$(awk "BEGIN{print $k_rss*1024/$size}")"
