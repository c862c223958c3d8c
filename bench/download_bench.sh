#!/usr/bin/env bash
# Times a download of a large generated file (1 GiB by default) from a local nginx on
# 127.0.0.1 through the library (bench/download_driver, calling download_url_to_file)
# against `curl -o` of the same file in the same run, in alternating runs, and reports
# the median wall times, their ratio and the peak resident memory of both.
#
#   bench/download_bench.sh [path/to/download_driver]
#       (default: build/bench/bin/download_driver, from the Release build with
#        -DNORVANE_BENCH=ON)
#   RUNS=7 SIZE_MIB=2048 bench/download_bench.sh
#
# Needs nginx, curl, python3 and GNU time (/usr/bin/time, Debian package "time").
set -euo pipefail

here="$(cd "$(dirname "$0")" && pwd)"
# shellcheck source=common.sh
. "$here/common.sh"
driver="${1:-$here/../build/bench/bin/download_driver}"
runs="${RUNS:-5}"
size_mib="${SIZE_MIB:-1024}"

[[ -x "$driver" ]] || { echo "no driver at $driver (configure with -DNORVANE_BENCH=ON)" >&2; exit 1; }
require_tools

make_work download-bench
mkdir -p "$work/www"
echo "generating $size_mib MiB of random data ..."
head -c "$((size_mib * 1024 * 1024))" /dev/urandom >"$work/www/big.bin"
chmod 644 "$work/www/big.bin"

start_nginx "$work/www" big.bin
url="$base/big.bin"

out="$work/out.bin"
# Runs one download, appending "microseconds peak_kib" to the named result file.
measure() {
  rm -f "$out"
  time_run "$@"
}
run_library() { measure library "$driver" "$url" "$out"; }
run_curl() { measure curl curl -sS --noproxy '*' -o "$out" "$url"; }

echo "warming up ..."
run_library && cmp -s "$out" "$work/www/big.bin" || { echo "library download differs" >&2; exit 1; }
run_curl && cmp -s "$out" "$work/www/big.bin" || { echo "curl download differs" >&2; exit 1; }
rm -f "$work/library.txt" "$work/curl.txt"

for i in $(seq "$runs"); do
  if (( i % 2 )); then run_library; run_curl; else run_curl; run_library; fi
done
run_library
cmp -s "$out" "$work/www/big.bin" || { echo "library download differs" >&2; exit 1; }
sed -i '$d' "$work/library.txt"   # the checked run is not timed with the others

python3 - "$work/library.txt" "$work/curl.txt" "$size_mib" "$(curl --version | head -n 1)" <<'EOF'
import statistics, sys
def load(path):
    rows = [line.split() for line in open(path)]
    return [int(r[0]) / 1e6 for r in rows], [int(r[1]) for r in rows]
lib_t, lib_m = load(sys.argv[1])
curl_t, curl_m = load(sys.argv[2])
size = int(sys.argv[3])
def show(name, t, m):
    med = statistics.median(t)
    print("%-8s median %.3f s (%s)  %.0f MiB/s  peak RSS %d KiB"
          % (name, med, " ".join("%.3f" % x for x in t), size / med, max(m)))
print("%d MiB from nginx on 127.0.0.1, %d alternating runs; %s" % (size, len(lib_t), sys.argv[4]))
show("library", lib_t, lib_m)
show("curl -o", curl_t, curl_m)
ratio = statistics.median(lib_t) / statistics.median(curl_t)
print("ratio library/curl: %.3f (%+.1f %%)" % (ratio, (ratio - 1) * 100))
EOF
