// SPDX-License-Identifier: GPL-3.0-or-later
// flowsentry-gen: writes a capture file of made-up IPv4 traffic, for the sample job, tests and benchmarks.
//   flowsentry-gen --out FILE --packets N --flows M [--link ethernet|raw|sll|sll2|null|loop|NUMBER]
//                  [--protos 6,17,1] [--min-size B] [--max-size B] [--snaplen B] [--local ADDR]
//                  [--remote ADDR] [--seed S] [--pcapng] [--start SECONDS] [--rate PPS]
//                  [--tsresol R] [--big-endian]
// Flow f carries protocol protos[f % P] between the local address and remote + f / P. The first M packets
// visit every flow once, in order; the rest pick flows and directions at random. Sizes are IPv4 datagram
// sizes, uniform in [min, max]; Ethernet frames of short datagrams are padded to 60 bytes as on the wire.
// pcapng only: --link and --snaplen take comma-separated lists, one interface each (the shorter list
// repeats), and flow f is captured on interface f % I; a NUMBER link type has no link header (a type no
// reader knows). --tsresol writes the interfaces' if_tsresol option (its byte: 9 is nanoseconds, at most
// 10^-9 s); --big-endian writes the section in big-endian byte order.
#include "traffic/TrafficEntry.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <pcap/dlt.h>
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
    std::vector<int> m_linkTypes{DLT_EN10MB};
    std::vector<std::uint8_t> m_protos{6, 17, 1};
    std::uint32_t m_nMinSize = 40;
    std::uint32_t m_nMaxSize = 1500;
    std::vector<std::uint32_t> m_snapLengths{65535};
    int m_nTimeResolution = -1; // the if_tsresol byte; none when negative (microseconds)
    bool m_bBigEndian = false;
    Ipv4Address m_dwLocal = 0x0AFA0001;  // 10.250.0.1
    Ipv4Address m_dwRemote = 0x0AFA0002; // 10.250.0.2
    std::uint64_t m_nSeed = 1;
    bool m_bPcapng = false;
    std::uint64_t m_nStart = 1700000000;
    std::uint64_t m_nRate = 1000000;
    // 4, 6, or 0 for both (even flows IPv4, odd flows IPv6). IPv6 flows run between fd00:f5::1 (local) and
    // fd00:f5::2 onwards, every third one with a hop-by-hop header before its transport header.
    int m_nFamily = 4;
};

