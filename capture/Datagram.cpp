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

enum class DatagramVerdict {
    Counted,  // a sample was made
    Empty,    // zero bytes
    NotIpv4,  // version nibble is not 4
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

// A TCP or UDP super-packet of `bytes` bytes (longer than `mtu`) as the segments it stands for. Counts it as
// it stands where the datagram cannot be one: another protocol, a fragment (which has no transport header
// of its own), a transport header that was not captured, or headers that leave no room under the MTU. Out
// of line and returning by value, so that the datagram's fields stay in registers on the common path: live
// traffic comes here once per coalesced packet, files never.
[[gnu::noinline, gnu::cold]] Segments CountSegments(std::span<const std::uint8_t> datagram,
                                                    std::uint8_t proto, std::uint32_t bytes,
                                                    std::uint32_t mtu) {
    const Segments asItStands{bytes, 1};
    const std::uint32_t ipHeader = (datagram[0] & 0x0FU) * 4U;
    const bool fragment = (link_layer::Be16(datagram, 6) & 0x3FFFU) != 0;
    if (ipHeader < kMinIpv4Header || fragment) {
        return asItStands;
    }
    std::uint32_t transportHeader = 0;
    if (proto == kProtoTcp) {
        if (datagram.size() < std::size_t{ipHeader} + 13) {
            return asItStands;
        }
        transportHeader = (datagram[ipHeader + 12] >> 4U) * 4U; // the data offset
        if (transportHeader < 20) {
            return asItStands;
        }
    } else if (proto == kProtoUdp) {
        transportHeader = kUdpHeader;
    } else {
        return asItStands;
    }
    const std::uint32_t headers = ipHeader + transportHeader;
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

void AppendFrameSample(int linkType, std::span<const std::uint8_t> frame, std::uint32_t wireLength,
                       std::int64_t timestamp, std::uint32_t mtu, std::vector<PacketSample>& samples,
                       CaptureCounters& counters) {
    ++counters.m_nFrames;
    const LinkResult link = StripLinkLayer(linkType, frame, wireLength);
    if (link.m_kind == FrameKind::TooShort) {
        ++counters.m_nTooShort;
        return;
    }
    if (link.m_kind == FrameKind::NotIpv4) {
        ++counters.m_nNotIpv4;
        return;
    }
    Counted counted;
    switch (DecodeDatagram(link.m_datagram, link.m_nLength, mtu, counted)) {
    case DatagramVerdict::Counted:
        break;
    case DatagramVerdict::NotIpv4:
        ++counters.m_nNotIpv4;
        return;
    case DatagramVerdict::Empty:
    case DatagramVerdict::TooShort:
        ++counters.m_nTooShort;
        return;
    }
    // Stored straight from registers: a sample made elsewhere in memory and copied in whole is read back
    // with wide loads that cannot take the narrow stores just made, which stalled each frame, and
    // emplace_back() would store every field twice, its defaults first (both measured).
    samples.push_back(PacketSample{counted.m_dwSrcAddress, counted.m_dwDestAddress, counted.m_nBytes,
                                   counted.m_nProto, counted.m_nPackets, timestamp});
}

} // namespace flowsentry
