#!/bin/sh
# SPDX-License-Identifier: GPL-3.0-or-later
# Resource figures of the reader: peak memory of the core with 1,000,000 entries, peak memory of
# flowsentry-cli --read over a file of 1,000,000 flows, and CPU time per million packets (user + system
# over a 10,000,000-packet file, divided by 10). Capture files go to a scratch directory (about 1.5 GB).
#   bench/resources.sh [BUILD_DIR] [SCRATCH_DIR]     (defaults: build/dev, a new directory under /tmp)
set -eu
here="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$here/build/dev}"
scratch="${2:-$(mktemp -d)}"
gen="$build/tools/flowsentry-gen"
cli="$build/cli/flowsentry-cli"

echo "== core: 1,000,000 entries in CTrafficTable"
"$build/bench/table_memory" 1000000

echo "== flowsentry-cli --read, 1,000,000 flows (2,000,000 packets)"
[ -f "$scratch/flows.pcap" ] || "$gen" --out "$scratch/flows.pcap" --packets 2000000 --flows 1000000 \
    --min-size 40 --max-size 100
/usr/bin/time -f "peak resident: %M KiB, user %U s, system %S s" \
    "$cli" --read "$scratch/flows.pcap" --format csv >/dev/null

echo "== flowsentry-cli --read, 10,000,000 packets (100 flows)"
[ -f "$scratch/packets.pcap" ] || "$gen" --out "$scratch/packets.pcap" --packets 10000000 --flows 100 \
    --min-size 40 --max-size 100
/usr/bin/time -f "%U %S %M" -o "$scratch/time.txt" "$cli" --read "$scratch/packets.pcap" --format csv >/dev/null
awk '{ printf "user %s s, system %s s, peak %s KiB: %.3f s of CPU per million packets\n", $1, $2, $3, ($1 + $2) / 10 }' \
    "$scratch/time.txt"
echo "(capture files kept in $scratch)"
