#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Capture-file reading against its floor. Makes three files with flowsentry-gen (snaplen 128, as a capture of
# headers would be): 1,000,000 frames over 10,000 flows, and 10,000,000 frames over 100,000 flows, in pcap,
# and the large one again in pcapng. For each, runs in turn, RUNS times (each time 10 runs in a row for the
# small file, 2 for the large ones):
#   floor       bench/bare_pcap_read: libpcap's read loop alone, through a 1 MiB stdio buffer (for pcapng,
#               libpcap's own pcapng reader, which Flowsentry does not use)
#   flowsentry  flowsentry-cli --read FILE --format csv >/dev/null
# and prints the median wall seconds of each and the packets-per-second ratio flowsentry / floor (the same
# packets, so the floor's time over flowsentry's). The runs alternate, so that a change in the machine's
# load touches both alike; on a shared machine, look at the spread too.
#
#   bench/read_rate.sh [BUILD_DIR] [SCRATCH_DIR] [RUNS]
#       defaults: build/dev, a new directory under /tmp (about 3.2 GB, kept for the next call), 7
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$root/build/dev}"
scratch="${2:-$(mktemp -d)}"
runs="${3:-7}"
gen="$build/tools/flowsentry-gen"
cli="$build/cli/flowsentry-cli"
floor="$build/bench/bare_pcap_read"

case $runs in
'' | *[!0-9]* | 0) echo "read_rate.sh: RUNS must be a positive number"; exit 2 ;;
esac
[ -x /usr/bin/time ] || { echo "read_rate.sh: needs GNU time (apt-get install time)"; exit 2; }
for tool in "$gen" "$cli" "$floor"; do
    [ -x "$tool" ] || { echo "read_rate.sh: $tool is missing (build first, or give BUILD_DIR)"; exit 2; }
done

# Wall seconds of one run, the command's output thrown away. GNU time prints hundredths, so a short run is
# timed as REPEAT runs in a row and divided.
wall() {
    local repeat=$1
    shift
    /usr/bin/time -f %e -o "$scratch/time.txt" \
        sh -c 'n=$1; shift; while [ "$n" -gt 0 ]; do "$@" >/dev/null || exit 1; n=$((n - 1)); done' sh "$repeat" "$@"
    awk -v r="$repeat" '{ printf "%.4f\n", $1 / r }' "$scratch/time.txt"
}

median() {
    sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

measure() {
    local name=$1 packets=$2 flows=$3 repeat=$4 format=${5:-pcap}
    local file="$scratch/$name.$format"
    [ -f "$file" ] || "$gen" --out "$file" --packets "$packets" --flows "$flows" --snaplen 128 \
        $([ "$format" = pcapng ] && echo --pcapng)
    # One unmeasured run of each brings the file into the page cache.
    wall 1 "$floor" "$file" >/dev/null
    wall 1 "$cli" --read "$file" --format csv >/dev/null
    : >"$scratch/floor.txt"
    : >"$scratch/cli.txt"
    for _ in $(seq "$runs"); do
        wall "$repeat" "$floor" "$file" >>"$scratch/floor.txt"
        wall "$repeat" "$cli" --read "$file" --format csv >>"$scratch/cli.txt"
    done
    local f c
    f=$(median <"$scratch/floor.txt")
    c=$(median <"$scratch/cli.txt")
    awk -v n="$name" -v f="$f" -v c="$c" -v lo="$(sort -g "$scratch/cli.txt" | head -1)" \
        -v hi="$(sort -g "$scratch/cli.txt" | tail -1)" 'BEGIN {
        printf "%-7s floor %6.3f s  flowsentry %6.3f s (%.3f to %.3f)  packets/s ratio %.2f\n", n, f, c, lo, hi, f / c }'
}

echo "median of $runs runs each, wall seconds; ratio = flowsentry's packets per second / the floor's"
measure 1m 1000000 10000 10
measure 10m 10000000 100000 2
measure 10m-ng 10000000 100000 2 pcapng
echo "(capture files kept in $scratch)"
