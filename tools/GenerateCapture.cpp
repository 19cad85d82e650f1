// SPDX-License-Identifier: GPL-3.0-or-later
// flowsentry-gen: writes a capture file of made-up IPv4 traffic, for the sample job, tests and benchmarks.
//   flowsentry-gen --out FILE --packets N --flows M [--link ethernet|raw|sll|sll2|null|loop]
//                  [--protos 6,17,1] [--min-size B] [--max-size B] [--snaplen B] [--local ADDR]
//                  [--remote ADDR] [--seed S] [--pcapng] [--start SECONDS] [--rate PPS]
// Flow f carries protocol protos[f % P] between the local address and remote + f / P. The first M packets
// visit every flow once, in order; the rest pick flows and directions at random. Sizes are IPv4 datagram
// sizes, uniform in [min, max]; Ethernet frames of short datagrams are padded to 60 bytes as on the wire.
#include "traffic/TrafficEntry.h"

#include <pcap/dlt.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace {

using flowsentry::Ipv4Address;

constexpr int kLinkTypeRaw = 101; // LINKTYPE_RAW: raw IP in capture files (DLT_RAW differs between systems)

struct Options {
    std::string m_strOut;
    std::uint64_t m_nPackets = 1000;
    std::uint64_t m_nFlows = 10;
    int m_nLinkType = DLT_EN10MB;
    std::vector<std::uint8_t> m_protos{6, 17, 1};
    std::uint32_t m_nMinSize = 40;
    std::uint32_t m_nMaxSize = 1500;
    std::uint32_t m_nSnapLength = 65535;
    Ipv4Address m_dwLocal = 0x0AFA0001;  // 10.250.0.1
    Ipv4Address m_dwRemote = 0x0AFA0002; // 10.250.0.2
    std::uint64_t m_nSeed = 1;
    bool m_bPcapng = false;
    std::uint64_t m_nStart = 1700000000;
    std::uint64_t m_nRate = 1000000;
};

[[noreturn]] void Usage(const char* text) {
    std::fprintf(stderr,
                 "flowsentry-gen: %s\n"
                 "usage: flowsentry-gen --out FILE --packets N --flows M [--link ethernet|raw|sll|sll2|null|loop]\n"
                 "       [--protos 6,17,1] [--min-size B] [--max-size B] [--snaplen B] [--local ADDR]\n"
                 "       [--remote ADDR] [--seed S] [--pcapng] [--start SECONDS] [--rate PPS]\n",
                 text);
    std::exit(2);
}

std::uint64_t Number(const char* text) {
    char* end = nullptr;
    const unsigned long long value = std::strtoull(text, &end, 10);
    if (end == text || *end != '\0') {
        Usage("not a number");
    }
    return value;
}

Ipv4Address Address(const char* text) {
    const auto address = flowsentry::Ipv4FromText(text);
    if (!address) {
        Usage("not an IPv4 address");
    }
    return *address;
}

Options Parse(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--pcapng") {
            o.m_bPcapng = true;
            continue;
        }
        if (i + 1 >= argc) {
            Usage("an option lacks its value");
        }
        const char* value = argv[++i];
        if (arg == "--out") {
            o.m_strOut = value;
        } else if (arg == "--packets") {
            o.m_nPackets = Number(value);
        } else if (arg == "--flows") {
            o.m_nFlows = Number(value);
        } else if (arg == "--min-size") {
            o.m_nMinSize = static_cast<std::uint32_t>(Number(value));
        } else if (arg == "--max-size") {
            o.m_nMaxSize = static_cast<std::uint32_t>(Number(value));
        } else if (arg == "--snaplen") {
            o.m_nSnapLength = static_cast<std::uint32_t>(Number(value));
        } else if (arg == "--local") {
            o.m_dwLocal = Address(value);
        } else if (arg == "--remote") {
            o.m_dwRemote = Address(value);
        } else if (arg == "--seed") {
            o.m_nSeed = Number(value);
        } else if (arg == "--start") {
            o.m_nStart = Number(value);
        } else if (arg == "--rate") {
            o.m_nRate = Number(value);
        } else if (arg == "--protos") {
            o.m_protos.clear();
            for (const char* p = value; *p != '\0';) {
                char* end = nullptr;
                o.m_protos.push_back(static_cast<std::uint8_t>(std::strtoul(p, &end, 10)));
                p = *end == ',' ? end + 1 : end;
                if (end == p && *p != '\0') {
                    Usage("--protos is a comma-separated list of numbers");
                }
            }
        } else if (arg == "--link") {
            const std::string_view link = value;
            o.m_nLinkType = link == "ethernet" ? DLT_EN10MB
                            : link == "raw"    ? DLT_RAW
                            : link == "sll"    ? DLT_LINUX_SLL
                            : link == "sll2"   ? DLT_LINUX_SLL2
                            : link == "null"   ? DLT_NULL
                            : link == "loop"   ? DLT_LOOP
                                               : -1;
            if (o.m_nLinkType < 0) {
                Usage("unknown link type");
            }
        } else {
            Usage("unknown option");
        }
    }
    if (o.m_strOut.empty() || o.m_nFlows == 0 || o.m_protos.empty() || o.m_nMinSize < 20 ||
        o.m_nMaxSize < o.m_nMinSize || o.m_nMaxSize > 65535 || o.m_nRate == 0) {
        Usage("needs --out, at least one flow and protocol, and 20 <= min-size <= max-size <= 65535");
    }
    return o;
}

