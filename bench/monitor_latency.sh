#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# The window under load, sorted and filtered beside neither: bench/window_latency with ROWS rows, a feeder
# thread folding packets at full speed into HOT of them and adding NEW_PER_TICK new rows per refresh, the list
# refreshed every 250 ms as during a capture, for RUN_SECONDS seconds; once sorted by SORT (largest first) with
# the filter FILTER typed in the filter bar, once in the default order without a filter. The two alternate,
# RUNS times each, so that a change in the machine's load touches both alike, and the figures of every run
# are printed side by side: the lateness of a 10 ms timer (its largest is the longest stall), the time of
# each refresh (CFlowsentryView::Refresh) and of each repaint of the list, the rows changed per refresh,
# and the peak resident memory. Then the cost of one refresh against the number of changed rows, without
# the feeder (window_latency --refresh-cost), in the same two orders.
#
#   bench/monitor_latency.sh [BUILD_DIR] [RUNS]      (defaults: build/dev, 3)
# Environment (defaults): ROWS (1000000), RUN_SECONDS (10; bash keeps SECONDS for itself), HOT (10000), NEW_PER_TICK (1000),
#   SORT (total-data), FILTER (11.0.0.0/15: the prefill's remote addresses are 11.0.0.0 up from row 0, three
#   rows each, so with a million rows this network holds 393,216 of them, 39%; a /14 would hold 79%).
# Targets: longest stall at most 50 ms, p99 lateness at most 10 ms, peak resident under 300 MB (286 MiB).
# On a shared machine the figures depend on its load: the "on the CPU" ones less than the others.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$root/build/dev}"
runs="${2:-3}"
rows=${ROWS:-1000000}
seconds=${RUN_SECONDS:-10}
hot=${HOT:-10000}
new_per_tick=${NEW_PER_TICK:-1000}
sort=${SORT:-total-data}
filter=${FILTER:-11.0.0.0/15}
program="$build/bench/window_latency"

case $runs in
'' | *[!0-9]* | 0) echo "monitor_latency.sh: RUNS must be a positive number"; exit 2 ;;
esac
[ -x "$program" ] || { echo "monitor_latency.sh: $program is missing (build the dev preset with the GUI)"; exit 2; }
export QT_QPA_PLATFORM=${QT_QPA_PLATFORM:-offscreen}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# One live run; its summary line goes to FILE.
live() {
    local file=$1
    shift
    "$program" --rows "$rows" --seconds "$seconds" --hot "$hot" --new-per-tick "$new_per_tick" "$@" \
        >"$work/out.txt" 2>"$work/err.txt" || { cat "$work/out.txt" "$work/err.txt"; exit 1; }
    grep '^summary:' "$work/out.txt" >>"$file"
}

echo "== live: $rows rows, $hot hot, $new_per_tick new per refresh, ${seconds} s each; $runs runs of each, alternating"
: >"$work/ordered.txt"
: >"$work/plain.txt"
for run in $(seq "$runs"); do
    live "$work/ordered.txt" --sort "$sort" --filter "$filter"
    live "$work/plain.txt"
    echo "   run $run of $runs done"
done

# One line per figure: its name, then the values of every run of the first file, a bar, those of the second.
echo "left: sorted by $sort with the filter $filter; right: unsorted, no filter; one column per run"
awk -v runs="$runs" '
    FNR == 1 { file++ }
    {
        for (i = 2; i <= NF; i++) {
            split($i, kv, "=")
            value[file, kv[1], FNR] = kv[2]
            if (file == 1 && FNR == 1) order[++keys] = kv[1]
        }
    }
    END {
        name["shown"] = "rows shown"; name["rows"] = "rows at the end"
        name["stall"] = "longest stall, ms"; name["stall_cpu"] = "  the window thread on the CPU, ms"; name["p99"] = "lateness p99, ms"; name["median"] = "lateness median, ms"
        name["refreshes"] = "refreshes"; name["refresh_median"] = "refresh median, ms"
        name["refresh_p99"] = "refresh p99, ms"; name["refresh_max"] = "refresh max, ms"
        name["refresh_cpu"] = "refresh on the CPU, median ms"; name["refresh_cpu_max"] = "refresh on the CPU, max ms"
        name["slowest_changed"] = "rows changed by the slowest refresh"
        name["paint_median"] = "paint of the list median, ms"; name["paint_p99"] = "paint of the list p99, ms"
        name["paint_max"] = "paint of the list max, ms"; name["paint_cpu"] = "paint on the CPU, median ms"
        name["window_paint_max"] = "window repaint max, ms"
        name["changed"] = "rows changed per refresh, median"; name["distinct"] = "  distinct"
        name["peak_mib"] = "peak resident, MiB"
        for (k = 1; k <= keys; k++) {
            key = order[k]
            printf "%-34s", (key in name) ? name[key] : key
            for (f = 1; f <= 2; f++) {
                if (f == 2) printf " |"
                for (r = 1; r <= runs; r++) printf " %9s", value[f, key, r]
            }
            printf "\n"
        }
    }' "$work/ordered.txt" "$work/plain.txt"
echo "targets: longest stall <= 50 ms, lateness p99 <= 10 ms, peak resident < 300 MB (286.1 MiB)"

echo
echo "== refresh cost without the feeder"
"$program" --refresh-cost --rows "$rows" --sort "$sort" --filter "$filter" 2>/dev/null | grep -v '^platform'
