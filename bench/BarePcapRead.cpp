// SPDX-License-Identifier: GPL-3.0-or-later
// The floor no capture-file reader beats: libpcap's offline loop with a callback that only sums lengths,
// reading through a 1 MiB stdio buffer on a cache line, as the file source does. (pcap_open_offline alone
// reads through stdio's 4 KiB buffer: a slower loop, and so not a floor for a reader that does better.)
//   build/dev/bench/bare_pcap_read FILE
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <pcap/pcap.h>

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

constexpr std::size_t kStreamBufferBytes = std::size_t{1} << 20U;
constexpr std::size_t kCacheLine = 64;

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: bare_pcap_read FILE\n");
        return 2;
    }
    std::FILE* file = std::fopen(argv[1], "rb");
    if (file == nullptr) {
        std::perror(argv[1]);
        return 1;
    }
    char* buffer = static_cast<char*>(std::aligned_alloc(kCacheLine, kStreamBufferBytes));
    if (buffer == nullptr || std::setvbuf(file, buffer, _IOFBF, kStreamBufferBytes) != 0) {
        std::fprintf(stderr, "bare_pcap_read: cannot set the stream buffer\n");
        return 1;
    }
    std::array<char, PCAP_ERRBUF_SIZE> errors{};
    pcap_t* handle = pcap_fopen_offline(file, errors.data());
    if (handle == nullptr) {
        std::fprintf(stderr, "bare_pcap_read: %s\n", errors.data());
        return 1;
    }
    Totals totals;
    const int result = pcap_loop(handle, -1, &OnPacket, reinterpret_cast<std::uint8_t*>(&totals));
    pcap_close(handle); // closes the file, which still reads through the buffer
    std::free(buffer);
    std::printf("%llu packets, %llu bytes\n", static_cast<unsigned long long>(totals.m_nPackets),
                static_cast<unsigned long long>(totals.m_nBytes));
    return result == PCAP_ERROR ? 1 : 0;
}
