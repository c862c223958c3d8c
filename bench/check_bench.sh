#!/usr/bin/env bash
# Times `ntolvex check --url <folder>` on a large generated feed (about 10 MB, tens of
# thousands of assets) from a fake bundle, and `ntolvex check --url http://...` on the
# same feed served by a local nginx on 127.0.0.1, against Python's json module reading
# the file and `curl -o` fetching it, and reports the peak resident memory of each.
#
# The floor is a bare RapidJSON SAX pass over the same file (feed_sax_driver, beside the
# program in the benchmark build, or SAX_DRIVER).
#
#   bench/check_bench.sh [path/to/ntolvex]     (default: build/bench/bin/ntolvex, the benchmark build)
#   RUNS=7 ASSETS=40000 bench/check_bench.sh
#
# Needs python3, nginx, curl and GNU time (/usr/bin/time, Debian package "time").
set -euo pipefail

here="$(cd "$(dirname "$0")" && pwd)"
# shellcheck source=common.sh
. "$here/common.sh"
exe="${1:-$here/../build/bench/bin/ntolvex}"
runs="${RUNS:-5}"
assets="${ASSETS:-20000}"

[[ -x "$exe" ]] || { echo "no program at $exe (build it with: make build)" >&2; exit 1; }
require_tools

make_work check-bench
make_bundle "$exe"
mkdir -p "$work/feeds"

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
start_nginx "$work/feeds" releases.osx.json

# Runs a command RUNS times; prints the median and minimum wall time in ms and the
# highest peak RSS in KiB. The last run's output is left in $work/run.out.
measure() {
  local peak=0 rss
  rm -f "$work/run.txt" "$work/run.err"
  for ((i = 0; i < runs; i++)); do time_run_checked run "$@"; done
  while read -r _ rss; do ((rss > peak)) && peak=$rss; done <"$work/run.txt"
  local sorted
  sorted=$(cut -d' ' -f1 "$work/run.txt" | sort -n)
  local median min
  median=$(sed -n "$(((runs + 1) / 2))p" <<<"$sorted")
  min=$(head -n 1 <<<"$sorted")
  printf '%d.%03d %d.%03d %d\n' $((median / 1000)) $((median % 1000)) $((min / 1000)) $((min % 1000)) "$peak"
}

echo "feed: $assets assets, $size bytes ($(awk "BEGIN{printf \"%.1f\", $size/1048576}") MiB), $runs runs each"

read -r c_med c_min c_rss < <(HOME="$work/home" measure "$macos/ntolvex" check --url "$work/feeds")
line=$(cat "$work/run.out")
[[ "$line" == *'"Version":"9.0.0"'* ]] || { echo "unexpected check output: $line" >&2; exit 1; }
read -r h_med h_min h_rss < <(HOME="$work/home" measure "$macos/ntolvex" check --url "$base/")
[[ "$(cat "$work/run.out")" == "$line" ]] || { echo "check over HTTP printed another line" >&2; exit 1; }
read -r k_med k_min k_rss < <(measure curl -sS --noproxy '*' -o "$work/curl.json" "$base/releases.osx.json")
cmp -s "$work/curl.json" "$feed" || { echo "curl fetched another feed" >&2; exit 1; }
# python reads the feed from its standard input; measure() gives it /dev/null, so the
# redirection happens in a shell that then becomes python.
read -r p_med p_min p_rss < <(measure sh -c 'exec python3 -c "import json,sys; json.load(sys.stdin)" < "$0"' "$feed")
# The floor: the file read whole and one bare RapidJSON SAX pass with the same flags.
sax="${SAX_DRIVER:-$(dirname "$exe")/feed_sax_driver}"
read -r s_med s_min s_rss < <(measure "$sax" "$feed")

printf '%-28s %10s %10s %12s %10s\n' "" "median ms" "min ms" "peak RSS KiB" "x feed"
printf '%-28s %10s %10s %12d %10.2f\n' "ntolvex check --url <dir>" "$c_med" "$c_min" "$c_rss" \
  "$(awk "BEGIN{print $c_rss*1024/$size}")"
printf '%-28s %10s %10s %12d %10.2f\n' "bare RapidJSON SAX pass" "$s_med" "$s_min" "$s_rss" \
  "$(awk "BEGIN{print $s_rss*1024/$size}")"
printf '%-28s %10s %10s %12d %10.2f\n' "python3 json.load" "$p_med" "$p_min" "$p_rss" \
  "$(awk "BEGIN{print $p_rss*1024/$size}")"
printf '%-28s %10s %10s %12d %10.2f\n' "ntolvex check --url http" "$h_med" "$h_min" "$h_rss" \
  "$(awk "BEGIN{print $h_rss*1024/$size}")"
printf '%-28s %10s %10s %12d %10.2f\n' "curl -o (the feed alone)" "$k_med" "$k_min" "$k_rss" \
  "$(awk "BEGIN{print $k_rss*1024/$size}")"
