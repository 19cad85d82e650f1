#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Live capture under load, against the cost of a bare capture loop. Replays 64-byte frames as fast as
# tcpreplay can across a veth pair between two network namespaces of our own, once for each capture below,
# capturing on the receiving side (namespace A, fsrA, 10.250.0.1):
#   bare        bench/bare_pcap_live: libpcap counting loop (block ring, 32 MiB, filter "ip")
#   tcpdump     tcpdump -i fsrA -w /dev/null
#   flowsentry  flowsentry-cli --address 10.250.0.1 --format csv --stats
#   window      bench/window_latency --live 10.250.0.1: the main window (offscreen) capturing through its
#               Start Analyzing command, its list showing one row per flow of the replay
# and prints one row per capture: the senders' combined rate, the frames that reached fsrA, the frames the
# capture counted, the kernel's drops (pcap's ps_drop), CPU seconds (user + system) of the capturing
# process and the children it waited for, per million frames counted, the capture helper's part of that
# (flowsentry and window: read from /proc just before the stop), and its voluntary context switches
# (both from /usr/bin/time, i.e. wait4). For window, also the rows shown and the event loop's lateness.
# Then, for flowsentry, the voluntary context switches per second of all threads of the CLI and its child
# processes while capturing with no traffic.
#
#   bench/live_rate.sh [SENDERS] [PACKETS_PER_SENDER]        (defaults: 2 senders x 2,000,000 frames)
# Environment:
#   FLOWSENTRY_BIN  build directory holding cli/flowsentry-cli, tools/flowsentry-gen,
#                   bench/bare_pcap_live and bench/window_latency (default: build/dev)
#   CAPTURES        which captures to run, in order (default: "bare tcpdump flowsentry"; also "window",
#                   which needs bench/window_latency, built with the GUI)
#   FLOWS           flows in the replayed file, each between 10.250.0.1 and its own remote address
#                   (default: 1000; 100000 gives the window 100,000 rows)
#   IDLE_SECONDS    length of the idle measurement (default: 5; 0 skips it)
# Root only. All traffic stays on the veth pair between the two namespaces, which are removed on exit.
# Figures depend on the machine's load: on a shared machine they are indicative only.
set -euo pipefail
senders=${1:-2}
packets=${2:-2000000}
root="$(cd "$(dirname "$0")/.." && pwd)"
bin=${FLOWSENTRY_BIN:-$root/build/dev}
captures=${CAPTURES:-bare tcpdump flowsentry}
flows=${FLOWS:-1000}
idle_seconds=${IDLE_SECONDS:-5}

case $flows in
'' | *[!0-9]* | 0) echo "live_rate.sh: FLOWS must be a positive number"; exit 2 ;;
esac
[ "$flows" -le 1000000 ] || { echo "live_rate.sh: FLOWS is at most 1000000"; exit 2; }
[ "$(id -u)" -eq 0 ] || { echo "live_rate.sh: needs root (network namespaces, packet capture)"; exit 2; }
command -v tcpreplay >/dev/null || { echo "needs tcpreplay (apt-get install tcpreplay tcpdump)"; exit 2; }
[ -x /usr/bin/time ] || { echo "needs GNU time (apt-get install time)"; exit 2; }
for name in $captures; do
    case $name in
    bare) need="$bin/bench/bare_pcap_live" ;;
    tcpdump) need=$(command -v tcpdump) || { echo "needs tcpdump (apt-get install tcpreplay tcpdump)"; exit 2; } ;;
    flowsentry) need="$bin/cli/flowsentry-cli" ;;
    window) need="$bin/bench/window_latency" ;;
    *) echo "live_rate.sh: unknown capture '$name' (CAPTURES takes bare, tcpdump, flowsentry, window)"; exit 2 ;;
    esac
    [ -x "$need" ] || { echo "live_rate.sh: $need is missing (set FLOWSENTRY_BIN)"; exit 2; }
done
[ -x "$bin/tools/flowsentry-gen" ] || { echo "live_rate.sh: $bin/tools/flowsentry-gen is missing"; exit 2; }