// splitmix64: fast, and the same sequence for the same seed on every machine.
std::uint64_t Next(std::uint64_t& state) {
    std::uint64_t z = (state += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30U)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27U)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31U);
}

void Put16(std::uint8_t* p, std::uint32_t v) {
    p[0] = static_cast<std::uint8_t>(v >> 8U);
    p[1] = static_cast<std::uint8_t>(v);
}
void Put32(std::uint8_t* p, std::uint32_t v) {
    Put16(p, v >> 16U);
    Put16(p + 2, v & 0xFFFFU);
}
void Put32Le(std::uint8_t* p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) {
        p[i] = static_cast<std::uint8_t>(v >> (8 * i));
    }
}

// The link header for an IPv4 datagram; returns its length.
std::size_t LinkHeader(int linkType, std::uint8_t* p) {
    switch (linkType) {
    case DLT_EN10MB:
        std::memcpy(p, "\x02\x00\x00\x00\x00\x02\x02\x00\x00\x00\x00\x01\x08\x00", 14);
        return 14;
    case DLT_LINUX_SLL:
        std::memcpy(p, "\x00\x00\x00\x01\x00\x06\x02\x00\x00\x00\x00\x01\x00\x00\x08\x00", 16);
        return 16;
    case DLT_LINUX_SLL2:
        std::memcpy(p, "\x08\x00\x00\x00\x00\x00\x00\x02\x00\x01\x00\x06\x02\x00\x00\x00\x00\x01\x00\x00", 20);
        return 20;
    case DLT_NULL:
        Put32Le(p, 2); // AF_INET in the byte order of the writer (little-endian here)
        return 4;
    case DLT_LOOP:
        Put32(p, 2);
        return 4;
    default:
        return 0;
    }
}

class Writer {
public:
    Writer(const Options& o, std::FILE* out) : m_options(o), m_pOut(out) {
        std::setvbuf(out, nullptr, _IOFBF, 1 << 20);
        std::uint8_t h[28] = {};
        if (o.m_bPcapng) {
            Put32Le(h, 0x0A0D0D0A);
            Put32Le(h + 4, 28);
            Put32Le(h + 8, 0x1A2B3C4D);
            h[12] = 1; // version 1.0
            std::memset(h + 16, 0xFF, 8);  // section length unknown
            Put32Le(h + 24, 28);
            Write(h, 28);
            std::uint8_t idb[20] = {};
            Put32Le(idb, 1);
            Put32Le(idb + 4, 20);
            const int fileType = o.m_nLinkType == DLT_RAW ? kLinkTypeRaw : o.m_nLinkType;
            idb[8] = static_cast<std::uint8_t>(fileType);
            idb[9] = static_cast<std::uint8_t>(fileType >> 8);
            Put32Le(idb + 12, o.m_nSnapLength);
            Put32Le(idb + 16, 20);
            Write(idb, 20);
        } else {
            Put32Le(h, 0xA1B2C3D4);
            h[4] = 2; // version 2.4
            h[6] = 4;
            Put32Le(h + 16, o.m_nSnapLength);
            // Files carry LINKTYPE_ numbers; they equal the DLT_ ones except for raw IP.
            Put32Le(h + 20, static_cast<std::uint32_t>(o.m_nLinkType == DLT_RAW ? kLinkTypeRaw : o.m_nLinkType));
            Write(h, 24);
        }
    }

