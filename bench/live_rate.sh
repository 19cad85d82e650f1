#!/usr/bin/env bash
# Live capture under load: replays 64-byte frames as fast as tcpreplay can across a veth pair between two
# network namespaces of our own, with flowsentry-cli capturing on the receiving side, and prints the rate
# the senders reached and what the capture counted and the kernel dropped. Root only; all traffic stays
# inside the namespaces (10.250.0.0/24).
#   bench/live_rate.sh [SENDERS] [PACKETS_PER_SENDER]
set -euo pipefail
senders=${1:-2}
packets=${2:-2000000}
root="$(cd "$(dirname "$0")/.." && pwd)"
bin="$root/build/dev"
work=$(mktemp -d)
a=fsrateA.$$
b=fsrateB.$$
cleanup() {
    ip netns del "$a" 2>/dev/null || true
    ip netns del "$b" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

command -v tcpreplay >/dev/null || { echo "needs tcpreplay (apt-get install tcpreplay)"; exit 2; }
ip netns add "$a"
ip netns add "$b"
ip link add fsrA type veth peer name fsrB
ip link set fsrA netns "$a"
ip link set fsrB netns "$b"
ip -n "$a" addr add 10.250.0.1/24 dev fsrA
ip -n "$b" addr add 10.250.0.2/24 dev fsrB
ip -n "$a" link set fsrA up
ip -n "$b" link set fsrB up

# 64-byte frames (46-byte datagrams) over 1,000 flows towards and from 10.250.0.1.
"$bin/tools/flowsentry-gen" --out "$work/frames.pcap" --packets "$packets" --flows 1000 --link ethernet \
    --protos 17 --min-size 46 --max-size 46 --local 10.250.0.1 --remote 10.250.0.2

ip netns exec "$a" "$bin/cli/flowsentry-cli" --address 10.250.0.1 --format csv --stats \
    >"$work/rows.csv" 2>"$work/stats.txt" &
capture=$!
sleep 1
start=$(date +%s.%N)
pids=()
for i in $(seq 1 "$senders"); do
    ip netns exec "$b" tcpreplay --topspeed -i fsrB "$work/frames.pcap" >"$work/replay$i.txt" 2>&1 &
    pids+=($!)
done
wait "${pids[@]}"
end=$(date +%s.%N)
sleep 1
kill -INT "$capture"
wait "$capture" || true

sent=$((senders * packets))
echo "senders: $senders, frames sent: $sent in $(echo "$end - $start" | bc) s"
grep -h "Rated:" "$work"/replay*.txt | sed 's/^/  tcpreplay /'
echo "  together: $(echo "$sent / ($end - $start)" | bc) frames/s"
sed 's/^/  capture: /' "$work/stats.txt"
