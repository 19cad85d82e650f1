// The floor no capture-file reader beats: libpcap's offline loop with a callback that only sums lengths.
//   build/dev/bench/bare_pcap_read FILE
#include <pcap/pcap.h>

#include <array>
#include <cstdint>
#include <cstdio>

namespace {

struct Totals {
    std::uint64_t m_nPackets = 0;
    std::uint64_t m_nBytes = 0;
};

void OnPacket(std::uint8_t* user, const pcap_pkthdr* header, const std::uint8_t* bytes) {
    auto* totals = reinterpret_cast<Totals*>(user);
    ++totals->m_nPackets;
    // Touch the bytes a decoder would read, so that the floor pays for the same memory traffic.
    totals->m_nBytes += header->len + (header->caplen > 23 ? bytes[23] : 0U);
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: bare_pcap_read FILE\n");
        return 2;
    }
    std::array<char, PCAP_ERRBUF_SIZE> errors{};
    pcap_t* handle = pcap_open_offline(argv[1], errors.data());
    if (handle == nullptr) {
        std::fprintf(stderr, "bare_pcap_read: %s\n", errors.data());
        return 1;
    }
    Totals totals;
    const int result = pcap_loop(handle, -1, &OnPacket, reinterpret_cast<std::uint8_t*>(&totals));
    pcap_close(handle);
    std::printf("%llu packets, %llu bytes\n", static_cast<unsigned long long>(totals.m_nPackets),
                static_cast<unsigned long long>(totals.m_nBytes));
    return result == PCAP_ERROR ? 1 : 0;
}