work=$(mktemp -d)
a=fsrateA.$$
b=fsrateB.$$
capture=""
cleanup() {
    [ -n "$capture" ] && kill -KILL "$capture" 2>/dev/null || true
    ip netns del "$a" 2>/dev/null || true
    ip netns del "$b" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

ip netns add "$a"
ip netns add "$b"
# No IPv6 on the pair: router solicitations would otherwise show up in tcpdump's count only.
for n in "$a" "$b"; do
    ip netns exec "$n" sysctl -qw net.ipv6.conf.all.disable_ipv6=1 net.ipv6.conf.default.disable_ipv6=1 \
        2>/dev/null || true
done
# Created inside the namespaces, so that the device names cannot clash with another run.
ip link add fsrA netns "$a" type veth peer name fsrB netns "$b"
ip -n "$a" addr add 10.250.0.1/24 dev fsrA
ip -n "$b" addr add 10.250.0.2/24 dev fsrB
ip -n "$a" link set fsrA up
ip -n "$b" link set fsrB up

# 64-byte frames (46-byte datagrams) over $flows flows towards and from 10.250.0.1, remote addresses counting
# up from 10.250.0.2 (past the /24 for more than 253 flows: they only travel the pair). The frames'
# destination MAC is not fsrA's, so namespace A's IP stack drops them unanswered and the capture sees only
# the replay.
"$bin/tools/flowsentry-gen" --out "$work/frames.pcap" --packets "$packets" --flows "$flows" --link ethernet \
    --protos 17 --min-size 46 --max-size 46 --local 10.250.0.1 --remote 10.250.0.2

in_a() { ip netns exec "$a" "$@"; }
counter() { ip netns exec "$1" cat "/sys/class/net/$2/statistics/$3"; }

# Waits until a packet socket is open in namespace A (whichever process of the capture opens it), then a
# little longer for the ring and filter to be in place. Fails if the process $1 ends first.
wait_for_capture() {
    for _ in $(seq 1 150); do
        kill -0 "$1" 2>/dev/null || return 1
        if [ "$(in_a awk 'NR > 1' /proc/net/packet | wc -l)" -gt 0 ]; then
            sleep 1
            return 0
        fi
        sleep 0.1
    done
    return 1
}

# The process $1 and all its descendants.
tree() {
    echo "$1"
    local child
    for child in $(pgrep -P "$1" || true); do
        tree "$child"
    done
}

# Voluntary context switches of every thread of $1 and its descendants (/proc/PID/status alone counts
# only the main thread).
voluntary_switches() {
    local pid total=0 n
    for pid in $(tree "$1"); do
        n=$(cat /proc/"$pid"/task/*/status 2>/dev/null | awk '/^voluntary_ctxt_switches/ { s += $2 } END { print s + 0 }')
        total=$((total + n))
    done
    echo "$total"
}

# "PID TICKS": the capture helper among $1 and its descendants, with its user + system CPU so far in clock
# ticks. Read while it runs: once collected, its time is only part of its parent's children total.
helper_ticks() {
    local pid
    for pid in $(tree "$1"); do
        # The kernel keeps 15 characters of the name.
        if [ "$(cat /proc/"$pid"/comm 2>/dev/null)" = flowsentry-capt ]; then
            sed 's/^.*) //' /proc/"$pid"/stat | awk -v p="$pid" '{ print p, $12 + $13 }'
            return
        fi
    done
}

# "counted drops" from the capture's own report on stderr.
parse_counts() {
    case $1 in
    bare) sed -n 's/^packets: \([0-9]*\), kernel drops: \([0-9a-z]*\)$/\1 \2/p' "$2" ;;
    tcpdump) awk '/packets captured/ { c = $1 } /packets dropped by kernel/ { d = $1 } END { print c, d }' "$2" ;;
    flowsentry) sed -n 's/^packets seen: [0-9]*, counted: \([0-9]*\), dropped by the kernel: \([0-9a-z]*\),.*/\1 \2/p' "$2" ;;
    window) sed -n 's/^rows shown: [0-9]*, packets seen: [0-9]*, counted: \([0-9]*\), dropped by the kernel: \([0-9]*\).*/\1 \2/p' "$2" ;;
    esac
}

rows=()
notes=()
run_capture() {
    local name=$1
    local -a cmd
    case $name in
    bare) cmd=("$bin/bench/bare_pcap_live" fsrA) ;;
    tcpdump) cmd=(tcpdump -i fsrA -w /dev/null) ;;
    flowsentry) cmd=("$bin/cli/flowsentry-cli" --address 10.250.0.1 --format csv --stats) ;;
    window) cmd=(env QT_QPA_PLATFORM=offscreen "$bin/bench/window_latency" --live 10.250.0.1) ;;
    esac
    local rx0 rxdrop0 txdrop0
    rx0=$(counter "$a" fsrA rx_packets)
    rxdrop0=$(counter "$a" fsrA rx_dropped)
    txdrop0=$(counter "$b" fsrB tx_dropped)

    # GNU time reports wait4's figures, which include the children the capture waited for. It ignores
    # SIGINT itself, so the signal goes to the capture, its only child. (ip netns exec execs, so $! is
    # time's own process id.)
    ip netns exec "$a" /usr/bin/time -o "$work/$name.time" -f '%U %S %w %c %e' "${cmd[@]}" \
        >"$work/$name.out" 2>"$work/$name.err" &
    capture=$!
    if ! wait_for_capture "$capture"; then
        echo "$name: the capture did not start:"
        sed 's/^/  /' "$work/$name.err"
        kill -KILL "$capture" 2>/dev/null || true
        wait "$capture" || true
        capture=""
        return
    fi

    local start end pids=() i
    start=$(date +%s.%N)
    for i in $(seq 1 "$senders"); do
        ip netns exec "$b" tcpreplay --topspeed -i fsrB "$work/frames.pcap" >"$work/$name.replay$i" 2>&1 &
        pids+=($!)
    done
    wait "${pids[@]}"
    end=$(date +%s.%N)
    sleep 1 # lets the capture empty its buffer
    local helper helper_pid="" helper_cpu=""
    helper=$(helper_ticks "$capture")
    if [ -n "$helper" ]; then
        read -r helper_pid helper_cpu <<<"$helper"
        helper_cpu=$(awk -v t="$helper_cpu" -v hz="$(getconf CLK_TCK)" 'BEGIN { printf "%.2f", t / hz }')
    fi
    local child
    for child in $(pgrep -P "$capture" || true); do
        kill -INT "$child"
    done
    wait "$capture" || true
    capture=""

    local sent reached vethdrop counted drops rate user system cpu vcs helper_share
    sent=$(cat "$work/$name".replay* | awk '/Successful packets:/ { s += $3 } END { print s + 0 }')
    reached=$(($(counter "$a" fsrA rx_packets) - rx0))
    vethdrop=$(($(counter "$a" fsrA rx_dropped) - rxdrop0 + $(counter "$b" fsrB tx_dropped) - txdrop0))
    read -r counted drops <<<"$(parse_counts "$name" "$work/$name.err")" || true
    rate=$(awk -v n="$sent" -v s="$start" -v e="$end" 'BEGIN { printf "%.0f", n / (e - s) }')
    read -r user system vcs _ _ <<<"$(tail -n 1 "$work/$name.time")"
    cpu=$(awk -v u="$user" -v s="$system" -v n="${counted:-0}" \
        'BEGIN { if (n > 0) printf "%.3f", (u + s) * 1e6 / n; else print "n/a" }')
    helper_share=-
    if [ -n "$helper_cpu" ]; then
        helper_share=$(awk -v h="$helper_cpu" -v n="${counted:-0}" \
            'BEGIN { if (n > 0) printf "%.3f", h * 1e6 / n; else print "n/a" }')
    fi
    rows+=("$(printf '%-11s %12s %10s %10s %10s %10s %9s %8s %9s %9s' "$name" "$rate" "$sent" "$reached" \
        "${counted:-?}" "${drops:-?}" "$vethdrop" "$cpu" "$helper_share" "$vcs")")
    if [ "$name" = window ]; then
        # The window process alone (without the helper) and its window thread, as it measured them just
        # before the stop.
        local own gui
        own=$(sed -n 's/^cpu: window process user \([0-9.]*\) s, system \([0-9.]*\) s.*/\1 \2/p' "$work/$name.err" |
            awk -v n="${counted:-0}" '{ if (n > 0) printf "%.3f", ($1 + $2) * 1e6 / n; else print "n/a" }')
        gui=$(sed -n 's/^cpu: .*(window thread user \([0-9.]*\) s, system \([0-9.]*\) s).*/\1 \2/p' "$work/$name.err" |
            awk -v n="${counted:-0}" '{ if (n > 0) printf "%.3f", ($1 + $2) * 1e6 / n; else print "n/a" }')
        local shown
        shown=$(sed -n 's/^rows shown: \([0-9]*\),.*/\1/p' "$work/$name.err")
        notes+=("window: ${shown:-?} rows shown; cpu s/M of the window process alone ${own:-?}, of its window thread ${gui:-?}")
        notes+=("window: $(grep '^event-loop lateness' "$work/$name.err")")
    fi
    {
        echo "$name: $(echo "${cmd[*]}" | sed "s|$bin/||")"
        grep -h "Rated:" "$work/$name".replay* | sed 's/^ */  tcpreplay /'
        grep -hv "^listening on\|^tcpdump: listening" "$work/$name.err" | sed 's/^/  capture: /'
        echo "  time: user $user s, system $system s, wall $(tail -n 1 "$work/$name.time" | awk '{ print $5 }') s"
        if [ -n "$helper_cpu" ]; then
            echo "  helper (pid $helper_pid) before the stop: user + system $helper_cpu s"
        fi
    } >>"$work/details.txt"
    sleep 1
}