[[noreturn]] void Usage(const char* text) {
    std::fprintf(
        stderr,
        "flowsentry-gen: %s\n"
        "usage: flowsentry-gen --out FILE --packets N --flows M\n"
        "       [--link ethernet|raw|sll|sll2|null|loop|NUMBER[,...]] [--protos 6,17,1] [--min-size B]\n"
        "       [--max-size B] [--snaplen B[,...]] [--local ADDR] [--remote ADDR] [--seed S] [--pcapng]\n"
        "       [--start SECONDS] [--rate PPS] [--tsresol R] [--big-endian] [--family 4|6|mixed]\n",
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

// The items of a comma-separated list.
std::vector<std::string> Items(const char* text) {
    std::vector<std::string> items(1);
    for (const char* p = text; *p != '\0'; ++p) {
        if (*p == ',') {
            items.emplace_back();
        } else {
            items.back() += *p;
        }
    }
    return items;
}

int LinkType(const std::string& link) {
    if (link == "ethernet") {
        return DLT_EN10MB;
    }
    if (link == "raw") {
        return DLT_RAW;
    }
    if (link == "sll") {
        return DLT_LINUX_SLL;
    }
    if (link == "sll2") {
        return DLT_LINUX_SLL2;
    }
    if (link == "null") {
        return DLT_NULL;
    }
    if (link == "loop") {
        return DLT_LOOP;
    }
    if (!link.empty() && link.find_first_not_of("0123456789") == std::string::npos &&
        Number(link.c_str()) < 65536) {
        return static_cast<int>(Number(link.c_str()));
    }
    Usage("unknown link type");
}

Options Parse(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--pcapng") {
            o.m_bPcapng = true;
            continue;
        }
        if (arg == "--big-endian") {
            o.m_bBigEndian = true;
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
            o.m_snapLengths.clear();
            for (const std::string& item : Items(value)) {
                o.m_snapLengths.push_back(static_cast<std::uint32_t>(Number(item.c_str())));
            }
        } else if (arg == "--tsresol") {
            o.m_nTimeResolution = static_cast<int>(Number(value));
            if (o.m_nTimeResolution > 9) {
                Usage("--tsresol is at most 9 (nanoseconds)");
            }
        } else if (arg == "--local") {
            o.m_dwLocal = Address(value);
        } else if (arg == "--remote") {
            o.m_dwRemote = Address(value);
        } else if (arg == "--family") {
            const std::string_view family = value;
            if (family != "4" && family != "6" && family != "mixed") {
                Usage("--family is 4, 6 or mixed");
            }
            o.m_nFamily = family == "mixed" ? 0 : family == "6" ? 6 : 4;
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
            o.m_linkTypes.clear();
            for (const std::string& item : Items(value)) {
                o.m_linkTypes.push_back(LinkType(item));
            }
        } else {
            Usage("unknown option");
        }
    }
    if (o.m_strOut.empty() || o.m_nFlows == 0 || o.m_protos.empty() || o.m_nMinSize < 20 ||
        o.m_nMaxSize < o.m_nMinSize || o.m_nMaxSize > 65535 || o.m_nRate == 0) {
        Usage("needs --out, at least one flow and protocol, and 20 <= min-size <= max-size <= 65535");
    }
    if (!o.m_bPcapng && (o.m_linkTypes.size() > 1 || o.m_snapLengths.size() > 1 || o.m_nTimeResolution >= 0 ||
                         o.m_bBigEndian)) {
        Usage("several link types or snapshot lengths, --tsresol and --big-endian need --pcapng");
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

// The link header for an IPv4 or IPv6 datagram; returns its length.
std::size_t LinkHeader(int linkType, bool ipv6, std::uint8_t* p) {
    const std::uint32_t etherType = ipv6 ? 0x86DD : 0x0800;
    switch (linkType) {
    case DLT_EN10MB:
        std::memcpy(p, "\x02\x00\x00\x00\x00\x02\x02\x00\x00\x00\x00\x01", 12);
        Put16(p + 12, etherType);
        return 14;
    case DLT_LINUX_SLL:
        std::memcpy(p, "\x00\x00\x00\x01\x00\x06\x02\x00\x00\x00\x00\x01\x00\x00", 14);
        Put16(p + 14, etherType);
        return 16;
    case DLT_LINUX_SLL2:
        std::memcpy(p, "\x00\x00\x00\x00\x00\x00\x00\x02\x00\x01\x00\x06\x02\x00\x00\x00\x00\x01\x00\x00",
                    20);
        Put16(p, etherType);
        return 20;
    case DLT_NULL:
        Put32Le(p, ipv6 ? 10
                        : 2); // AF_INET or Linux's AF_INET6, in the byte order of the writer (little-endian)
        return 4;
    case DLT_LOOP:
        Put32(p, ipv6 ? 24 : 2); // OpenBSD's AF_INET6
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
            Put(h, 0x0A0D0D0A);
            Put(h + 4, 28);
            Put(h + 8, 0x1A2B3C4D);
            Put16(h + 12, 1);             // version 1.0
            std::memset(h + 16, 0xFF, 8); // section length unknown
            Put(h + 24, 28);
            Write(h, 28);
            for (std::size_t i = 0; i < Interfaces(); ++i) {
                // Type, length, link type, reserved, snapshot length; if_tsresol; end of options; length.
                std::uint8_t idb[32] = {};
                const std::uint32_t length = o.m_nTimeResolution >= 0 ? 32 : 20;
                Put(idb, 1);
                Put(idb + 4, length);
                const int linkType = o.m_linkTypes[i % o.m_linkTypes.size()];
                Put16(idb + 8, static_cast<std::uint32_t>(linkType == DLT_RAW ? kLinkTypeRaw : linkType));
                Put(idb + 12, SnapLength(i));
                if (o.m_nTimeResolution >= 0) {
                    Put16(idb + 16, 9);
                    Put16(idb + 18, 1);
                    idb[20] = static_cast<std::uint8_t>(o.m_nTimeResolution);
                }
                Put(idb + length - 4, length);
                Write(idb, length);
            }
        } else {
            Put(h, 0xA1B2C3D4);
            h[4] = 2; // version 2.4
            h[6] = 4;
            Put(h + 16, SnapLength(0));
            // Files carry LINKTYPE_ numbers; they equal the DLT_ ones except for raw IP.
            const int linkType = o.m_linkTypes.front();
            Put(h + 20, static_cast<std::uint32_t>(linkType == DLT_RAW ? kLinkTypeRaw : linkType));
            Write(h, 24);
        }
    }

    [[nodiscard]] std::size_t Interfaces() const {
        return std::max(m_options.m_linkTypes.size(), m_options.m_snapLengths.size());
    }
    [[nodiscard]] std::uint32_t SnapLength(std::size_t interface) const {
        return m_options.m_snapLengths[interface % m_options.m_snapLengths.size()];
    }

    // `seconds` and `fraction` (of 10^9) since the epoch.
    void Record(std::size_t interface, std::uint64_t seconds, std::uint64_t nanos, const std::uint8_t* frame,
                std::uint32_t length) {
        const std::uint32_t captured = std::min(length, SnapLength(interface));
        std::uint8_t h[28] = {};
        if (m_options.m_bPcapng) {
            std::uint64_t units = seconds * 1000000 + nanos / 1000;
            if (m_options.m_nTimeResolution >= 0) {
                std::uint64_t perSecond = 1;
                for (int i = 0; i < m_options.m_nTimeResolution; ++i) {
                    perSecond *= 10;
                }
                units = seconds * perSecond + nanos / (1000000000 / perSecond);
            }
            const std::uint32_t padded = (captured + 3U) & ~3U;
            Put(h, 6);
            Put(h + 4, 32 + padded);
            Put(h + 8, static_cast<std::uint32_t>(interface));
            Put(h + 12, static_cast<std::uint32_t>(units >> 32U));
            Put(h + 16, static_cast<std::uint32_t>(units));
            Put(h + 20, captured);
            Put(h + 24, length);
            Write(h, 28);
            Write(frame, captured);
            static const std::uint8_t zeros[4] = {};
            Write(zeros, padded - captured);
            std::uint8_t tail[4];
            Put(tail, 32 + padded);
            Write(tail, 4);
        } else {
            Put(h, static_cast<std::uint32_t>(seconds));
            Put(h + 4, static_cast<std::uint32_t>(nanos / 1000));
            Put(h + 8, captured);
            Put(h + 12, length);
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
    // File header fields in the file's byte order.
    void Put(std::uint8_t* p, std::uint32_t v) const {
        if (m_options.m_bBigEndian) {
            Put32(p, v);
        } else {
            Put32Le(p, v);
        }
    }
    void Put16(std::uint8_t* p, std::uint32_t v) const {
        if (m_options.m_bBigEndian) {
            ::Put16(p, v);
        } else {
            p[0] = static_cast<std::uint8_t>(v);
            p[1] = static_cast<std::uint8_t>(v >> 8U);
        }
    }

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
        std::fprintf(stderr, "flowsentry-gen: cannot write %s: %s\n", o.m_strOut.c_str(),
                     std::strerror(errno));
        return 1;
    }
    Writer writer(o, out);
    // One frame per interface, its link header written once. Only the headers are ever read; the payload
    // stays zero.
    struct Frame {
        std::vector<std::uint8_t> m_bytes = std::vector<std::uint8_t>(20 + 65535 + 60, 0);
        std::size_t m_nLink = 0;
        int m_nLinkType = 0;
    };
    // Per interface, an IPv4 frame and an IPv6 one.
    std::vector<Frame> frames(writer.Interfaces() * 2);
    for (std::size_t i = 0; i < frames.size(); ++i) {
        frames[i].m_nLinkType = o.m_linkTypes[(i / 2) % o.m_linkTypes.size()];
        frames[i].m_nLink = LinkHeader(frames[i].m_nLinkType, i % 2 == 1, frames[i].m_bytes.data());
    }
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
        const std::size_t interface = flow % writer.Interfaces();
        const bool ipv6 = o.m_nFamily == 6 || (o.m_nFamily == 0 && flow % 2 == 1);
        Frame& frame = frames[interface * 2 + (ipv6 ? 1 : 0)];
        std::uint8_t* ip = frame.m_bytes.data() + frame.m_nLink;
        const std::uint64_t nanos = (k % o.m_nRate) * 1000000000 / o.m_nRate;
        if (ipv6) {
            // 40 bytes of header, 8 of hop-by-hop options on every third flow, then the transport header.
            const bool hopByHop = flow % 3 == 0;
            const std::uint32_t headers = 40 + (hopByHop ? 8 : 0);
            const std::uint32_t size6 = std::max(size, headers + 8);
            std::memset(ip, 0, 80);
            ip[0] = 0x60;
            Put16(ip + 4, size6 - 40);
            ip[6] = hopByHop ? 0 : proto;
            ip[7] = 64;
            std::uint8_t* local = ip + (outgoing ? 8 : 24);
            std::uint8_t* other = ip + (outgoing ? 24 : 8);
            local[0] = other[0] = 0xFD;
            local[3] = other[3] = 0xF5;
            local[15] = 1;
            Put32(other + 12, static_cast<std::uint32_t>(2 + flow / protoCount));
            std::uint8_t* transport = ip + 40;
            if (hopByHop) {
                transport[0] = proto;
                transport[2] = 1; // PadN of 4 bytes
                transport[3] = 4;
                transport += 8;
            }
            if (proto == 6 || proto == 17) {
                Put16(transport, outgoing ? 40000 : 80);
                Put16(transport + 2, outgoing ? 80 : 40000);
                if (proto == 6) {
                    transport[12] = 0x50;
                    transport[13] = 0x10;
                } else {
                    Put16(transport + 4, size6 - headers);
                }
            } else if (proto == 58) {
                transport[0] = outgoing ? 128 : 129; // echo request / reply
            }
            std::uint32_t length = static_cast<std::uint32_t>(frame.m_nLink) + size6;
            if (frame.m_nLinkType == DLT_EN10MB && size6 < 46) {
                length = 60;
            }
            writer.Record(interface, o.m_nStart + k / o.m_nRate, nanos, frame.m_bytes.data(), length);
            continue;
        }

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
        std::uint32_t length = static_cast<std::uint32_t>(frame.m_nLink) + size;
        if (frame.m_nLinkType == DLT_EN10MB && size < 46) {
            length = 60; // padded with the zeros cleared above
        }
        writer.Record(interface, o.m_nStart + k / o.m_nRate, nanos, frame.m_bytes.data(), length);
    }
    const bool failed = writer.Failed() || std::fclose(out) != 0;
    if (failed) {
        std::fprintf(stderr, "flowsentry-gen: cannot write %s: %s\n", o.m_strOut.c_str(),
                     std::strerror(errno));
        return 1;
    }
    return 0;
}
