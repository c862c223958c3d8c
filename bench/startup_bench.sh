#!/usr/bin/env bash
# Times the start-up of `ntolvex get-version` from a fake bundle against its floor, an
# empty main() linked with the same shared libraries (bare_main_driver), and against
# /bin/true. The three are run in turn, RUNS rounds, each run started with posix_spawn
# and timed to its waitpid on the monotonic clock (spawn_timer), so that the timer adds
# little of its own; reports the median and minimum wall time of each and the ratios of
# the medians.
#
#   bench/startup_bench.sh [path/to/ntolvex]     (default: build/bench/bin/ntolvex, the benchmark build)
#   RUNS=2000 bench/startup_bench.sh
#
# bare_main_driver and spawn_timer are taken from beside the program (BARE_DRIVER and
# SPAWN_TIMER name others).
set -euo pipefail

here="$(cd "$(dirname "$0")" && pwd)"
# shellcheck source=common.sh
. "$here/common.sh"
exe="${1:-$here/../build/bench/bin/ntolvex}"
runs="${RUNS:-600}"
bare="${BARE_DRIVER:-$(dirname "$exe")/bare_main_driver}"
timer="${SPAWN_TIMER:-$(dirname "$exe")/spawn_timer}"

[[ -x "$exe" ]] || { echo "no program at $exe (build it with: make build)" >&2; exit 1; }
for tool in "$bare" "$timer"; do
  [[ -x "$tool" ]] || { echo "no $tool (configure with -DNORVANE_BENCH=ON)" >&2; exit 1; }
done

# The floor means something only while it loads what the program loads.
libraries() { ldd "$1" | awk '$1 != "linux-vdso.so.1" {print $1}' | sort; }
if ! diff <(libraries "$exe") <(libraries "$bare") >/dev/null; then
  echo "$bare loads other libraries than $exe:" >&2
  diff <(libraries "$exe") <(libraries "$bare") >&2 || true
  exit 1
fi

make_work startup-bench
make_bundle "$exe"
export HOME="$work/home"
version="$("$macos/ntolvex" get-version)"
[[ "$version" == "1.0.0" ]] || { echo "unexpected get-version output: $version" >&2; exit 1; }

# A few rounds first, so that every file the runs touch is in the page cache.
"$timer" 20 "$macos/ntolvex" get-version -- "$bare" -- /bin/true >/dev/null
results="$("$timer" "$runs" "$macos/ntolvex" get-version -- "$bare" -- /bin/true)"
{ read -r g_med g_min; read -r b_med b_min; read -r t_med t_min; } <<<"$results"

us() { awk "BEGIN{printf \"%.1f\", $1/1000}"; }
echo "start-up, $runs interleaved runs each"
printf '%-26s %10s %10s %10s\n' "" "median us" "min us" "x true"
printf '%-26s %10s %10s %10.2f\n' "ntolvex get-version" "$(us "$g_med")" "$(us "$g_min")" \
  "$(awk "BEGIN{print $g_med/$t_med}")"
printf '%-26s %10s %10s %10.2f\n' "bare main, same libraries" "$(us "$b_med")" "$(us "$b_min")" \
  "$(awk "BEGIN{print $b_med/$t_med}")"
printf '%-26s %10s %10s %10.2f\n' "/bin/true" "$(us "$t_med")" "$(us "$t_min")" 1
printf 'get-version / bare main: %.3f\n' "$(awk "BEGIN{print $g_med/$b_med}")"
printf 'get-version / true:      %.3f\n' "$(awk "BEGIN{print $g_med/$t_med}")"
