// SPDX-License-Identifier: GPL-3.0-or-later
// The floor no live capture beats: libpcap on an interface with a callback that only counts packets, set up
// as a capture that holds up under load (block ring, large buffer, kernel filter). bench/live_rate.sh runs
// it next to tcpdump and flowsentry-cli on the same traffic.
//   build/dev/bench/bare_pcap_live INTERFACE      (root; ends on SIGINT or SIGTERM)
#include <array>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <pcap/pcap.h>

namespace {

constexpr int kSnapLength = 128;
constexpr int kBufferBytes = 32 * 1024 * 1024;
constexpr int kReadTimeoutMs = 100;

// pcap_breakloop may be called from a signal handler; it also wakes a poll() blocked on the ring.
pcap_t* volatile g_pHandle = nullptr;
volatile std::sig_atomic_t g_bStop = 0;

void OnSignal(int) {
    g_bStop = 1;
    if (g_pHandle != nullptr) {
        pcap_breakloop(g_pHandle);
    }
}

void OnPacket(std::uint8_t* user, const pcap_pkthdr*, const std::uint8_t*) {
    ++*reinterpret_cast<std::uint64_t*>(user);
}

bool Check(pcap_t* handle, int result, const char* what) {
    if (result == 0) {
        return true;
    }
    std::fprintf(stderr, "bare_pcap_live: %s: %s\n", what,
                 result == PCAP_ERROR ? pcap_geterr(handle) : pcap_statustostr(result));
    return result > 0; // warnings (e.g. promiscuous mode not supported) are not fatal
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: bare_pcap_live INTERFACE\n");
        return 2;
    }
    std::array<char, PCAP_ERRBUF_SIZE> errors{};
    pcap_t* handle = pcap_create(argv[1], errors.data());
    if (handle == nullptr) {
        std::fprintf(stderr, "bare_pcap_live: %s\n", errors.data());
        return 1;
    }
    // Immediate mode stays off: the kernel hands over whole ring blocks, one wake-up per block.
    pcap_set_snaplen(handle, kSnapLength);
    pcap_set_promisc(handle, 1);
    pcap_set_immediate_mode(handle, 0);
    pcap_set_buffer_size(handle, kBufferBytes);
    pcap_set_timeout(handle, kReadTimeoutMs);
    if (!Check(handle, pcap_activate(handle), "cannot start the capture")) {
        pcap_close(handle);
        return 1;
    }
    bpf_program program{};
    if (pcap_compile(handle, &program, "ip", 1, PCAP_NETMASK_UNKNOWN) != 0 ||
        pcap_setfilter(handle, &program) != 0) {
        std::fprintf(stderr, "bare_pcap_live: cannot set the filter: %s\n", pcap_geterr(handle));
        pcap_close(handle);
        return 1;
    }
    pcap_freecode(&program);

    g_pHandle = handle;
    struct sigaction action {};
    action.sa_handler = &OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0; // no SA_RESTART: a blocked poll() returns at once
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    std::fprintf(stderr, "listening on %s\n", argv[1]); // bench/live_rate.sh waits for this line

    std::uint64_t packets = 0;
    int result = 0;
    while (g_bStop == 0) {
        result = pcap_dispatch(handle, -1, &OnPacket, reinterpret_cast<std::uint8_t*>(&packets));
        if (result == PCAP_ERROR_BREAK) {
            result = 0;
            break;
        }
        if (result == PCAP_ERROR) {
            std::fprintf(stderr, "bare_pcap_live: %s\n", pcap_geterr(handle));
            break;
        }
    }
    pcap_stat stats{};
    const bool haveStats = pcap_stats(handle, &stats) == 0;
    g_pHandle = nullptr;
    pcap_close(handle);
    if (haveStats) {
        std::fprintf(stderr, "packets: %llu, kernel drops: %u\n", static_cast<unsigned long long>(packets),
                     stats.ps_drop);
    } else {
        std::fprintf(stderr, "packets: %llu, kernel drops: unknown\n",
                     static_cast<unsigned long long>(packets));
    }
    return result == PCAP_ERROR ? 1 : 0;
}
