// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <pcap/dlt.h>
#include <span>
#include <string>

namespace flowsentry {

enum class FrameKind {
    Datagram, // an IPv4 or IPv6 datagram was found (the decoder reads which from its version)
    NotIp,    // a well-formed frame of another network protocol
    TooShort, // shorter than its link header says it must be
};

struct LinkResult {
    FrameKind m_kind = FrameKind::NotIp;
    std::span<const std::uint8_t> m_datagram; // the captured bytes of the datagram (may be cut by snaplen)
    // What was received after the link header: the datagram and whatever followed it in the frame (Ethernet
    // padding, a frame check sequence); the decoder keeps the datagram's own length from its header.
    std::uint32_t m_nLength = 0;
};

// Whether frames of this libpcap link type (DLT_*) can be turned into datagrams.
bool IsSupportedLinkType(int linkType);
// A readable name for a link type, for messages ("DLT_IEEE802_11").
std::string LinkTypeName(int linkType);

// Strips the link header from a captured frame. `wireLength` is the frame's length on the wire
// (pcap_pkthdr.len); `frame` holds the bytes that were captured of it. Defined here, inline, because it
// runs for every frame: a call per frame costs as much as the stripping itself.
[[gnu::always_inline]] inline LinkResult StripLinkLayer(int linkType, std::span<const std::uint8_t> frame,
                                                        std::uint32_t wireLength);

namespace link_layer {

inline constexpr std::uint16_t kEtherTypeIpv4 = 0x0800;
inline constexpr std::uint16_t kEtherTypeIpv6 = 0x86DD;
inline constexpr std::uint16_t kEtherTypeVlan = 0x8100;    // 802.1Q
inline constexpr std::uint16_t kEtherTypeQinQ = 0x88A8;    // 802.1ad
inline constexpr std::uint16_t kEtherTypeQinQOld = 0x9100; // pre-standard double tagging
inline constexpr std::size_t kEthernetHeader = 14;
inline constexpr std::size_t kVlanTag = 4;
inline constexpr std::size_t kSllHeader = 16;
inline constexpr std::size_t kSll2Header = 20;
inline constexpr std::size_t kLoopbackHeader = 4;
inline constexpr std::uint32_t kAfInet = 2;
// AF_INET6 differs between the systems that write loopback captures: Linux, NetBSD and OpenBSD, FreeBSD,
// macOS.
inline constexpr std::uint32_t kAfInet6Linux = 10;
inline constexpr std::uint32_t kAfInet6NetBsd = 24;
inline constexpr std::uint32_t kAfInet6FreeBsd = 28;
inline constexpr std::uint32_t kAfInet6Darwin = 30;

inline std::uint16_t Be16(std::span<const std::uint8_t> b, std::size_t offset) {
    return static_cast<std::uint16_t>((b[offset] << 8U) | b[offset + 1]);
}

inline LinkResult Classify(std::span<const std::uint8_t> frame, std::size_t header, std::uint32_t wireLength,
                           bool isIp) {
    LinkResult result;
    if (!isIp) {
        result.m_kind = FrameKind::NotIp;
        return result;
    }
    result.m_kind = FrameKind::Datagram;
    result.m_datagram = frame.subspan(header);
    result.m_nLength = wireLength - static_cast<std::uint32_t>(header);
    return result;
}

inline bool IsIpEtherType(std::uint16_t type) {
    return type == kEtherTypeIpv4 || type == kEtherTypeIpv6;
}

// The IP version an EtherType (or a cooked header's protocol) names, -1 for other protocols.
inline int EtherTypeVersion(std::uint16_t type) {
    return type == kEtherTypeIpv4 ? 4 : type == kEtherTypeIpv6 ? 6 : -1;
}

// The same for a loopback header's address family.
inline int FamilyVersion(std::uint32_t family) {
    if (family == kAfInet) {
        return 4;
    }
    const bool inet6 = family == kAfInet6Linux || family == kAfInet6NetBsd || family == kAfInet6FreeBsd ||
                       family == kAfInet6Darwin;
    return inet6 ? 6 : -1;
}

inline LinkResult TooShort() {
    return LinkResult{FrameKind::TooShort, {}, 0};
}

// The EtherType after any VLAN tags, and where the datagram starts; header 0 when a tag was cut short.
struct EtherType {
    std::uint16_t m_nType;
    std::size_t m_nHeader;
};
inline EtherType EthernetType(std::span<const std::uint8_t> frame) {
    std::size_t header = kEthernetHeader;
    std::uint16_t type = Be16(frame, 12);
    while (type == kEtherTypeVlan || type == kEtherTypeQinQ || type == kEtherTypeQinQOld) {
        if (frame.size() < header + kVlanTag) {
            return {type, 0};
        }
        type = Be16(frame, header + 2);
        header += kVlanTag;
    }
    return {type, header};
}

inline LinkResult StripEthernet(std::span<const std::uint8_t> frame, std::uint32_t wireLength) {
    if (frame.size() < kEthernetHeader) {
        return TooShort();
    }
    const EtherType type = EthernetType(frame);
    if (type.m_nHeader == 0) {
        return TooShort();
    }
    return Classify(frame, type.m_nHeader, wireLength, IsIpEtherType(type.m_nType));
}

inline std::uint32_t LoopbackFamily(std::span<const std::uint8_t> frame, bool swapped) {
    const std::uint32_t be = (std::uint32_t{frame[0]} << 24U) | (std::uint32_t{frame[1]} << 16U) |
                             (std::uint32_t{frame[2]} << 8U) | frame[3];
    return swapped ? __builtin_bswap32(be) : be;
}

} // namespace link_layer

inline LinkResult StripLinkLayer(int linkType, std::span<const std::uint8_t> frame,
                                 std::uint32_t wireLength) {
    using namespace link_layer; // NOLINT(google-build-using-namespace): the helpers above
    // A frame cannot be shorter on the wire than what was captured of it; a damaged record may say so.
    wireLength = std::max<std::uint32_t>(wireLength, static_cast<std::uint32_t>(frame.size()));
    switch (linkType) {
    case DLT_EN10MB:
        return StripEthernet(frame, wireLength);
    case DLT_LINUX_SLL:
        if (frame.size() < kSllHeader) {
            return TooShort();
        }
        return Classify(frame, kSllHeader, wireLength, IsIpEtherType(Be16(frame, 14)));
    case DLT_LINUX_SLL2:
        if (frame.size() < kSll2Header) {
            return TooShort();
        }
        return Classify(frame, kSll2Header, wireLength, IsIpEtherType(Be16(frame, 0)));
    case DLT_RAW:
        if (frame.empty()) {
            return TooShort();
        }
        return Classify(frame, 0, wireLength, (frame[0] >> 4U) == 4 || (frame[0] >> 4U) == 6);
    case DLT_IPV4:
    case DLT_IPV6:
        return Classify(frame, 0, wireLength, true);
    case DLT_NULL:
    case DLT_LOOP: {
        if (frame.size() < kLoopbackHeader) {
            return TooShort();
        }
        // DLT_NULL stores the family in the byte order of the machine that captured, DLT_LOOP in network
        // order; the families are small numbers, so accept them either way round.
        return Classify(frame, kLoopbackHeader, wireLength,
                        FamilyVersion(LoopbackFamily(frame, false)) >= 0 ||
                            FamilyVersion(LoopbackFamily(frame, true)) >= 0);
    }
    default:
        return LinkResult{FrameKind::NotIp, {}, 0};
    }
}

// The IP version the link header of a frame that StripLinkLayer took as IP names: 4 or 6, or 0 where only
// the datagram tells (raw IP). A datagram of the other version is not taken as IP. Asked only for the rare
// frames whose version is not 4, so that the common path carries nothing for it.
inline int NamedIpVersion(int linkType, std::span<const std::uint8_t> frame) {
    using namespace link_layer; // NOLINT(google-build-using-namespace): the helpers above
    switch (linkType) {
    case DLT_EN10MB:
        return EtherTypeVersion(EthernetType(frame).m_nType);
    case DLT_LINUX_SLL:
        return EtherTypeVersion(Be16(frame, 14));
    case DLT_LINUX_SLL2:
        return EtherTypeVersion(Be16(frame, 0));
    case DLT_IPV4:
        return 4;
    case DLT_IPV6:
        return 6;
    case DLT_NULL:
    case DLT_LOOP: {
        const int version = FamilyVersion(LoopbackFamily(frame, false));
        return version >= 0 ? version : FamilyVersion(LoopbackFamily(frame, true));
    }
    default:
        return 0;
    }
}

} // namespace flowsentry