run_idle() {
    ip netns exec "$a" "$bin/cli/flowsentry-cli" --address 10.250.0.1 --format csv --stats \
        >"$work/idle.out" 2>"$work/idle.err" &
    capture=$!
    if ! wait_for_capture "$capture"; then
        echo "flowsentry idle: the capture did not start:"
        sed 's/^/  /' "$work/idle.err"
        capture=""
        return
    fi
    local before after tasks
    before=$(voluntary_switches "$capture")
    sleep "$idle_seconds"
    after=$(voluntary_switches "$capture")
    tasks=$(for pid in $(tree "$capture"); do ls /proc/"$pid"/task; done | wc -l)
    kill -INT "$capture"
    wait "$capture" || true
    capture=""
    awk -v d="$((after - before))" -v t="$idle_seconds" -v n="$tasks" 'BEGIN {
        printf "flowsentry idle: %.1f voluntary context switches/s (%d over %d s, %d threads)\n", d / t, d, t, n }'
}

for name in $captures; do
    run_capture "$name"
done

echo "senders: $senders x $packets frames of 64 bytes over $flows flows, tcpreplay --topspeed over veth; $(nproc) CPUs"
printf '%-11s %12s %10s %10s %10s %10s %9s %8s %9s %9s\n' capture "frames/s" sent "reached" counted \
    "kern.drops" "veth.drop" "cpu s/M" "helper" "vol.csw"
printf '%s\n' "${rows[@]}"
echo "(reached: frames fsrA received; veth.drop: frames the pair dropped before any capture could see them;"
echo " cpu s/M: user + system seconds of the capture and its children per million frames counted;"
echo " helper: the part of cpu s/M spent in flowsentry-capture, read just before the stop)"
if [ ${#notes[@]} -gt 0 ]; then
    printf '%s\n' "${notes[@]}"
fi
[ -f "$work/details.txt" ] && cat "$work/details.txt"
case " $captures " in
*" flowsentry "*) [ "$idle_seconds" -gt 0 ] && run_idle ;;
esac
exit 0
