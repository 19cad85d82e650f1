#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# The cost of --ipfix on a capture-file read: flowsentry-cli --read of the 10,000,000-frame file (100,000 flows,
# snaplen 128) with --ipfix to an nfcapd on loopback, against the same read without it, side by side under
# farm-bench. Then one more run with --stats for the records sent, and nfcapd's own count of what arrived.
#
#   bench/ipfix_rate.sh [BUILD_DIR] [SCRATCH_DIR] [RUNS]
#       defaults: build/dev, a new directory under /tmp (about 1.4 GB, kept for the next call), 7
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$root/build/dev}"
scratch="${2:-$(mktemp -d)}"
runs="${3:-7}"
cli="$build/cli/flowsentry-cli"
for tool in "$build/tools/flowsentry-gen" "$cli" "$(command -v nfcapd)" "$(command -v farm-bench)"; do
    [ -x "$tool" ] || { echo "ipfix_rate.sh: needs $tool (build, apt-get install nfdump, farm-bench)"; exit 2; }
done
file="$scratch/10m.pcap"
[ -f "$file" ] || "$build/tools/flowsentry-gen" --out "$file" --packets 10000000 --flows 100000 --snaplen 128
flows="$scratch/flows"
rm -rf "$flows" && mkdir -p "$flows"
port=39771
nfcapd -w "$flows" -p "$port" -b 127.0.0.1 -B 8388608 >"$scratch/nfcapd.log" 2>&1 &
collector=$!
trap 'kill "$collector" 2>/dev/null || true' EXIT
sleep 0.5
farm-bench -n "$runs" --timeout 600 \
    --vs "sh -c '$cli --read $file --format csv >/dev/null'" \
    -- sh -c "$cli --read $file --format csv --ipfix 127.0.0.1:$port >/dev/null"
/usr/bin/time -f "one run with --ipfix: %e s" "$cli" --read "$file" --format none --ipfix "127.0.0.1:$port" --stats
kill "$collector"
wait "$collector" || true
tail -2 "$scratch/nfcapd.log"
