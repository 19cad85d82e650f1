// SPDX-License-Identifier: GPL-3.0-or-later
#include "capture/Datagram.h"

#include "capture/LinkLayer.h"

#include <algorithm>
#include <limits>

namespace flowsentry {
namespace {

constexpr std::uint8_t kProtoTcp = 6;
constexpr std::uint8_t kProtoUdp = 17;
constexpr std::uint32_t kUdpHeader = 8;
constexpr std::uint32_t kMinIpv4Header = 20;
constexpr std::uint32_t kIpv6Header = 40;

// IPv6 next-header values the walk reads through or stops at.
constexpr std::uint8_t kHopByHop = 0;
constexpr std::uint8_t kRouting = 43;
constexpr std::uint8_t kFragment = 44;
constexpr std::uint8_t kAuthentication = 51;
constexpr std::uint8_t kDestinationOptions = 60;
constexpr std::uint8_t kMobility = 135;
constexpr std::uint32_t kFragmentHeader = 8;

enum class DatagramVerdict {
    Counted,  // a sample was made
    Empty,    // zero bytes
    NotIpv4,  // version nibble is not 4 (the IPv6 decoder has a look)
    TooShort, // fewer than 20 bytes, the smallest IPv4 header
};

// The octets in wire order, the first most significant, as Ipv4Address holds them.
Ipv4Address AddressAt(std::span<const std::uint8_t> b, std::size_t offset) {
    return (Ipv4Address{b[offset]} << 24U) | (Ipv4Address{b[offset + 1]} << 16U) |
           (Ipv4Address{b[offset + 2]} << 8U) | Ipv4Address{b[offset + 3]};
}

// What one datagram counts for, in registers until it is stored.
struct Counted {
    Ipv4Address m_dwSrcAddress;
    Ipv4Address m_dwDestAddress;
    std::uint32_t m_nBytes;
    std::uint8_t m_nProto;
    std::uint16_t m_nPackets;
};

// What a super-packet counts for.
struct Segments {
    std::uint32_t m_nBytes;
    std::uint16_t m_nPackets;
};

// A TCP or UDP super-packet's segments. `ipHeaders` is the size of the IP header with any extension
// headers: where the transport header starts.
Segments SegmentsAfter(std::span<const std::uint8_t> datagram, std::uint8_t proto, std::uint32_t ipHeaders,
                       std::uint32_t bytes, std::uint32_t mtu) {
    const Segments asItStands{bytes, 1};
    std::uint32_t transportHeader = 0;
    if (proto == kProtoTcp) {
        if (datagram.size() < std::size_t{ipHeaders} + 13) {
            return asItStands;
        }
        transportHeader = (datagram[ipHeaders + 12] >> 4U) * 4U; // the data offset
        if (transportHeader < 20) {
            return asItStands;
        }
    } else if (proto == kProtoUdp) {
        transportHeader = kUdpHeader;
    } else {
        return asItStands;
    }
    const std::uint32_t headers = ipHeaders + transportHeader;
    if (headers >= mtu || headers >= bytes) {
        return asItStands;
    }
    const std::uint64_t payload = bytes - headers;
    const std::uint64_t perSegment = mtu - headers;
    const std::uint64_t segments = (payload + perSegment - 1) / perSegment;
    // The bytes stay exact whatever the count; the count is clamped to the sample's 16 bits (a 64 KiB
    // super-packet at the smallest IPv4 MTU, 68, is about 2,300 segments).
    return {static_cast<std::uint32_t>(std::min<std::uint64_t>(payload + segments * headers,
                                                               std::numeric_limits<std::uint32_t>::max())),
            static_cast<std::uint16_t>(std::min<std::uint64_t>(segments, 0xFFFFU))};
}

// A TCP or UDP super-packet of `bytes` bytes (longer than `mtu`) as the segments it stands for. Counts it as
// it stands where the datagram cannot be one: another protocol, a fragment (which has no transport header
// of its own), a transport header that was not captured, or headers that leave no room under the MTU. Out
// of line and returning by value, so that the datagram's fields stay in registers on the common path: live
// traffic comes here once per coalesced packet, files never.
[[gnu::noinline, gnu::cold]] Segments CountSegments(std::span<const std::uint8_t> datagram,
                                                    std::uint8_t proto, std::uint32_t bytes,
                                                    std::uint32_t mtu) {
    const std::uint32_t ipHeader = (datagram[0] & 0x0FU) * 4U;
    const bool fragment = (link_layer::Be16(datagram, 6) & 0x3FFFU) != 0;
    if (ipHeader < kMinIpv4Header || fragment) {
        return {bytes, 1};
    }
    return SegmentsAfter(datagram, proto, ipHeader, bytes, mtu);
}

// Reads one IPv6 datagram (its version nibble is 6) into `counted` and `pair`.
[[gnu::always_inline]] inline DatagramVerdict DecodeIpv6(std::span<const std::uint8_t> bytes,
                                                         std::uint32_t received, std::uint32_t mtu,
                                                         Counted& counted, Ipv6Pair& pair) {
    if (received < kIpv6Header || bytes.size() < kIpv6Header) {
        return DatagramVerdict::TooShort;
    }
    // A payload length of 0 belongs to a jumbogram (or BIG TCP), whose real size only the frame tells.
    const std::uint32_t payload = link_layer::Be16(bytes, 4);
    counted.m_nBytes = payload != 0 && kIpv6Header + payload <= received ? kIpv6Header + payload : received;
    std::copy_n(bytes.begin() + 8, 16, pair.m_src.begin());
    std::copy_n(bytes.begin() + 24, 16, pair.m_dest.begin());
    const Ipv6Upper upper = WalkIpv6Headers(bytes, counted.m_nBytes);
    counted.m_nProto = upper.m_nProto;
    counted.m_nPackets = 1;
    if (counted.m_nBytes - 1 > mtu - 1 && upper.m_bComplete && !upper.m_bFragment) {
        const Segments segments =
            SegmentsAfter(bytes, upper.m_nProto, upper.m_nOffset, counted.m_nBytes, mtu);
        counted.m_nBytes = segments.m_nBytes;
        counted.m_nPackets = segments.m_nPackets;
    }
    return DatagramVerdict::Counted;
}

// An IPv6 datagram's sample, or the count of why there is none. Out of line, so that the IPv4 path keeps
// its registers; its arguments go by value, so that the link layer's result never has to be stored for it
// (which cost IPv4 frames a store and a load each, measured).
[[gnu::noinline]] void AppendIpv6Sample(std::span<const std::uint8_t> datagram, std::uint32_t received,
                                        std::int64_t timestamp, std::uint32_t mtu, SampleBuffer& samples,
                                        CaptureCounters& counters) {
    Counted counted;
    Ipv6Pair pair;
    if (DecodeIpv6(datagram, received, mtu, counted, pair) != DatagramVerdict::Counted) {
        ++counters.m_nTooShort;
        return;
    }
    samples.PushIpv6(
        PacketSample{0, 0, counted.m_nBytes, counted.m_nProto, IpFamily::Ipv6, counted.m_nPackets, timestamp},
        pair);
}

// Reads one IPv4 datagram: `bytes` holds what was captured of it, `received` its size after the link
// header. Only the version, the header length, the total length, the protocol and the addresses are read,
// and the transport header of a super-packet.
[[gnu::always_inline]] inline DatagramVerdict DecodeDatagram(std::span<const std::uint8_t> bytes,
                                                             std::uint32_t received, std::uint32_t mtu,
                                                             Counted& counted) {
    if (received == 0 || bytes.empty()) {
        return DatagramVerdict::Empty;
    }
    if ((bytes[0] >> 4U) != 4) {
        return DatagramVerdict::NotIpv4;
    }
    if (received < kMinIpv4Header || bytes.size() < kMinIpv4Header) {
        return DatagramVerdict::TooShort;
    }
    // The total length where it can be trusted: what follows it (padding, a frame check sequence, a
    // trailer) is not part of the datagram. A total length below the header's own (BIG TCP writes 0 for
    // datagrams over 64 KiB) or above what arrived is not a length to go by.
    const std::uint32_t header = std::max<std::uint32_t>((bytes[0] & 0x0FU) * 4U, kMinIpv4Header);
    const std::uint32_t total = link_layer::Be16(bytes, 2);
    counted.m_nBytes = total >= header && total <= received ? total : received;
    counted.m_dwSrcAddress = AddressAt(bytes, 12);
    counted.m_dwDestAddress = AddressAt(bytes, 16);
    counted.m_nProto = bytes[9];
    counted.m_nPackets = 1;
    // mtu - 1 wraps to the largest value for a file (mtu 0), so that files pay one comparison, as live
    // datagrams within the MTU do.
    if (counted.m_nBytes - 1 > mtu - 1) [[unlikely]] {
        const Segments segments = CountSegments(bytes, counted.m_nProto, counted.m_nBytes, mtu);
        counted.m_nBytes = segments.m_nBytes;
        counted.m_nPackets = segments.m_nPackets;
    }
    return DatagramVerdict::Counted;
}

} // namespace

Ipv6Upper WalkIpv6Headers(std::span<const std::uint8_t> datagram, std::uint32_t length) {
    // Every read stays within what was captured and within the datagram; each extension header is at
    // least 8 bytes long, so the walk ends after at most length / 8 steps, whatever the chain says.
    const std::size_t end = std::min<std::size_t>(datagram.size(), length);
    Ipv6Upper upper;
    upper.m_nProto = datagram[6];
    std::size_t offset = kIpv6Header;
    for (;;) {
        upper.m_nOffset = static_cast<std::uint32_t>(offset);
        std::size_t headerLength = 0;
        switch (upper.m_nProto) {
        case kHopByHop:
        case kRouting:
        case kDestinationOptions:
        case kMobility:
            if (offset + 2 > end) {
                return upper;
            }
            headerLength = (std::size_t{datagram[offset + 1]} + 1) * 8;
            break;
        case kAuthentication: // its length counts 4-byte words, less 2
            if (offset + 2 > end) {
                return upper;
            }
            headerLength = (std::size_t{datagram[offset + 1]} + 2) * 4;
            break;
        case kFragment: {
            if (offset + 4 > end) {
                return upper;
            }
            upper.m_bFragment = true;
            upper.m_nProto = datagram[offset];
            if ((link_layer::Be16(datagram, offset + 2) & 0xFFF8U) != 0) {
                // A later fragment carries no header of the protocol it counts under.
                upper.m_nOffset = static_cast<std::uint32_t>(offset + kFragmentHeader);
                upper.m_bComplete = true;
                return upper;
            }
            offset += kFragmentHeader;
            continue;
        }
        default: // the upper layer, ESP (50) or no next header (59)
            upper.m_bComplete = true;
            return upper;
        }
        upper.m_nProto = datagram[offset];
        offset += headerLength;
    }
}

void AppendFrameSample(int linkType, std::span<const std::uint8_t> frame, std::uint32_t wireLength,
                       std::int64_t timestamp, std::uint32_t mtu, SampleBuffer& samples,
                       CaptureCounters& counters) {
    ++counters.m_nFrames;
    const LinkResult link = StripLinkLayer(linkType, frame, wireLength);
    if (link.m_kind == FrameKind::TooShort) {
        ++counters.m_nTooShort;
        return;
    }
    if (link.m_kind == FrameKind::NotIp) {
        ++counters.m_nNotIp;
        return;
    }
    Counted counted;
    switch (DecodeDatagram(link.m_datagram, link.m_nLength, mtu, counted)) {
    case DatagramVerdict::Counted:
        break;
    case DatagramVerdict::NotIpv4:
        if ((link.m_datagram[0] >> 4U) == 6 && NamedIpVersion(linkType, frame) != 4) {
            AppendIpv6Sample(link.m_datagram, link.m_nLength, timestamp, mtu, samples, counters);
            return;
        }
        ++counters.m_nNotIp;
        return;
    case DatagramVerdict::Empty:
    case DatagramVerdict::TooShort:
        ++counters.m_nTooShort;
        return;
    }
    // Stored straight from registers: a sample made elsewhere in memory and copied in whole is read back
    // with wide loads that cannot take the narrow stores just made, which stalled each frame, and
    // emplace_back() would store every field twice, its defaults first (both measured).
    samples.m_samples.push_back(PacketSample{counted.m_dwSrcAddress, counted.m_dwDestAddress,
                                             counted.m_nBytes, counted.m_nProto, IpFamily::Ipv4,
                                             counted.m_nPackets, timestamp});
}

} // namespace flowsentry