    void Record(std::uint64_t micros, const std::uint8_t* frame, std::uint32_t length) {
        const std::uint32_t captured = std::min(length, m_options.m_nSnapLength);
        std::uint8_t h[28] = {};
        if (m_options.m_bPcapng) {
            const std::uint32_t padded = (captured + 3U) & ~3U;
            Put32Le(h, 6);
            Put32Le(h + 4, 32 + padded);
            Put32Le(h + 12, static_cast<std::uint32_t>(micros >> 32U));
            Put32Le(h + 16, static_cast<std::uint32_t>(micros));
            Put32Le(h + 20, captured);
            Put32Le(h + 24, length);
            Write(h, 28);
            Write(frame, captured);
            static const std::uint8_t zeros[4] = {};
            Write(zeros, padded - captured);
            std::uint8_t tail[4];
            Put32Le(tail, 32 + padded);
            Write(tail, 4);
        } else {
            Put32Le(h, static_cast<std::uint32_t>(micros / 1000000));
            Put32Le(h + 4, static_cast<std::uint32_t>(micros % 1000000));
            Put32Le(h + 8, captured);
            Put32Le(h + 12, length);
            Write(h, 16);
            Write(frame, captured);
        }
    }

    void Write(const void* data, std::size_t size) {
        if (size > 0 && std::fwrite(data, 1, size, m_pOut) != size) {
            m_bFailed = true;
        }
    }
    [[nodiscard]] bool Failed() const { return m_bFailed; }

private:
    const Options& m_options;
    std::FILE* m_pOut;
    bool m_bFailed = false;
};

std::uint16_t Checksum(const std::uint8_t* p, std::size_t n) {
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i + 1 < n; i += 2) {
        sum += static_cast<std::uint32_t>(p[i] << 8U) | p[i + 1];
    }
    while (sum > 0xFFFFU) {
        sum = (sum & 0xFFFFU) + (sum >> 16U);
    }
    return static_cast<std::uint16_t>(~sum);
}

} // namespace

int main(int argc, char** argv) {
    const Options o = Parse(argc, argv);
    std::FILE* out = std::fopen(o.m_strOut.c_str(), "wb");
    if (out == nullptr) {
        std::fprintf(stderr, "flowsentry-gen: cannot write %s: %s\n", o.m_strOut.c_str(), std::strerror(errno));
        return 1;
    }
    Writer writer(o, out);
    // Only the headers are ever read; the payload stays zero.
    std::vector<std::uint8_t> frame(20 + 65535 + 60, 0);
    const std::size_t link = LinkHeader(o.m_nLinkType, frame.data());
    std::uint8_t* ip = frame.data() + link;
    std::uint64_t state = o.m_nSeed;
    const std::uint64_t protoCount = o.m_protos.size();
    for (std::uint64_t k = 0; k < o.m_nPackets; ++k) {
        const std::uint64_t r = Next(state);
        const std::uint64_t flow = k < o.m_nFlows ? k : r % o.m_nFlows;
        const bool outgoing = k < o.m_nFlows || ((r >> 40U) & 1U) != 0;
        const std::uint32_t span = o.m_nMaxSize - o.m_nMinSize + 1;
        const std::uint32_t size = o.m_nMinSize + static_cast<std::uint32_t>((r >> 20U) % span);
        const std::uint8_t proto = o.m_protos[flow % protoCount];
        const auto remote = static_cast<Ipv4Address>(o.m_dwRemote + flow / protoCount);

        std::memset(ip, 0, 48);
        ip[0] = 0x45;
        Put16(ip + 2, size);
        Put16(ip + 4, static_cast<std::uint32_t>(k));
        ip[8] = 64;
        ip[9] = proto;
        Put32(ip + 12, outgoing ? o.m_dwLocal : remote);
        Put32(ip + 16, outgoing ? remote : o.m_dwLocal);
        Put16(ip + 10, Checksum(ip, 20));
        if ((proto == 6 || proto == 17) && size >= 28) {
            Put16(ip + 20, outgoing ? 40000 : 80);
            Put16(ip + 22, outgoing ? 80 : 40000);
            if (proto == 6 && size >= 40) {
                ip[32] = 0x50; // data offset: 5 words
                ip[33] = 0x10; // ACK
            } else if (proto == 17) {
                Put16(ip + 24, size - 20);
            }
        } else if (proto == 1 && size >= 28) {
            ip[20] = outgoing ? 8 : 0; // echo request / reply
        }
        std::uint32_t length = static_cast<std::uint32_t>(link) + size;
        if (o.m_nLinkType == DLT_EN10MB && size < 46) {
            length = 60; // padded with the zeros cleared above
        }
        writer.Record(o.m_nStart * 1000000 + k * 1000000 / o.m_nRate, frame.data(), length);
    }
    const bool failed = writer.Failed() || std::fclose(out) != 0;
    if (failed) {
        std::fprintf(stderr, "flowsentry-gen: cannot write %s: %s\n", o.m_strOut.c_str(), std::strerror(errno));
        return 1;
    }
    return 0;
}
