#!/usr/bin/env bash
# Times the whole `ntolvex download` command on a large generated package (1 GiB by
# default), run from a fake bundle:
#   - over HTTP from a local nginx on 127.0.0.1, against `curl -o` of the same file
#     and against `curl -o` followed by `sync` of that file (the program flushes the
#     package and its directory before it counts as placed), once with the SHA-1 in the
#     feed (hashed on a second thread as the bytes land) and once with only the size;
#   - a download killed with SIGKILL at about half, then run again: the time of that
#     second run and the bytes nginx served it, against a whole download;
#   - from a folder, against `cp --reflink=auto` alone, followed by `sync` of the copy
#     and followed by `openssl dgst -sha1` of it, once with the SHA-1 in the feed (the
#     copy is hashed on a second thread as it lands) and once with only the size.
# Runs alternate between the two sides; reports the median wall times, their ratios
# and the peak resident memory of each.
#
#   bench/download_command_bench.sh [path/to/ntolvex]
#       (default: build/bench/bin/ntolvex, the benchmark build)
#   RUNS=7 SIZE_MIB=2048 bench/download_command_bench.sh
#
# Needs nginx, curl, python3 and GNU time (/usr/bin/time, Debian package "time").
set -euo pipefail

here="$(cd "$(dirname "$0")" && pwd)"
# shellcheck source=common.sh
. "$here/common.sh"
exe="${1:-$here/../build/bench/bin/ntolvex}"
runs="${RUNS:-5}"
size_mib="${SIZE_MIB:-1024}"

[[ -x "$exe" ]] || { echo "no program at $exe (a Release build: -DCMAKE_BUILD_TYPE=Release)" >&2; exit 1; }
require_tools

make_work download-command-bench
mkdir -p "$work/www"
echo "generating $size_mib MiB of random data ..."
head -c "$((size_mib * 1024 * 1024))" /dev/urandom >"$work/www/big.nupkg"
chmod 644 "$work/www/big.nupkg"
sha1=$(sha1sum "$work/www/big.nupkg" | cut -d' ' -f1)
bytes=$(stat -c %s "$work/www/big.nupkg")
# Two channels: "osx" with the SHA-1 and the size, "sized" with the size only.
asset() {
  printf '{"Assets":[{"PackageId":"Sample","Version":"2.0.0","Type":"Full","FileName":"big.nupkg","SHA1":"%s","Size":%s}]}' "$1" "$bytes"
}
asset "$sha1" >"$work/www/releases.osx.json"
asset "" >"$work/www/releases.sized.json"
chmod 644 "$work/www/"*.json

make_bundle "$exe"
packages="$work/home/Library/Caches/norvane/Sample/packages"

start_nginx "$work/www" big.nupkg

out="$work/out.nupkg"
placed="$packages/big.nupkg"
# Runs one command, appending "microseconds peak_kib" to the named result file. The
# file it writes is removed first, so that every run does the whole job.
measure() {
  rm -f "$out" "$placed"
  # What earlier runs left to write back is written first, outside the timing: otherwise
  # the next flush (the program's, or sync's) pays for it.
  sync
  HOME="$work/home" time_run_checked "$@"
}
http_ntolvex() { measure http_ntolvex "$macos/ntolvex" download --url "$base" --name big.nupkg; }
http_sized() { measure http_sized "$macos/ntolvex" download --url "$base" --name big.nupkg --channel sized; }
http_curl() { measure http_curl curl -sS --noproxy '*' -o "$out" "$base/big.nupkg"; }
http_curl_sync() {
  measure http_curl_sync sh -c 'curl -sS --noproxy "*" -o "$1" "$2" && sync "$1"' sh "$out" "$base/big.nupkg"
}
copy_sha1() { measure copy_sha1 "$macos/ntolvex" download --url "$work/www" --name big.nupkg; }
copy_sized() { measure copy_sized "$macos/ntolvex" download --url "$work/www" --name big.nupkg --channel sized; }
copy_cp() { measure copy_cp cp --reflink=auto "$work/www/big.nupkg" "$out"; }
copy_cp_sync() { measure copy_cp_sync sh -c 'cp --reflink=auto "$1" "$2" && sync "$2"' sh "$work/www/big.nupkg" "$out"; }
copy_cp_dgst() {
  measure copy_cp_dgst sh -c 'cp --reflink=auto "$1" "$2" && openssl dgst -sha1 "$2" >/dev/null' sh "$work/www/big.nupkg" "$out"
}

check_placed() { cmp -s "$placed" "$work/www/big.nupkg" || { echo "$1: the placed package differs" >&2; exit 1; }; }

echo "warming up ..."
http_ntolvex; check_placed "HTTP download"
http_sized; check_placed "HTTP download without SHA-1"
copy_sha1; check_placed "folder copy"
copy_sized; check_placed "folder copy without SHA-1"
http_curl; http_curl_sync; copy_cp; copy_cp_sync; copy_cp_dgst
rm -f "$work/"*.txt

for i in $(seq "$runs"); do
  if (( i % 2 )); then
    http_ntolvex; http_curl; http_curl_sync; http_sized; copy_sha1; copy_sized; copy_cp; copy_cp_sync; copy_cp_dgst
  else
    http_curl_sync; http_curl; http_sized; http_ntolvex; copy_cp_dgst; copy_cp_sync; copy_cp; copy_sized; copy_sha1
  fi
done

python3 - "$work" "$size_mib" "$(curl --version | head -n 1)" <<'EOF'
import statistics, sys
work, size, curl = sys.argv[1], int(sys.argv[2]), sys.argv[3]
def load(name):
    rows = [line.split() for line in open("%s/%s.txt" % (work, name))]
    return [int(r[0]) / 1e6 for r in rows], [int(r[1]) for r in rows]
results = {n: load(n) for n in ("http_ntolvex", "http_sized", "http_curl", "http_curl_sync", "copy_sha1",
                                 "copy_sized", "copy_cp", "copy_cp_sync", "copy_cp_dgst")}
print("%d MiB package, %d alternating runs; %s" % (size, len(results["http_curl"][0]), curl))
labels = {
    "http_ntolvex": "ntolvex download --url http://... (SHA-1)",
    "http_sized": "ntolvex download --url http://... (size only)",
    "http_curl": "curl -o",
    "http_curl_sync": "curl -o, then sync of the file",
    "copy_sha1": "ntolvex download --url <folder> (SHA-1)",
    "copy_sized": "ntolvex download --url <folder> (size only)",
    "copy_cp": "cp --reflink=auto",
    "copy_cp_sync": "cp --reflink=auto, then sync of the file",
    "copy_cp_dgst": "cp --reflink=auto, then openssl dgst -sha1",
}
for name, (t, m) in results.items():
    med = statistics.median(t)
    print("%-46s median %7.3f s  %6.0f MiB/s  peak RSS %6d KiB  (%s)"
          % (labels[name], med, size / med, max(m), " ".join("%.3f" % x for x in t)))
def ratio(a, b):
    r = statistics.median(results[a][0]) / statistics.median(results[b][0])
    return "%.3f (%+.1f %%)" % (r, (r - 1) * 100)
print("HTTP, SHA-1 checked: ntolvex / curl:     " + ratio("http_ntolvex", "http_curl"))
print("HTTP, SHA-1 checked: ntolvex / curl+sync: " + ratio("http_ntolvex", "http_curl_sync"))
print("HTTP, size only: ntolvex / curl:         " + ratio("http_sized", "http_curl"))
print("folder, SHA-1 checked: ntolvex / cp:     " + ratio("copy_sha1", "copy_cp"))
print("folder, SHA-1 checked: ntolvex / cp+sync: " + ratio("copy_sha1", "copy_cp_sync"))
print("folder, SHA-1 checked: ntolvex / cp+dgst: " + ratio("copy_sha1", "copy_cp_dgst"))
print("folder, size only: ntolvex / cp:         " + ratio("copy_sized", "copy_cp"))
EOF

# A download killed at about half, then run again: the second run asks for the rest.
resume_once() {
  rm -f "$placed" "$packages"/.big.nupkg.resume*
  : >"$work/nginx/access.log"
  HOME="$work/home" "$macos/ntolvex" download --url "$base" --name big.nupkg >/dev/null 2>&1 &
  local pid=$! half=$((bytes / 2)) kept=0
  for _ in $(seq 2000); do
    kept=$(stat -c %s "$packages/.big.nupkg.resume" 2>/dev/null || echo 0)
    (( kept >= half )) && break
    sleep 0.005
  done
  kill -9 "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
  kept=$(stat -c %s "$packages/.big.nupkg.resume" 2>/dev/null || echo 0)
  : >"$work/nginx/access.log"
  sync
  HOME="$work/home" time_run_checked resume_run "$macos/ntolvex" download --url "$base" --name big.nupkg
  check_placed "resumed download"
  # nginx writes its log line when the request ends; the body bytes are the 10th field.
  local served
  served=$(awk '$9 ~ /^20[06]$/ { s += $10 } END { print s + 0 }' "$work/nginx/access.log")
  echo "$kept $served" >>"$work/resume_bytes.txt"
}
echo "interrupted downloads ..."
for _ in $(seq "$runs"); do resume_once; done
python3 - "$work" "$bytes" <<'EOF'
import statistics, sys
work, size = sys.argv[1], int(sys.argv[2])
times = [int(l.split()[0]) / 1e6 for l in open(work + "/resume_run.txt")]
kept_served = [tuple(map(int, l.split())) for l in open(work + "/resume_bytes.txt")]
whole = statistics.median([int(l.split()[0]) / 1e6 for l in open(work + "/http_ntolvex.txt")])
print("resumed after a kill at about half: median %.3f s (whole download %.3f s, ratio %.3f)"
      % (statistics.median(times), whole, statistics.median(times) / whole))
for kept, served in kept_served:
    print("  kept %d bytes, served %d bytes on resuming (%.3f of the file)" % (kept, served, served / size))
EOF
